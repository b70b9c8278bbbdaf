// A Deploy's messages come from a gRPC peer: whatever the bytes, however
// they are sliced, the content the server takes without a parse is what a
// parse of the whole message gives.
#include <algorithm>
#include <cstddef>
#include <cstdint>

#include "tools/quayd-containerz/DeployStream.h"

extern "C" int LLVMFuzzerTestOneInput( uint8_t const * data, size_t size ) {
   if ( size == 0 ) {
      return 0;
   }
   // The first byte says where the rest is cut into slices.
   size_t const step = data[ 0 ] % 8 + 1;
   std::string const bytes( reinterpret_cast< char const * >( data ) + 1, size - 1 );
   std::vector< grpc::Slice > slices;
   for ( size_t at = 0; at < bytes.size(); at += step ) {
      slices.emplace_back( bytes.data() + at, std::min( step, bytes.size() - at ) );
   }
   auto const chunk = Quayd::Containerz::contentOnly( std::move( slices ) );
   if ( !chunk ) {
      return 0;
   }
   std::string taken;
   for ( auto const r : chunk->ranges ) {
      taken += r;
   }
   gnoi::containerz::DeployRequest parsed;
   if ( !parsed.ParseFromString( bytes ) || !parsed.has_content() || parsed.content() != taken ) {
      __builtin_trap();
   }
   return 0;
}
