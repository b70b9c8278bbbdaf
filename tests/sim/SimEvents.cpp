#include "tests/sim/SimDaemon.h"

#include <fmt/format.h>

namespace Quayd::Sim {

void SimDaemon::emit( String const & name, String const & action ) {
   // Nobody listens: nothing is kept, so no task outlives an agent.
   if ( subscribers_.empty() || eventsBroken_ ) {
      return;
   }
   pending_.push_back( { name, action } );
   deliverTask_->scheduleTask();
}

void SimDaemon::deliver() {
   for ( auto const & e : std::exchange( pending_, {} ) ) {
      if ( auto it = live().find( e.name ); e.action == "die" && it != live().end() ) {
         it->second.exitTold = it->second.exitedByItself;
      }
      subscribers_.notify( e );
   }
}

void SimDaemon::breakEvents() {
   dropEvents();
   eventsBroken_ = true;
}

void SimDaemon::resumeEvents() {
   if ( std::exchange( eventsBroken_, false ) && active_ && !dead ) {
      ++resyncs_;
      emit( "", "" );
   }
}

void SimDaemon::dropEvents() {
   for ( auto const & e : pending_ ) {
      if ( e.action == "create" ) {
         createsUntold_.insert( e.name );
      }
   }
   pending_.clear();
   deliverTask_->unscheduleTask();
}

uint64_t SimDaemon::containerEventsSubscribe( ContainerEventHandler handler ) {
   ++resyncs_;
   lookedAt_.clear();
   return subscribers_.add( std::move( handler ) );
}

void SimDaemon::containerEventsUnsubscribe( uint64_t id ) {
   // Not a call to the daemon: a frozen daemon loses its subscribers too.
   subscribers_.del( id );
   if ( subscribers_.empty() ) {
      dropEvents();
   }
}

} // namespace Quayd::Sim
