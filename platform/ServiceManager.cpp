#include "platform/ServiceManager.h"

namespace Quayd {

NotifyingServiceManager::NotifyingServiceManager( Clock const & clock, Duration watchdogPeriod,
                                                  std::function< void( String const & ) > send )
    : clock_( clock ), period_( watchdogPeriod ), send_( std::move( send ) ) {}

void NotifyingServiceManager::readyIs() { send_( "READY=1" ); }

void NotifyingServiceManager::statusIs( String const & text ) {
   if ( text != status_ ) {
      status_ = text;
      send_( "STATUS=" + text );
   }
}

void NotifyingServiceManager::alive() {
   if ( period_ <= Duration( 0 ) ) {
      return;
   }
   TimePoint const now = clock_.now();
   if ( lastAlive_ && now - *lastAlive_ < period_ / 4 ) {
      return;
   }
   lastAlive_ = now;
   send_( "WATCHDOG=1" );
}

Duration NotifyingServiceManager::aliveInterval() const {
   return period_ > Duration( 0 ) ? period_ / 4 : Duration( 0 );
}

} // namespace Quayd
