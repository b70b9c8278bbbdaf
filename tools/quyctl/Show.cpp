#include "tools/quyctl/Show.h"

#include <iomanip>
#include <ostream>

#include "tools/quyctl/Command.h"
#include "tools/quyctl/Quyctl.h"

namespace Quayd::Quyctl {

Fields collectFields( Redis::Connection & c, Entity & e ) {
   Fields fields;
   auto invalid = readFields( c, e );
   for ( auto const & f : e.fieldTable().fields ) {
      if ( f.kind == FieldKind::elements ) {
         continue;
      }
      auto it = invalid.find( f.name );
      fields.emplace_back( f.name,
                           it != invalid.end() ? it->second : redacted( f.name, f.encode( e ) ) );
   }
   return fields;
}

Shown collect( Redis::Connection & c, Entity & e ) {
   Shown s{ collectFields( c, e ), {} };
   if ( auto const * el = e.fieldTable().elements() ) {
      String const prefix = e.path() + "|";
      std::vector< String > keys;
      for ( auto const & key : c.scan( Redis::globEscape( prefix ) + "*" ) ) {
         keys.push_back( key.substr( prefix.size() ) );
      }
      std::sort( keys.begin(), keys.end() );
      for ( auto const & k : keys ) {
         auto element = el->elementIs( e, k, {} );
         s.elements.emplace_back( k, collectFields( c, *element ) );
      }
   }
   return s;
}

void printFields( std::ostream & out, Fields const & fields, int indent ) {
   size_t width = 0;
   for ( auto const & [ name, value ] : fields ) {
      width = std::max( width, name.size() );
   }
   String const pad( indent, ' ' );
   for ( auto const & [ name, value ] : fields ) {
      out << pad << std::left << std::setw( int( width ) + 2 ) << name << value << "\n";
   }
}

void printText( std::ostream & out, Shown const & s, int indent ) {
   printFields( out, s.fields, indent );
   for ( auto const & [ key, element ] : s.elements ) {
      out << String( indent, ' ' ) << key << "\n";
      printFields( out, element, indent + 2 );
   }
}

nlohmann::json fieldsJson( Fields const & fields ) {
   nlohmann::json j = nlohmann::json::object();
   for ( auto const & [ name, value ] : fields ) {
      auto parsed = nlohmann::json::parse( value, nullptr, false );
      j[ name ] = parsed.is_discarded() ? nlohmann::json( value ) : parsed;
   }
   return j;
}

nlohmann::json toJson( Shown const & s ) {
   nlohmann::json j = fieldsJson( s.fields );
   if ( !s.elements.empty() ) {
      auto & els = j[ "elements" ] = nlohmann::json::object();
      for ( auto const & [ key, element ] : s.elements ) {
         els[ key ] = fieldsJson( element );
      }
   }
   return j;
}

} // namespace Quayd::Quyctl
