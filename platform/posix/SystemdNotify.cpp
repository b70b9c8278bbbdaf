#include "platform/posix/SystemdNotify.h"

#include <systemd/sd-daemon.h>

namespace Quayd {

std::unique_ptr< ServiceManager > systemdServiceManager( Clock const & clock ) {
   uint64_t usec = 0;
   Duration period( 0 );
   if ( sd_watchdog_enabled( 0, &usec ) > 0 ) {
      period = std::chrono::microseconds( usec );
   }
   return std::make_unique< NotifyingServiceManager >( clock, period, []( String const & line ) {
      sd_notify( 0, line.c_str() );
   } );
}

} // namespace Quayd
