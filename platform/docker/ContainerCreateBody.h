#pragma once
// What a run request becomes on the daemon, read from the option table
// (platform/ContainerOptions.h): the Engine API's create body, or, for a
// request with an option the table does not take, the docker client's
// `run` arguments.
//
//   name "web", image "bb:1", setting memory=64m, options "-e A=1", command
//   "sleep 9" -> {"Image":"bb:1","Cmd":["sleep","9"],"Env":["A=1"],
//                 "Labels":{"quayd.agent":"quayd"},"HostConfig":{"Memory":67108864}}
#include <map>

#include <nlohmann/json.hpp>

#include "platform/ContainerRuntimeInterface.h"
#include "platform/Environment.h"

namespace Quayd {

struct ContainerCreateBody {
   nlohmann::json body; // the create body, when clientFlag is empty
   String clientFlag;   // the first option the table does not take
};

// The request's labels come first, so that options may replace them, as
// they would on a `docker run` command line. A bare `--env NAME` takes its
// value from `environment`.
ContainerCreateBody containerCreateBody( RunContainerParams const & p,
                                         std::map< String, String > const & labels,
                                         Environment const & environment );

// The words after `docker run --detach --name NAME`: the labels, the
// settings and binds as flags, the free-form options, the image and the
// command.
std::vector< String > clientRunArgs( RunContainerParams const & p,
                                     std::map< String, String > const & labels );

} // namespace Quayd
