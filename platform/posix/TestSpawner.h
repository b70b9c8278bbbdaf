#pragma once
// The spawner a test hands down in place of a main's: the usual PATH, after
// `firstOnPath` when given, and no service manager.
#include "platform/posix/Spawn.h"

namespace Quayd::Testing {

inline constexpr char const * kSystemPath =
   "/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin";

inline Spawner testSpawner( String const & firstOnPath = "" ) {
   return Spawner( { { "PATH", firstOnPath.empty() ? String( kSystemPath )
                                                   : firstOnPath + ":" + kSystemPath } } );
}

} // namespace Quayd::Testing
