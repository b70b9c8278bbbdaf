#include "platform/docker/DockerApiClient.h"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>

#include "platform/Exception.h"
#include "platform/testing/SigtermBlocked.h"

namespace Quayd {
namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

// A daemon socket that takes connections and never answers: the kernel
// accepts them into the backlog, nobody reads.
class HungDaemon : public ::testing::Test {
 protected:
   void SetUp() override {
      path_ = std::filesystem::temp_directory_path() /
              ( "quayd-hung-" + std::to_string( ::getpid() ) + ".sock" );
      fd_ = ::socket( AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0 );
      sockaddr_un a{};
      a.sun_family = AF_UNIX;
      std::snprintf( a.sun_path, sizeof a.sun_path, "%s", path_.c_str() );
      ASSERT_EQ( ::bind( fd_, reinterpret_cast< sockaddr * >( &a ), sizeof a ), 0 );
      ASSERT_EQ( ::listen( fd_, 16 ), 0 );
   }
   void TearDown() override {
      ::close( fd_ );
      ::unlink( path_.c_str() );
   }
   // Seconds until `f` threw RuntimeException; the message in `what`.
   template < typename F >
   double secondsUntilThrow( F f, String & what ) {
      auto const start = Clock::now();
      try {
         f();
         ADD_FAILURE() << "the request returned";
      } catch ( RuntimeException const & e ) {
         what = e.what();
      }
      return std::chrono::duration< double >( Clock::now() - start ).count();
   }
   Testing::SigtermBlocked term_;
   String path_;
   int fd_ = -1;
};

// A request gives up at the limit it was given, a lookup without one at
// the lookup limit, a stream once no byte moved for its limit; each says
// the daemon did not answer.
TEST_F( HungDaemon, EachRequestGivesUpAtItsLimitAndSaysTheDaemonDidNotAnswer ) {
   double const lookup = DockerApiClient::kLookupLimitSec;
   struct {
      char const * kind;
      std::function< void( DockerApiClient & ) > run;
      double atLeast, below;
   } const cases[] = {
      { "request", []( DockerApiClient & a ) { a.request( "GET", "/_ping", "", nullptr, 1 ); }, 0.9,
        3 },
      { "lookup", []( DockerApiClient & a ) { a.call( "GET", "/_ping" ); }, lookup - 0.5,
        lookup + 2 },
      { "stream", []( DockerApiClient & a ) { a.stream( "POST", "/_ping", nullptr, {}, 1 ); }, 0,
        4 },
   };
   for ( auto const & c : cases ) {
      DockerApiClient api( path_ );
      std::vector< String > told;
      api.answerObserverIs( [ & ]( String const & why ) { told.push_back( why ); } );
      String what;
      double const s = secondsUntilThrow( [ & ] { c.run( api ); }, what );
      EXPECT_GE( s, c.atLeast ) << c.kind;
      EXPECT_LT( s, c.below ) << c.kind;
      EXPECT_NE( what.find( "/_ping" ), String::npos ) << what;
      ASSERT_EQ( told.size(), 1u ) << c.kind;
      EXPECT_EQ( told[ 0 ], what );
   }
}

TEST_F( HungDaemon, ACallersDeadlineBoundsEveryKindOfRequest ) {
   std::function< bool( std::string_view ) > const sink = []( std::string_view ) { return true; };
   struct Case {
      char const * kind;
      std::function< void( DockerApiClient & ) > run;
   } const cases[] = {
      { "request", [ & ]( DockerApiClient & a ) { a.request( "POST", "/x", "", nullptr, 10 ); } },
      { "stream", [ & ]( DockerApiClient & a ) { a.stream( "POST", "/images/load" ); } },
      { "follow",
        [ & ]( DockerApiClient & a ) { a.follow( "/logs", sink, [] { return true; } ); } },
   };
   for ( auto const & c : cases ) {
      DockerApiClient api( path_ );
      api.callLimitIs( Clock::now() + 1s, [] { return false; } );
      double s = 0;
      try {
         auto const start = Clock::now();
         try {
            c.run( api );
         } catch ( ... ) {
            s = std::chrono::duration< double >( Clock::now() - start ).count();
            throw;
         }
         ADD_FAILURE() << c.kind << " returned";
      } catch ( DaemonUnansweredException const & e ) {
         EXPECT_TRUE( e.timedOut() ) << c.kind << ": " << e.what();
      }
      EXPECT_GE( s, 0.9 ) << c.kind;
      EXPECT_LT( s, 2.5 ) << c.kind;
   }
   // A deadline already passed sends nothing.
   DockerApiClient api( path_ );
   api.callLimitIs( Clock::now() - 1s, [] { return false; } );
   EXPECT_THROW( api.request( "GET", "/_ping" ), DaemonUnansweredException );
}

TEST_F( HungDaemon, ACancelledCallGivesUpItsRequest ) {
   DockerApiClient api( path_ );
   auto const cancelAt = Clock::now() + 300ms;
   api.callLimitIs( Clock::time_point::max(), [ & ] { return Clock::now() >= cancelAt; } );
   String what;
   double const s =
      secondsUntilThrow( [ & ] { api.request( "POST", "/x", "", nullptr, 10 ); }, what );
   EXPECT_LT( s, 2 );
   EXPECT_NE( what.find( "cancelled" ), String::npos ) << what;
}

TEST_F( HungDaemon, APendingSigtermEndsARequestAtOnce ) {
   DockerApiClient api( path_ );
   std::vector< String > told;
   api.answerObserverIs( [ & ]( String const & why ) { told.push_back( why ); } );
   ::kill( ::getpid(), SIGTERM );
   String what;
   EXPECT_LT( secondsUntilThrow( [ & ] { api.request( "GET", "/_ping", "", nullptr, 10 ); }, what ),
              0.5 );
   EXPECT_NE( what.find( "stopping" ), String::npos ) << what;
   EXPECT_TRUE( told.empty() ); // the daemon is not to blame
}

TEST_F( HungDaemon, ASigtermArrivingDuringARequestEndsItAtOnce ) {
   DockerApiClient api( path_ );
   // SIGTERM 300 ms into a request that would wait 10 s.
   sigevent ev{};
   ev.sigev_notify = SIGEV_SIGNAL;
   ev.sigev_signo = SIGTERM;
   timer_t timer;
   ASSERT_EQ( ::timer_create( CLOCK_MONOTONIC, &ev, &timer ), 0 );
   itimerspec its{};
   its.it_value.tv_nsec = 300'000'000;
   ::timer_settime( timer, 0, &its, nullptr );
   String what;
   double const s =
      secondsUntilThrow( [ & ] { api.request( "POST", "/containers/x/stop", "", nullptr, 10 ); },
                         what );
   ::timer_delete( timer );
   EXPECT_LT( s, 1 );
   EXPECT_NE( what.find( "stopping" ), String::npos ) << what;
}

} // namespace
} // namespace Quayd
