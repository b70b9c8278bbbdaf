#pragma once
// The rules that decide what the agent does about a container, as pure
// functions: the container state machine and the profile merger use them,
// and so does `quyctl --dry-run` to tell what an edit will do.
#include <map>

#include "model/Model.h"

namespace Quayd {

// What a container runs with: its own parameters, where it leaves a field at
// the default the value of its profile (none: null), and its own bind mounts
// with the profile's for the paths it does not mount itself.
struct MergedConfig {
   ContainerParams params;
   std::map< String, BindMountEntry > bindMounts;
};
MergedConfig mergedConfig( ContainerConfig const & container, ContainerConfig const * profile );

// Whether the status still describes the configured parameters and bind
// mounts; when not, the container is removed and run again.
bool statusUpToDate( ContainerParams const & params,
                     std::map< String, BindMountEntry > const & bindMounts,
                     ContainerStatus const & status );

} // namespace Quayd
