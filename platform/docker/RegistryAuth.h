#pragma once
// Image names and the registry credentials a pull sends to the daemon.
// Credentials come from the client configuration that login writes
// ({"auths":{"127.0.0.1:5000":{"auth":"<base64 of user:password>"}}});
// they are never traced.
#include <optional>

#include <nlohmann/json.hpp>

#include "platform/Types.h"

namespace Quayd {

struct ImageName {
   String repository; // "127.0.0.1:5000/bb"
   String tag;        // "1", "latest" when none is given, or a digest
   String registry;   // "127.0.0.1:5000", "docker.io" for names without one
};
ImageName parseImageName( String const & ref );

String base64Encode( String const & in, bool urlSafe = false );
std::optional< String > base64Decode( String const & in );

// The X-Registry-Auth value for `registry` from the client configuration
// `clientConfig`; empty when it holds no login for it.
String registryAuth( nlohmann::json const & clientConfig, String const & registry );

} // namespace Quayd
