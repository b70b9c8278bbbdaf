#include "tests/sim/Driver.h"

// The faults landed deliberately while the agent has runtime calls out.
namespace Quayd::Sim {

using namespace std::chrono_literals;

String Driver::faultInFlight() {
   SimDaemon & d = *world_.daemon;
   String edit;
   if ( d.callsOut() == 0 ) {
      // Runs go out when containers' configurations change: a few that can
      // run at once.
      for ( size_t n = std::uniform_int_distribution< size_t >( 1, 3 )( rng_ ); n > 0; --n ) {
         String const name = pick( kContainers );
         ContainerEdit e = containerEdit( false );
         e.params.image = pick< String >( { "img1:1", "img2:1" } );
         e.params.startupConditionBash = "";
         e.enabled = true;
         op_.container( name, e );
         edit += fmt::format( "container {} image '{}' enabled, ", name, e.params.image );
      }
      edit += "then ";
   }
   // Between a run's create and its start, or while any call is out.
   bool const betweenSteps = chance( 0.7 );
   if ( !world_.runUntil( 40s, [ & ] {
           return betweenSteps ? d.startsOut() > 0 : d.callsOut() > 0;
        } ) ) {
      return edit + "time passes";
   }
   String const when = fmt::format( "with {} calls out{}", d.callsOut(),
                                    d.startsOut() ? ", a start after its create" : "" );
   switch ( std::uniform_int_distribution< int >( 0, 2 )( rng_ ) ) {
   case 0:
      return edit + "restart " + when; // done by the scenario
   case 1: {
      // Killed, and brought up again by its supervisor a while later.
      d.die();
      world_.run( std::chrono::seconds( std::uniform_int_distribution< int >( 0, 5 )( rng_ ) ) );
      d.revive();
      return edit + "fault: the daemon dies " + when;
   }
   default: {
      auto const c = world_.at< QuaydConfig >( "quayd/config" );
      op_.quy( false, c->onFlash(), c->flashLimit() );
      return edit + "quy disabled " + when;
   }
   }
}

} // namespace Quayd::Sim
