#pragma once
// Emptying a directory without reaching past its own file system: what a
// daemon mounted below it (a bind-type volume, an overlay of a container
// still held by someone) is unmounted, lazily when busy, and never entered,
// so the directories such a mount shows are left as they are.
#include "platform/Types.h"

namespace Quayd {

// Removes every entry of directory `path` that lies on the file system of
// `path`. Throws RuntimeException with the first failure, after doing all
// it can.
void eraseOwnFileSystem( String const & path );

} // namespace Quayd
