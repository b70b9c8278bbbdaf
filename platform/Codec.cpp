#include "platform/Codec.h"

namespace Quayd {

std::vector< String > splitEnumNames( char const * list ) {
   std::vector< String > out;
   String cur;
   for ( char const * p = list;; ++p ) {
      if ( *p == ',' || *p == '\0' ) {
         out.push_back( cur );
         cur.clear();
         if ( *p == '\0' ) {
            break;
         }
      } else if ( *p != ' ' ) {
         cur += *p;
      }
   }
   return out;
}

} // namespace Quayd
