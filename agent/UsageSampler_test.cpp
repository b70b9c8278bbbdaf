// The usage sampler on hand-answered rounds and the virtual clock.
#include <gtest/gtest.h>

#include "agent/UsageSampler.h"
#include "platform/testing/Capture.h"
#include "platform/testing/FakeRuntime.h"
#include "platform/testing/FakeUsageSampling.h"
#include "platform/testing/VirtualTime.h"

namespace Quayd {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector< String >;
constexpr uint64_t kMiB = 1 << 20;

class UsageSamplerTest : public ::testing::Test {
 protected:
   UsageSamplerTest() { runtime->sampling = sampling; }
   void create() {
      sampler = makePtr< UsageSampler >( quaydConfig, configs, statuses, runtime, time.scheduler(),
                                         Sinks{ nullptr, &logs } );
   }
   Ptr< ContainerStatus > running( String const & name, uint64_t ceiling = 0 ) {
      configs->containerIs( name )->memoryCeilingIs( ceiling );
      auto s = statuses->containerIs( name );
      s->nameIs( name );
      s->stateIs( ContainerRunState::containerRunning_ );
      s->daemonStateIs( "running" );
      return s;
   }
   // Two cores; `cpuNs` of the container's CPU time, `systemNs` of all cores.
   static StatsSample sample( uint64_t cpuNs, uint64_t systemNs, uint64_t memory = 10 * kMiB ) {
      StatsSample s;
      s.cpuNs = cpuNs;
      s.systemNs = systemNs;
      s.onlineCpus = 2;
      s.memoryUsed = memory;
      s.memoryLimit = 512 * kMiB;
      s.pids = 3;
      s.netRx = 100;
      s.blockWrite = 4096;
      return s;
   }
   // Lets the next round fall due and answers it with `samples`.
   void round( UsageSampling::Samples samples ) {
      time.advance( 10s );
      ASSERT_TRUE( sampling->inProgress() );
      sampling->answer( std::move( samples ) );
   }

