// The probe on real child processes and a real network namespace: the child
// runs inside the namespace named, and the agent's thread is back in its own
// afterwards. Runs in private mount and network namespaces of its own.
#include <gtest/gtest.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "agent/Probe.h"
#include "platform/posix/PosixEventLoop.h"
#include "platform/posix/PosixProcessRunner.h"
#include "platform/posix/TestSpawner.h"

namespace Quayd {
namespace {

using namespace std::chrono_literals;

class Namespaces : public ::testing::Environment {
 public:
   void SetUp() override {
      ASSERT_EQ( ::unshare( CLONE_NEWNS | CLONE_NEWNET ), 0 ) << "needs root";
      ASSERT_EQ( ::mount( nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr ), 0 );
      std::filesystem::create_directories( "/run" );
      ASSERT_EQ( ::mount( "tmpfs", "/run", "tmpfs", 0, nullptr ), 0 );
      ASSERT_EQ( std::system( "ip netns add ns-probe" ), 0 );
   }
};
auto const * const env = ::testing::AddGlobalTestEnvironment( new Namespaces );

ino_t netnsInode( String const & path ) {
   struct stat st {};
   return ::stat( path.c_str(), &st ) == 0 ? st.st_ino : 0;
}

struct RealProbe {
   PosixEventLoop loop;
   Spawner const spawner = Testing::testSpawner();
   PosixProcessRunner runner{ loop, spawner };
   Ptr< ProbeStatus > status = probeStatusFactory();
   Ptr< Probe > probe;

   RealProbe( std::vector< String > const & argv, NamespaceName ns, Seconds watchdog = 10s ) {
      auto cmd = probeCmdFactory();
      for ( auto const & a : argv ) {
         cmd->argPush( a );
      }
      probe = probeFactory( "sys", cmd, ns, status, loop.scheduler(), runner, 1s, watchdog );
   }
};

TEST( ProbeSystem, RunsTheChildInsideTheNamedNamespace ) {
   ino_t const own = netnsInode( "/proc/self/ns/net" );
   ino_t const target = netnsInode( "/run/netns/ns-probe" );
   ASSERT_NE( own, target );
   String const out = ::testing::TempDir() + "probe-ns";
   RealProbe r( { "/usr/bin/sh", "-c", "stat -L -c %i /proc/self/ns/net > " + out }, "ns-probe" );
   ASSERT_TRUE( r.loop.runUntil( [ & ] { return r.status->success(); }, 10s ) );
   std::ifstream in( out );
   ino_t seen = 0;
   in >> seen;
   EXPECT_EQ( seen, target );
   EXPECT_EQ( netnsInode( "/proc/thread-self/ns/net" ), own ) << "the thread came back";
}

TEST( ProbeSystem, AnOverrunningChildIsKilledBySignalNine ) {
   RealProbe r( { "/usr/bin/sleep", "30" }, {}, 1s );
   ASSERT_TRUE( r.loop.runUntil( [ & ] { return r.status->probeFailedCount() == 1; }, 10s ) );
   EXPECT_EQ( r.status->probeTimedoutCount(), 1u );
   EXPECT_EQ( r.status->exitSignal(), 9 );
   EXPECT_EQ( r.status->lastProbeResult(), ProbeResult::probeResultSignalFail );
}

// Reaped: no zombie is left behind.
bool gone( pid_t pid ) { return ::waitpid( pid, nullptr, WNOHANG ) == -1 && errno == ECHILD; }

TEST( ProbeSystem, EveryRunIsReapedAndDroppingTheProbeKillsItsCommand ) {
   RealProbe r( { "/usr/bin/sh", "-c", "exit 3" }, {} );
   ASSERT_TRUE( r.loop.runUntil( [ & ] { return r.status->probeFailedCount() == 2; }, 10s ) );
   EXPECT_EQ( r.status->exitStatus(), 3 );
   EXPECT_EQ( r.runner.childCount(), 0u );

   RealProbe slow( { "/usr/bin/sleep", "30" }, {} );
   ASSERT_TRUE(
      slow.loop.runUntil( [ & ] { return slow.probe->probeProcess() != nullptr; }, 10s ) );
   pid_t const pid = slow.probe->probeProcess()->pid();
   slow.probe->notificationsIs( false );
   slow.probe = nullptr;
   ASSERT_TRUE( slow.loop.runUntil( [ & ] { return slow.runner.childCount() == 0; }, 10s ) );
   EXPECT_TRUE( gone( pid ) );
   EXPECT_EQ( ::kill( pid, 0 ), -1 ) << "the command still runs";
   EXPECT_EQ( slow.status->probeFailedCount(), 0u ) << "its end is not recorded";
}

} // namespace
} // namespace Quayd
