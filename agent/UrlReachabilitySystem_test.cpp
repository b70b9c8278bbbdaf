// The netcat probe commands run for real against live and absent TCP and UDP
// listeners on loopback, in a network namespace of this test's own.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>

#include "agent/UrlReachability.h"
#include "platform/posix/PosixEventLoop.h"
#include "platform/posix/PosixProcessRunner.h"
#include "platform/posix/TestSpawner.h"

namespace Quayd {
namespace {

using namespace std::chrono_literals;

class OwnNetwork : public ::testing::Environment {
 public:
   void SetUp() override {
      ASSERT_EQ( ::unshare( CLONE_NEWNET ), 0 ) << "needs root";
      ASSERT_EQ( std::system( "ip link set lo up" ), 0 );
   }
};
auto const * const env = ::testing::AddGlobalTestEnvironment( new OwnNetwork );

// An ncat listener for the length of a test.
class Listener {
 public:
   Listener( bool udp, int port ) {
      pid_ = ::fork();
      if ( pid_ == 0 ) {
         // A group of its own, so that the per-peer commands go with it.
         ::setpgid( 0, 0 );
         int const devnull = ::open( "/dev/null", O_RDWR );
         ::dup2( devnull, 0 );
         ::dup2( devnull, 1 );
         ::dup2( devnull, 2 );
         String const p = std::to_string( port );
         if ( udp ) {
            // UDP keeps listening only with a command per peer.
            ::execlp( "ncat", "ncat", "-u", "-lk", "127.0.0.1", p.c_str(), "--sh-exec", "cat",
                      nullptr );
         } else {
            ::execlp( "ncat", "ncat", "-lk", "127.0.0.1", p.c_str(), nullptr );
         }
         ::_exit( 127 );
      }
      String const check = fmt::format( "ss -{}ln | grep -q 127.0.0.1:{}", udp ? "u" : "t", port );
      for ( int i = 0; i < 100 && std::system( check.c_str() ) != 0; ++i ) {
         ::usleep( 50000 ); // the listener's socket is not visible otherwise
      }
   }
   ~Listener() {
      ::kill( -pid_, SIGKILL );
      ::waitpid( pid_, nullptr, 0 );
   }

 private:
   pid_t pid_;
};

struct Case {
   char const * name;
   String url;
   bool listening, udp;
   int port;
};

class NetcatProbe : public ::testing::TestWithParam< Case > {};

TEST_P( NetcatProbe, AnswersExactlyWhenSomethingListens ) {
   auto const & c = GetParam();
   std::optional< Listener > listener;
   if ( c.listening ) {
      listener.emplace( c.udp, c.port );
   }
   PosixEventLoop loop;
   Spawner const spawner = Testing::testSpawner();
   PosixProcessRunner runner( loop, spawner );
   auto status = urlReachabilityStatusFactory();
   auto sm = urlReachabilitySmFactory( c.url, NamespaceName(), status, loop.scheduler(), runner, 1s,
                                       10s, 5s, 200ms );
   auto * real = sm.get();
   bool const ended = loop.runUntil(
      [ & ] { return status->reachable() || real->probeStatus()->probeFailedCount() > 0; }, 20s );
   ASSERT_TRUE( ended );
   EXPECT_EQ( status->reachable(), c.listening );
}

INSTANTIATE_TEST_SUITE_P(
   Table, NetcatProbe,
   ::testing::Values( Case{ "tcpLive", "tcp://127.0.0.1:7601", true, false, 7601 },
                      Case{ "tcpAbsent", "tcp://127.0.0.1:7602", false, false, 7602 },
                      Case{ "udpLive", "udp://127.0.0.1:7514", true, true, 7514 },
                      Case{ "udpAbsent", "udp://127.0.0.1:7515", false, true, 7515 } ),
   []( auto const & info ) { return String( info.param.name ); } );

} // namespace
} // namespace Quayd