   Testing::VirtualTime time;
   Testing::LogCapture logs;
   Ptr< Testing::FakeRuntime > runtime = makePtr< Testing::FakeRuntime >( time.scheduler() );
   Ptr< Testing::FakeUsageSampling > sampling = makePtr< Testing::FakeUsageSampling >();
   Ptr< QuaydConfig > quaydConfig = makePtr< QuaydConfig >();
   Ptr< ContainerConfigDir > configs = makePtr< ContainerConfigDir >();
   Ptr< ContainerStatusDir > statuses = makePtr< ContainerStatusDir >();
   Ptr< UsageSampler > sampler;
};

TEST_F( UsageSamplerTest, RoundsFollowTheIntervalAndZeroTurnsThemOff ) {
   auto web = running( "web" );
   running( "idle" )->daemonStateIs( "paused" );
   create();
   time.advance( 9s );
   EXPECT_TRUE( sampling->rounds.empty() );
   time.advance( 1s );
   EXPECT_EQ( sampling->rounds, ( std::vector< Strings >{ { "web" } } ) );
   sampling->answer( { { "web", sample( 0, 0 ) } } );
   EXPECT_TRUE( web->usage().sampled );

   quaydConfig->usageIntervalIs( 2 );
   time.advance( 2s );
   EXPECT_EQ( sampling->rounds.size(), 2u );
   sampling->answer( {} );

   quaydConfig->usageIntervalIs( 0 );
   EXPECT_FALSE( web->usage().sampled );
   time.advance( 1h );
   EXPECT_EQ( sampling->rounds.size(), 2u );
}

TEST_F( UsageSamplerTest, CpuComesFromTwoRoundsAndTheRestFromTheLast ) {
   auto web = running( "web" );
   create();
   round( { { "web", sample( 1'000'000, 10'000'000 ) } } );
   EXPECT_EQ( web->usage().cpuPercent, 0 );
   // 1 ms of 20 ms of two cores: half of one core.
   round( { { "web", sample( 6'000'000, 30'000'000, 20 * kMiB ) } } );
   ContainerUsage const u = web->usage();
   EXPECT_DOUBLE_EQ( u.cpuPercent, 50.0 );
   EXPECT_EQ( u.memoryUsage, 20 * kMiB );
   EXPECT_EQ( u.memoryLimit, 512 * kMiB );
   EXPECT_EQ( u.pids, 3u );
   EXPECT_EQ( u.netRx, 100u );
   EXPECT_EQ( u.blockWrite, 4096u );
   // A container that did not answer keeps what it had.
   round( { { "web", std::nullopt } } );
   EXPECT_EQ( web->usage(), u );
}

TEST_F( UsageSamplerTest, AStoppedOrRemovedContainerLosesItsUsage ) {
   auto web = running( "web" );
   create();
   round( { { "web", sample( 1'000'000, 10'000'000 ) } } );
   web->daemonStateIs( "exited" );
   time.advance( 10s );
   EXPECT_FALSE( web->usage().sampled );
   EXPECT_EQ( sampling->rounds.back(), Strings{} );
   sampling->answer( {} );

   // Removed while running, then run again under the same name: no CPU
   // from the old container's counters.
   web = running( "web" );
   round( { { "web", sample( 1'000'000, 10'000'000 ) } } );
   statuses->containerDel( "web" );
   time.advance( 10s );
   sampling->answer( {} );
   web = running( "web" );
   round( { { "web", sample( 9'000'000, 40'000'000 ) } } );
   EXPECT_EQ( web->usage().cpuPercent, 0 );
}

TEST_F( UsageSamplerTest, ARoundThatNeverAnswersDoesNotPileUp ) {
   running( "web" );
   create();
   time.advance( 10s );
   time.advance( 1min );
   EXPECT_EQ( sampling->rounds.size(), 1u );
   sampling->answer( {} );
   time.advance( 10s );
   EXPECT_EQ( sampling->rounds.size(), 2u );
}

// A bring-up has the daemon first; a look does not hold a round back.
TEST_F( UsageSamplerTest, ARoundWaitsWhileContainersAreMadeOrTakenDown ) {
   running( "web" );
   runtime->hold = true;
   auto stop = runtime->stopContainerAsync( "db", []( std::exception_ptr ) {} );
   auto look = runtime->inspectContainerAsync( "web", []( auto, auto ) {} );
   create();
   time.advance( 1min );
   EXPECT_TRUE( sampling->rounds.empty() );
   runtime->complete( 0 );
   time.advance( 1s );
   EXPECT_EQ( sampling->rounds.size(), 1u );
}

TEST_F( UsageSamplerTest, MemoryOverTheCeilingForTheConfiguredRoundsRestartsOnce ) {
   auto web = running( "web", 100 * kMiB );
   auto free = running( "free" ); // no ceiling
   create();
   auto over = [ this ] {
      round( { { "web", sample( 0, 0, 101 * kMiB ) }, { "free", sample( 0, 0, 1 << 30 ) } } );
   };
   over();
   over();
   round( { { "web", sample( 0, 0, 99 * kMiB ) } } ); // back under: counting starts again
   over();
   over();
   EXPECT_TRUE( sampling->restarts.empty() );
   over();
   EXPECT_EQ( sampling->restarts, Strings{ "web" } );
   EXPECT_EQ( web->memoryRestarts(), 1u );
   ASSERT_EQ( logs.count( "QUAYD_CONTAINER_MEMORY_RESTART" ), 1u );
   EXPECT_EQ( logs.messages.back().text,
              "Container web restarted: memory in use 101MiB above its ceiling 100MiB." );
   // Still over while the restart is out: not restarted twice.
   over();
   over();
   over();
   EXPECT_EQ( sampling->restarts.size(), 1u );
   sampling->restartDone();
   quaydConfig->memoryCeilingRoundsIs( 1 );
   over();
   EXPECT_EQ( sampling->restarts.size(), 2u );
   EXPECT_EQ( free->memoryRestarts(), 0u );
}

TEST_F( UsageSamplerTest, HealthComesFromTheDaemonsEvents ) {
   auto web = running( "web" );
   create();
   runtime->emit( { "web", "health_status: starting" } );
   round( { { "web", sample( 0, 0 ) } } );
   EXPECT_EQ( web->usage().health, "starting" );
   runtime->emit( { "web", "health_status: unhealthy" } );
   EXPECT_EQ( web->usage().health, "unhealthy" );
   runtime->emit( { "web", "die" } );
   EXPECT_EQ( web->usage().health, "unhealthy" );
}

TEST( SizeText, ReadsAsDockerStats ) {
   EXPECT_EQ( sizeText( 80 ), "80B" );
   EXPECT_EQ( sizeText( 1536 ), "1.5KiB" );
   EXPECT_EQ( sizeText( 200 * kMiB ), "200MiB" );
   EXPECT_EQ( sizeText( 3ull << 30 ), "3GiB" );
}

} // namespace
} // namespace Quayd
