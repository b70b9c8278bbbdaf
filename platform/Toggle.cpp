#include "platform/Toggle.h"

#include <cstdlib>
#include <fstream>

#include <nlohmann/json.hpp>

namespace Quayd {

String toggleDirectory() {
   char const * dir = std::getenv( "QUAYD_TOGGLE_DIR" );
   return dir && *dir ? String( dir ) : String( "/etc/quayd/toggles" );
}

bool getToggleState( String const & toggle, String const & toggleFile, bool defaultValue ) {
   std::ifstream in( toggleDirectory() + "/" + toggleFile );
   if ( !in ) {
      return defaultValue;
   }
   auto j = nlohmann::json::parse( in, nullptr, false );
   if ( !j.is_object() ) {
      return defaultValue;
   }
   auto it = j.find( toggle );
   if ( it == j.end() || !it->is_boolean() ) {
      return defaultValue;
   }
   return it->get< bool >();
}

} // namespace Quayd
