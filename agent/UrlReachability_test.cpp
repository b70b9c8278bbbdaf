// URL parsing, the netcat probe command, and both reachability machines on
// fake child processes and the virtual clock.
#include <gtest/gtest.h>

#include "agent/UrlReachability.h"
#include "platform/testing/Capture.h"
#include "platform/testing/FakeProcessRunner.h"
#include "platform/testing/VirtualTime.h"

namespace Quayd {
namespace {

using namespace std::chrono_literals;
using Args = std::vector< String >;

TEST( UrlParse, SplitsSchemeHostAndPortAsWritten ) {
   struct {
      String url, scheme, host, port;
   } const cases[] = {
      { "udp://10.1.1.1:514", "udp", "10.1.1.1", "514" },
      { "udp://syslog-host", "udp", "syslog-host", "" },
      { "tcp://[2001:db8::1]:601", "tcp", "2001:db8::1", "601" },
      { "UDP://h:1", "UDP", "h", "1" },
      { "udp://h:", "udp", "h", "" },
      { "tcp://user:pw@h:514/p/a?q=1#frag", "tcp", "h", "514" },
   };
   for ( auto const & c : cases ) {
      EXPECT_EQ( UrlInfo::urlInfo( c.url ), UrlInfo( c.url, c.scheme, c.host, c.port ) ) << c.url;
   }
}

TEST( UrlParse, TextsWithoutSchemeOrHostAreRefusedWithTheirDiagnostic ) {
   struct Bad {
      String url, says;
   };
   for ( auto const & b : { Bad{ "10.1.1.1:514", "Failed to parse" },
                            Bad{ "syslog-host", "Failed to parse scheme in URL syslog-host" },
                            Bad{ "udp:relative", "Failed to parse hostText in URL udp:relative" },
                            Bad{ "udp://h h", "Failed to parse URL udp://h h" },
                            Bad{ "udp://-e:514", "Host in URL udp://-e:514 begins with '-'" } } ) {
      try {
         UrlInfo::urlInfo( b.url );
         ADD_FAILURE() << b.url << " parsed";
      } catch ( std::invalid_argument const & e ) {
         EXPECT_NE( String( e.what() ).find( b.says ), String::npos ) << e.what();
      }
   }
}

TEST( UrlInfo, TruthAndTextForm ) {
   EXPECT_FALSE( UrlInfo() );
   EXPECT_TRUE( UrlInfo( "", "", "", "514" ) );
   UrlInfo const u( "udp://h:1", "udp", "h", "1" );
   UrlInfo back;
   ASSERT_FALSE( decodeValue( encodeValue( u ), back ) );
   EXPECT_EQ( back, u );
}

TEST( ProbeCommand, NetcatArgumentsFollowTheUrl ) {
   Args const udp{ "nc", "-z", "-w", "5.0", "-u", "-i", "0.2", "--", "h", "514" };
   struct {
      String url;
      Args args;
   } const cases[] = {
      { "udp://h:514", udp },
      { "tcp://h:601", { "nc", "-z", "-w", "5.0", "--", "h", "601" } },
      { "udp://h", udp },
      { "udp://h:", udp },
      // Only "udp" exactly selects UDP.
      { "UDP://h:9", { "nc", "-z", "-w", "5.0", "--", "h", "9" } },
   };
   for ( auto const & c : cases ) {
      auto cmd = UrlReachabilitySm::createProbeCmd( UrlInfo::urlInfo( c.url ), 5s, 200ms );
      EXPECT_EQ( Args( cmd->args().begin(), cmd->args().end() ), c.args ) << c.url;
   }
}

class Reachability : public ::testing::Test {
 protected:
   Testing::TraceCapture traces;
   Testing::FakeProcessRunner processes;
   Testing::VirtualTime time;
   Ptr< UrlReachabilityStatus > status = urlReachabilityStatusFactory();
};

TEST_F( Reachability, TheFirstSuccessfulProbePublishesAndEndsProbing ) {
   auto sm = urlReachabilitySmFactory( "udp://10.0.0.9:514", NamespaceName(), status,
                                       time.scheduler(), processes, 30s, 20s, 5s, 200ms );
   time.turn();
   ASSERT_EQ( processes.started.size(), 1u );
   EXPECT_EQ( processes.started[ 0 ][ 0 ], "nc" );
   processes.exitLast( 1 );
   EXPECT_FALSE( status->reachable() );
   time.advance( 30s );
   ASSERT_EQ( processes.started.size(), 2u );
   processes.exitLast( 0 );
   EXPECT_TRUE( status->reachable() );
   time.advance( 10min );
   EXPECT_EQ( processes.started.size(), 2u );
   sm = nullptr;
   EXPECT_TRUE( status->reachable() ) << "deletion leaves the last answer";
}

TEST_F( Reachability, AnUnparsableUrlNeverProbes ) {
   auto sm = urlReachabilitySmFactory( "syslog-host", NamespaceName(), status, time.scheduler(),
                                       processes, 30s, 20s, 5s, 200ms );
   time.advance( 10min );
   EXPECT_TRUE( processes.started.empty() );
   EXPECT_FALSE( status->reachable() );
   EXPECT_TRUE( traces.contains( "Failed to parse scheme in URL syslog-host", 0 ) );
}

} // namespace
} // namespace Quayd
