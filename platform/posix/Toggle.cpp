#include "platform/posix/Toggle.h"

#include <fstream>

#include <nlohmann/json.hpp>

namespace Quayd {

bool getToggleState( String const & dir, String const & toggle, String const & toggleFile,
                     bool defaultValue ) {
   std::ifstream in( dir + "/" + toggleFile );
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

Toggles readToggles( String const & dir ) {
   return { getToggleState( dir, "QuaydAgent", "Quayd.json", true ),
            getToggleState( dir, "OCGNOIContainerz", "Trellis.json", true ) };
}

} // namespace Quayd
