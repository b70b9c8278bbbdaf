#pragma once
#include <map>

#include "platform/Types.h"

namespace Quayd {

// A process's environment, name to value: read once in a program's main and
// handed down to what a child or a container's `--env NAME` takes from it.
using Environment = std::map< String, String >;

// The environment that `entries` ("NAME=value", null-terminated, as main's
// environ) holds; an entry without '=' is no variable.
inline Environment environmentOf( char const * const * entries ) {
   Environment out;
   for ( auto e = entries; e && *e; ++e ) {
      String const entry( *e );
      if ( auto const eq = entry.find( '=' ); eq != String::npos ) {
         out.emplace( entry.substr( 0, eq ), entry.substr( eq + 1 ) );
      }
   }
   return out;
}

} // namespace Quayd
