#include "platform/ServiceManager.h"

#include <gtest/gtest.h>

#include "platform/testing/VirtualTime.h"

using namespace Quayd;
using namespace std::chrono_literals;

namespace {

struct Sent {
   Testing::VirtualClock clock;
   std::vector< String > lines;
   NotifyingServiceManager manager( Duration period ) {
      return NotifyingServiceManager( clock, period,
                                      [ this ]( String const & l ) { lines.push_back( l ); } );
   }
   void advance( Duration d ) { clock.set( clock.now() + d ); }
};

} // namespace

TEST( ServiceManager, KeepAlivesAtMostOncePerQuarterPeriod ) {
   Sent s;
   auto m = s.manager( 20s );
   EXPECT_EQ( m.aliveInterval(), Duration( 5s ) );
   m.alive();
   m.alive();
   s.advance( 4s );
   m.alive();
   EXPECT_EQ( s.lines, std::vector< String >{ "WATCHDOG=1" } );
   s.advance( 1s );
   m.alive();
   m.alive();
   EXPECT_EQ( s.lines, ( std::vector< String >{ "WATCHDOG=1", "WATCHDOG=1" } ) );
}

TEST( ServiceManager, NoWatchdogSendsNoKeepAlive ) {
   Sent s;
   auto m = s.manager( Duration( 0 ) );
   EXPECT_EQ( m.aliveInterval(), Duration( 0 ) );
   m.alive();
   s.advance( 1h );
   m.alive();
   EXPECT_TRUE( s.lines.empty() );
}

TEST( ServiceManager, ReadyAndStatusChangesOnly ) {
   Sent s;
   auto m = s.manager( Duration( 0 ) );
   m.statusIs( "Waiting for the state database" );
   m.statusIs( "Waiting for the state database" );
   m.readyIs();
   m.statusIs( "Running" );
   EXPECT_EQ( s.lines, ( std::vector< String >{ "STATUS=Waiting for the state database", "READY=1",
                                                "STATUS=Running" } ) );
}
