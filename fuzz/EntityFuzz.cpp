// Decoding of every entity type from a Redis hash written by anyone: the
// first byte picks the type (each mounted path, and the element type of each
// collection), then "field=value" lines. A value that decodes must encode to
// a text that decodes to the same value.
#include <cstdint>
#include <cstdlib>
#include <string_view>

#include "model/Model.h"

using namespace Quayd;

namespace {

std::vector< Ptr< Entity > > entityTypes() {
   std::vector< Ptr< Entity > > types;
   for ( auto const & e : quaydMountProfile().entries ) {
      Ptr< Entity > ent = e.factory();
      ent->pathIs( e.path );
      types.push_back( ent );
      if ( auto const * el = ent->fieldTable().elements() ) {
         types.push_back( el->elementIs( *ent, "k", {} ) );
      }
   }
   return types;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput( uint8_t const * data, size_t size ) {
   static auto const types = entityTypes();
   if ( size == 0 ) {
      return 0;
   }
   Entity & e = *types[ data[ 0 ] % types.size() ];
   std::string_view rest( reinterpret_cast< char const * >( data + 1 ), size - 1 );
   while ( !rest.empty() ) {
      auto nl = rest.find( '\n' );
      std::string_view line = rest.substr( 0, nl );
      rest = nl == std::string_view::npos ? std::string_view() : rest.substr( nl + 1 );
      auto eq = line.find( '=' );
      if ( eq == std::string_view::npos ) {
         continue;
      }
      auto const * f = e.fieldTable().find( line.substr( 0, eq ) );
      if ( !f || f->kind == FieldKind::elements ) {
         continue;
      }
      if ( f->decode( e, line.substr( eq + 1 ) ) ) {
         continue; // refused; the last good value stays
      }
      String const once = f->encode( e );
      if ( f->decode( e, once ) || f->encode( e ) != once ) {
         std::abort(); // the stored form of a value must read back as itself
      }
   }
   return 0;
}
