#pragma once
// The name a secret is kept under: what the state database holds in its
// place. Random hexadecimal, so it says nothing of the secret and can never
// leave the store's directory.
#include <algorithm>

#include "platform/Types.h"

namespace Quayd {

inline constexpr size_t kCredentialNameBytes = 16;

inline bool isCredentialName( String const & text ) {
   return text.size() == 2 * kCredentialNameBytes &&
          std::all_of( text.begin(), text.end(), []( char c ) {
             return ( c >= '0' && c <= '9' ) || ( c >= 'a' && c <= 'f' );
          } );
}

} // namespace Quayd
