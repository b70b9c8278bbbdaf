#pragma once
// What a StartContainerRequest becomes on the daemon: run parameters in the
// option table's terms, and from them the Engine API's create body.
//
//   image "bb" tag "1", ports {80->8080}, environment {A:1}, limits max_cpu
//   0.5 -> {"Image":"bb:1","Env":["A=1"],"ExposedPorts":{"80/tcp":{}},
//           "HostConfig":{"PortBindings":{"80/tcp":[{"HostPort":"8080"}]},
//                         "NanoCpus":500000000,...},...}
#include <nlohmann/json.hpp>

#include "gnoi/containerz/containerz.pb.h"
#include "platform/ContainerRuntimeInterface.h"

namespace Quayd::Containerz {

// "name:tag", the tag "latest" when empty.
String imageRef( String const & name, String const & tag );

// The words of a command line; single and double quotes group words.
// Throws CallError (INVALID_ARGUMENT) for an unclosed quote.
std::vector< String > splitCommand( String const & cmd );

// Throws CallError: INVALID_ARGUMENT for a value the daemon cannot take,
// FAILED_PRECONDITION for an unknown restart policy.
Ptr< RunContainerParams > runParamsOf( ::gnoi::containerz::StartContainerRequest const & req );
nlohmann::json createBodyOf( ::gnoi::containerz::StartContainerRequest const & req );

} // namespace Quayd::Containerz
