// quyctl's command line from arbitrary words (NUL-separated): every input
// is either refused or turned into writes; nothing crashes. The database
// connection always fails, so nothing is written anywhere.
#include <cstdint>
#include <sstream>

#include "tools/quyctl/Quyctl.h"

using namespace Quayd;

extern "C" int LLVMFuzzerTestOneInput( uint8_t const * data, size_t size ) {
   std::vector< String > args;
   String word;
   for ( size_t i = 0; i < size; ++i ) {
      if ( data[ i ] == 0 ) {
         args.push_back( word );
         word.clear();
      } else {
         word += char( data[ i ] );
      }
   }
   args.push_back( word );
   Quyctl::parseSize( word );
   std::ostringstream out, err;
   std::istringstream in( word );
   int rc = Quyctl::run(
      args,
      []( std::optional< String > const & ) -> std::unique_ptr< Redis::Connection > {
         throw Redis::Error( "no database in the fuzzer" );
      },
      out, err, in );
   if ( rc != Quyctl::kOk && rc != Quyctl::kFailed && rc != Quyctl::kUsage ) {
      __builtin_trap();
   }
   return 0;
}
