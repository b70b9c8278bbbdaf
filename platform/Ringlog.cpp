#include "platform/Ringlog.h"

namespace Quayd::Ringlog {

namespace {
std::function< void( Config const & ) > & initializer() {
   static std::function< void( Config const & ) > fn;
   return fn;
}
} // namespace

void initialize( String const & fileName, std::array< uint32_t, 10 > const & levelSizes,
                 char const * prefix, int flags, int hours, int multithreading, bool enabled,
                 uint32_t recordSize ) {
   if ( auto & fn = initializer() ) {
      fn( Config{ fileName, levelSizes, prefix ? prefix : "", flags, hours, multithreading, enabled,
                  recordSize } );
   }
}

void initializerIs( std::function< void( Config const & ) > fn ) {
   initializer() = std::move( fn );
}

} // namespace Quayd::Ringlog
