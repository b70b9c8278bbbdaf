// Requests in flight together on the real event loop, against a daemon
// stand-in that holds every request until the test lets it answer: the bound
// on requests out at once, answers taken in the order they come, time-outs,
// cancellation and the cap on an answer's size.
#include "platform/docker/AsyncApiClient.h"

#include <algorithm>

#include <gtest/gtest.h>

#include "platform/docker/HeldDaemonTest.h"
#include "platform/posix/PosixEventLoop.h"

namespace Quayd {
namespace {

using namespace std::chrono_literals;

// The answer to "big" is longer than the client keeps.
std::pair< int, String > answer( String const & name ) {
   return { 200, name == "big" ? String( AsyncApiClient::kMaxBody + 1, 'x' ) : name };
}

struct Fixture {
   PosixEventLoop loop;
   HeldDaemon daemon{ answer };
   AsyncApiClient client{ loop, daemon.path(), 2 };
   std::vector< String > done; // "name status", in the order they ended

   AsyncApiClient::Id get( String const & name, long timeoutSec = 20 ) {
      return client.send( "GET", "/" + name, "", timeoutSec, [ this, name ]( auto r ) {
         done.push_back( name + " " + std::to_string( r.status ) +
                         ( r.error.empty() ? "" : " !" ) );
      } );
   }
   bool until( std::function< bool() > f ) { return loop.runUntil( std::move( f ), 10s ); }
};

TEST( AsyncApiClient, AtMostTheBoundIsOutAndAnswersComeInTheOrderGiven ) {
   Fixture f;
   for ( char const * n : { "a", "b", "c", "d", "e" } ) {
      f.get( n );
   }
   ASSERT_TRUE( f.until( [ & ] { return f.daemon.held() == 2; } ) );
   EXPECT_EQ( f.client.inFlight(), 2u );
   EXPECT_EQ( f.client.waiting(), 3u );
   // b answers before a; its slot goes to c.
   f.daemon.release( "b" );
   ASSERT_TRUE( f.until( [ & ] { return f.done.size() == 1 && f.daemon.held() == 2; } ) );
   EXPECT_EQ( f.done, ( std::vector< String >{ "b 200" } ) );
   for ( char const * n : { "c", "e", "d", "a" } ) {
      f.daemon.release( n );
   }
   ASSERT_TRUE( f.until( [ & ] { return f.done.size() == 5; } ) );
   EXPECT_EQ( f.daemon.mostHeld(), 2u );
   EXPECT_EQ( f.client.inFlight() + f.client.waiting(), 0u );
}

TEST( AsyncApiClient, FailuresEndTheirRequestWithTheReason ) {
   Fixture f;
   f.get( "slow", 1 );
   f.get( "big" );
   f.daemon.release( "big" );
   ASSERT_TRUE( f.until( [ & ] { return f.done.size() == 2; } ) );
   // The cut answer keeps its status; the silent one has none.
   std::sort( f.done.begin(), f.done.end() );
   EXPECT_EQ( f.done, ( std::vector< String >{ "big 200 !", "slow 0 !" } ) );

   AsyncApiClient::Result gone;
   f.client.socketPathIs( f.daemon.path() + ".none" );
   f.client.send( "GET", "/x", "", 5, [ & ]( auto r ) { gone = std::move( r ); } );
   ASSERT_TRUE( f.until( [ & ] { return !gone.error.empty(); } ) );
   EXPECT_EQ( gone.status, 0 );
   EXPECT_FALSE( gone.timedOut );
   EXPECT_NE( gone.error.find( ".none" ), String::npos ) << gone.error;
}

TEST( AsyncApiClient, ACancelledRequestNeverCallsBackAndFreesItsSlot ) {
   Fixture f;
   auto const a = f.get( "a" );
   f.get( "b" );
   auto const c = f.get( "c" );
   f.get( "d" );
   ASSERT_TRUE( f.until( [ & ] { return f.daemon.held() == 2; } ) );
   f.client.cancel( a ); // in flight: d's turn comes after b
   f.client.cancel( c ); // waiting
   ASSERT_TRUE( f.until( [ & ] { return f.daemon.held() == 3; } ) );
   for ( char const * n : { "a", "b", "c", "d" } ) {
      f.daemon.release( n );
   }
   ASSERT_TRUE( f.until( [ & ] { return f.done.size() == 2 && f.daemon.answered() == 3; } ) );
   std::sort( f.done.begin(), f.done.end() );
   EXPECT_EQ( f.done, ( std::vector< String >{ "b 200", "d 200" } ) );
   EXPECT_EQ( f.client.inFlight() + f.client.waiting(), 0u );
}

} // namespace
} // namespace Quayd
