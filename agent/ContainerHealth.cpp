#include "agent/ContainerHealth.h"

#include <algorithm>

namespace Quayd {

namespace {
// One line for syslog: the check's output may hold newlines and controls.
String oneLine( String text ) {
   std::replace_if(
      text.begin(), text.end(), []( char c ) { return uint8_t( c ) < 0x20 || c == 0x7f; }, ' ' );
   return text;
}
} // namespace

LogDescriptor const QUAYD_CONTAINER_UNHEALTHY_RESTART{
   "QUAYD_CONTAINER_UNHEALTHY_RESTART",
   "Container %s restarted: its health check reported it unhealthy, last output \"%s\".",
   "The container's health check failed as often as its retries allow, and the container is "
   "configured to be restarted when unhealthy.",
   "If the problem persists, please check the service in the container and its health check.", 4
};

bool ContainerHealth::handleUnhealthy( bool restartUnhealthy ) {
   String const & name = status_.name();
   if ( !restartUnhealthy ) {
      QTRACE( trace_, 3, "Container {} is unhealthy; not configured to restart", name );
      return true;
   }
   ContainerRecord record;
   try {
      record = runtime_.inspectContainer( name );
   } catch ( RuntimeException const & e ) {
      QTRACE( trace_, 0, "Container {} is unhealthy, but cannot be inspected: {}", name, e.what() );
      return true;
   }
   // The event may be old news: a check that passed since, a container
   // already stopped.
   if ( record.health != "unhealthy" || !record.running ) {
      QTRACE( trace_, 3, "Container {} is {} ({}) by now; not restarted", name, record.status,
              record.health );
      return true;
   }
   String const output = oneLine( record.healthOutput );
   QTRACE( trace_, 0, "Container {} is unhealthy; restarting it, last check: {}", name, output );
   history_.add( ContainerHistory::kUnhealthy, output );
   status_.unhealthyRestartsInc( 1 );
   log( log_, QUAYD_CONTAINER_UNHEALTHY_RESTART, name, output );
   try {
      runtime_.stopContainer( name );
   } catch ( RuntimeException const & e ) {
      QTRACE( trace_, 0, "Failed to stop container {}: {}", name, e.what() );
   }
   try {
      runtime_.startContainer( name );
   } catch ( RuntimeException const & e ) {
      QTRACE( trace_, 0, "Failed to start container {} again: {}", name, e.what() );
      status_.lastErrorIs( fmt::format( "cannot restart: {}", e.what() ) );
      return false;
   }
   return true;
}

} // namespace Quayd
