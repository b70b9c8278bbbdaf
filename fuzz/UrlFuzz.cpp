// Syslog server URLs come from configuration: any text either parses into a
// host and a port that make a probe command, or is refused with its reason.
#include <cstddef>
#include <cstdint>
#include <stdexcept>

#include "agent/UrlReachability.h"

extern "C" int LLVMFuzzerTestOneInput( uint8_t const * data, size_t size ) {
   Quayd::String const url( reinterpret_cast< char const * >( data ), size );
   if ( url.empty() ) {
      return 0;
   }
   try {
      auto const ui = Quayd::UrlInfo::urlInfo( url );
      auto cmd = Quayd::UrlReachabilitySm::createProbeCmd( ui, std::chrono::seconds( 5 ),
                                                           std::chrono::milliseconds( 200 ) );
      if ( cmd->args().size() < 6 || cmd->args().back().empty() ) {
         __builtin_trap();
      }
   } catch ( std::invalid_argument const & ) {
   }
   return 0;
}
