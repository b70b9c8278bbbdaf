// A container's command and options texts come from configuration: any text
// is either split into words or refused with its reason, and words escaped
// back into a text split into the same words again.
#include <cstdint>
#include <cstdlib>

#include "agent/ContainerSm.h"
#include "platform/Exception.h"

extern "C" int LLVMFuzzerTestOneInput( uint8_t const * data, size_t size ) {
   Quayd::String const text( reinterpret_cast< char const * >( data ), size );
   std::vector< Quayd::String > words;
   try {
      words = Quayd::splitWords( text, "command" );
   } catch ( Quayd::RuntimeException const & ) {
      return 0;
   }
   Quayd::String again;
   for ( auto const & w : words ) {
      again += again.empty() ? "" : " ";
      for ( char c : w ) {
         if ( c == ' ' || c == '\t' || c == '\'' || c == '"' || c == '\\' ) {
            again += '\\';
         }
         again += c;
      }
   }
   if ( Quayd::splitWords( again, "command" ) != words ) {
      std::abort();
   }
   return 0;
}
