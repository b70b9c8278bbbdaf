#include "tools/quyctl/SupervisionView.h"

#include <ostream>

#include "tools/quyctl/Command.h"

namespace Quayd::Quyctl {

void addSupervision( Redis::Connection & c, String const & name, ContainerStatus const & status,
                     nlohmann::json & row ) {
   ContainerConfig config;
   config.pathIs( String( Paths::kContainerConfig ) + "|" + name );
   readFields( c, config );
   row[ "restartUnhealthy" ] = config.restartUnhealthy();
   row[ "unhealthyRestarts" ] = status.unhealthyRestarts();
   row[ "backingOff" ] = status.backingOff();
   nlohmann::json history = nlohmann::json::parse( status.history(), nullptr, false );
   row[ "history" ] = history.is_array() ? history : nlohmann::json::array();
}

void printHistory( std::ostream & out, nlohmann::json const & history ) {
   out << "History\n";
   for ( auto const & e : history ) {
      if ( !e.is_object() ) {
         continue;
      }
      out << "  " << e.value( "time", "" ) << "  " << e.value( "reason", "" );
      if ( String const detail = e.value( "detail", "" ); !detail.empty() ) {
         out << ": " << detail;
      }
      out << "\n";
   }
}

} // namespace Quayd::Quyctl
