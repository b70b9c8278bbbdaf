#pragma once
// What the daemon takes as an image's name and tag, checked before a
// deploy takes its first byte.
//
//   "app", "v1" -> nothing        "App", "v1" -> "image name App: ..."
#include <optional>

#include "platform/Types.h"

namespace Quayd::Containerz {

// Why `name` with `tag` (empty: "latest") names no image, or nothing.
std::optional< String > imageRefRefusal( String const & name, String const & tag );

} // namespace Quayd::Containerz
