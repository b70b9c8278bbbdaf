// The switcher with the real resolver, runtime manager and Containerz
// machine, on the fake runtime, the in-memory file system and the virtual
// clock.
#include "agent/SubAgentSmTest.h"

namespace Quayd {
namespace {

using namespace std::chrono_literals;
using SAT = SubAgentType;
using Testing::FakeRuntime;

class SubAgentSmTest : public SwitchingTest {
 protected:
   SubAgentSmTest() { quyIs( FlashSettings{ false, true } ); }
   void containerzIs( bool on ) {
      if ( on ) {
         gnoi->memberIs( Gnoi::kContainerzMember );
      } else {
         gnoi->memberDel( Gnoi::kContainerzMember );
      }
   }
};

TEST_F( SubAgentSmTest, EnablingAndDisablingTheConfigurationStartsAndStopsQuy ) {
   start();
   EXPECT_EQ( runtime->callNames(), ( std::vector< String >{ "disableRuntime", "resetConfig" } ) )
      << "nothing configured: the runtime is kept down";
   config->enabledIs( true );
   EXPECT_EQ( status->state(), SmState::started_ );
   EXPECT_EQ( runtime->count( "enableRuntime" ), 1u );
   EXPECT_TRUE( runtime->active );
   EXPECT_TRUE( traces.contains( "quySm is starting now", 2 ) );
   runtime->clearCalls();
   config->enabledIs( false );
   EXPECT_EQ( status->state(), SmState::stopped_ );
   EXPECT_FALSE( runtime->active );
   EXPECT_EQ( runtime->count( "disableRuntime" ), 2u )
      << "quy's own stop, then the switcher's: nothing is configured any more";
   EXPECT_EQ( runtime->count( "enableRuntime" ), 0u );
   EXPECT_EQ( candidate->subAgentRunning().subAgentType, SAT::subAgentNone );
}

TEST_F( SubAgentSmTest, AFailedStopWithNothingConfiguredIsRetriedEveryThirtySeconds ) {
   runtime->active = true; // left by an earlier agent
   runtime->failNext( "disableRuntime", RuntimeException( "daemon gone" ), 2 );
   start();
   EXPECT_TRUE( traces.contains(
      "Stopping the runtime failed: RuntimeException: daemon gone; trying again in 30s", 0 ) );
   time.advance( 29s );
   EXPECT_EQ( runtime->count( "disableRuntime" ), 1u );
   time.advance( 1s );
   EXPECT_EQ( runtime->count( "disableRuntime" ), 2u );
   EXPECT_TRUE( runtime->active ) << "failed again";
   time.advance( 30s );
   EXPECT_EQ( runtime->count( "disableRuntime" ), 3u );
   EXPECT_FALSE( runtime->active );
   EXPECT_EQ( runtime->count( "resetConfig" ), 1u );
   time.advance( 5min );
   EXPECT_EQ( runtime->count( "disableRuntime" ), 3u ) << "no retry once it worked";
}

// A hard stop under a daemon that would not stop leaves the default data
// root alone; the switcher's own stop of the runtime erases it once the
// daemon is gone.
TEST_F( SubAgentSmTest, AWipeLeftByAHardStopIsDoneOnceTheRuntimeIsDown ) {
   status->stateIs( SmState::started_ ); // left by an earlier agent
   runtime->active = true;
   runtime->failAlways( "disableRuntime", RuntimeException( "did not stop" ) );
   time.files.makeDirs( "/var/lib/docker/containers/a" );
   start();
   EXPECT_TRUE(
      traces.contains( "The runtime did not stop; /var/lib/docker is erased at the next stop",
                       0 ) );
   EXPECT_TRUE( time.files.exists( "/var/lib/docker/containers/a" ) );
   EXPECT_EQ( status->state(), SmState::stopped_ );
   runtime->succeed( "disableRuntime" );
   time.advance( 30s );
   EXPECT_TRUE( time.files.list( "/var/lib/docker" ).empty() );
}

TEST_F( SubAgentSmTest, WithoutTheRuntimeItReportsOnceAMinuteUntilInstalled ) {
   runtime->installed = false;
   config->enabledIs( true );
   start();
   EXPECT_EQ( logs.count( "QUAYD_DOCKER_NOT_INSTALLED" ), 1u );
   EXPECT_TRUE( traces.contains( "Runtime is not installed yet", 5 ) );
   time.advance( 59s );
   EXPECT_EQ( logs.count( "QUAYD_DOCKER_NOT_INSTALLED" ), 1u );
   time.advance( 1s );
   EXPECT_EQ( logs.count( "QUAYD_DOCKER_NOT_INSTALLED" ), 2u );
   time.advance( 60s );
   EXPECT_EQ( logs.count( "QUAYD_DOCKER_NOT_INSTALLED" ), 3u );
   EXPECT_EQ( runtime->count( "enableRuntime" ), 0u );

   runtime->installed = true;
   time.advance( 60s );
   EXPECT_EQ( logs.count( "QUAYD_DOCKER_NOT_INSTALLED" ), 3u );
   EXPECT_EQ( status->state(), SmState::started_ );
   EXPECT_FALSE( switcher->pollTask()->armed() );
}

TEST_F( SubAgentSmTest, UnconfiguringCancelsThePoll ) {
   runtime->installed = false;
   config->enabledIs( true );
   start();
   config->enabledIs( false );
   runtime->installed = true;
   time.advance( 10min );
   EXPECT_EQ( logs.count( "QUAYD_DOCKER_NOT_INSTALLED" ), 1u );
   EXPECT_EQ( runtime->count( "enableRuntime" ), 0u );
}

TEST_F( SubAgentSmTest, AFlashLimitChangeRestartsQuyOnFlashWithTheNewLimit ) {
   config->enabledIs( true );
   config->onFlashIs( true );
   config->flashLimitIs( 2048 );
   start();
   ASSERT_EQ( status->state(), SmState::started_ );
   ASSERT_TRUE( status->runningOnFlash() );
   runtime->clearCalls();
   config->flashLimitIs( 4096 );
   // The start asked for while the stop publishes its states is put off
   // to the next turn of the loop; meanwhile the runtime stays down.
   EXPECT_EQ( runtime->callNames(),
              ( std::vector< String >{ "listStaleImages", "disableRuntime", "resetConfig",
                                       "runtimeInstalled", "disableRuntime", "resetConfig" } ) );
   EXPECT_EQ( status->state(), SmState::stopped_ );
   EXPECT_TRUE( subAgents->quySm()->startDeferred() );
   runtime->clearCalls();
   time.turn();
   EXPECT_EQ( runtime->callNames(), ( std::vector< String >{ "runtimeInstalled", "runtimeActive",
                                                             "applyConfig", "enableRuntime" } ) );
   EXPECT_EQ( status->state(), SmState::started_ );
   EXPECT_TRUE( status->runningOnFlash() );
   EXPECT_EQ( status->flashLimit(), 4096u );
}

TEST_F( SubAgentSmTest, SwitchingBetweenQuyAndContainerz ) {
   config->enabledIs( true );
   start();
   ASSERT_EQ( status->state(), SmState::started_ );
   runtime->clearCalls();

   containerzIs( true );
   EXPECT_EQ( status->state(), SmState::stopped_ );
   ASSERT_TRUE( subAgents->containerzSm() );
   EXPECT_TRUE( crt->enabled() );
   EXPECT_EQ( candidate->subAgentRunning().subAgentType, SAT::subAgentContainerz );
   EXPECT_TRUE( time.files.isDirectory( ContainerzSm::kDataRoot ) );
   auto const calls = runtime->calls();
   ASSERT_GE( calls.size(), 2u );
   EXPECT_EQ( calls[ calls.size() - 2 ],
              "applyConfig(/mnt/flash/.containerz/data-root,,-,false,[])" );
   EXPECT_EQ( calls.back(), "enableRuntime()" );

   runtime->clearCalls();
   containerzIs( false );
   EXPECT_FALSE( subAgents->containerzSm() );
   EXPECT_FALSE( crt->enabled() );
   EXPECT_EQ( status->state(), SmState::started_ ) << "quy is configured again";
   EXPECT_EQ( runtime->callNames(),
              ( std::vector< String >{ "disableRuntime", "resetConfig", "runtimeInstalled",
                                       "runtimeActive", "applyConfig", "enableRuntime" } ) );
}

TEST_F( SubAgentSmTest, ARuntimeLeftEnabledForContainerzIsCleanedUp ) {
   crt->enabledIs( true ); // an earlier agent's Containerz runtime
   runtime->active = true;
   start();
   EXPECT_FALSE( crt->enabled() );
   EXPECT_FALSE( runtime->active );
   auto const names = runtime->callNames();
   ASSERT_GE( names.size(), 3u );
   EXPECT_EQ( std::vector< String >( names.begin(), names.begin() + 3 ),
              ( std::vector< String >{ "runtimeInstalled", "disableRuntime", "resetConfig" } ) );
   // What follows only keeps it down: nothing is configured.
   for ( auto const & n : std::vector< String >( names.begin() + 3, names.end() ) ) {
      EXPECT_TRUE( n == "disableRuntime" || n == "resetConfig" ) << n;
   }
}

TEST_F( SubAgentSmTest, RuntimeFailuresOnCleanUpLeaveTheAgentRunning ) {
   crt->enabledIs( true );
   runtime->failNext( "disableRuntime", RuntimeException( "daemon gone" ) );
   start();
   EXPECT_FALSE( crt->enabled() );
   EXPECT_TRUE( traces.contains( "daemon gone", 0 ) );
   config->enabledIs( true );
   EXPECT_EQ( status->state(), SmState::started_ );
}

// Quy is taken down unless what runs is exactly the variant configured.
TEST_F( SubAgentSmTest, MaybeDisableComparesTheRunningVariantWithTheConfiguredOne ) {
   struct {
      SAT configured;
      uint64_t configuredLimit;
      bool runningOnFlash;
      uint64_t runningLimit;
      bool disable;
   } const cases[] = { { SAT::subAgentNone, 0, false, 0, true },
                       { SAT::subAgentContainerz, 0, true, 5, true },
                       { SAT::subAgentQuy, 0, true, 0, true },
                       { SAT::subAgentQuy, 0, false, 0, false },
                       { SAT::subAgentQuy, 0, false, 7, true },
                       { SAT::subAgentQuyOnFlash, 7, false, 7, true },
                       { SAT::subAgentQuyOnFlash, 7, true, 7, false },
                       { SAT::subAgentQuyOnFlash, 7, true, 8, true } };
   switcher = SubAgentSmIs( candidate, subAgents, gnoi, config, status, globalStatus, crt, runtime,
                            vrfs, time.scheduler(), Sinks{ &traces, &logs }, Toggles{} );
   for ( auto const & c : cases ) {
      candidate->subAgentConfiguredIs( { c.configured, c.configuredLimit } );
      status->runningOnFlashIs( c.runningOnFlash );
      status->flashLimitIs( c.runningLimit );
      EXPECT_EQ( switcher->maybeDisableQuySubAgent(), c.disable )
         << fmt::format( "{} {} against {} {}", c.configured, c.configuredLimit, c.runningOnFlash,
                         c.runningLimit );
   }
}

TEST( SubAgents, CreatingWithEqualArgumentsKeepsTheChild ) {
   Testing::FakeProcessRunner processes;
   Testing::VirtualTime time;
   auto runtime = makePtr< FakeRuntime >( time.scheduler() );
   auto subAgents = makePtr< SubAgents >( time.files, processes, Sinks{} );
   auto config = makePtr< Gnoi::Containerz::Config >();
   auto vrfs = makePtr< Ip::AllVrfStatusLocal >();
   auto crt = makePtr< Gnoi::Containerz::ContainerRuntimeStatus >();
   auto first = subAgents->containerzSmIs( config, vrfs, crt, runtime, time.scheduler() );
   EXPECT_EQ( subAgents->containerzSmIs( config, vrfs, crt, runtime, time.scheduler() ), first );
   auto second = subAgents->containerzSmIs( makePtr< Gnoi::Containerz::Config >(), vrfs, crt,
                                            runtime, time.scheduler() );
   EXPECT_NE( second, first );
   EXPECT_TRUE( crt->enabled() );
   EXPECT_EQ( subAgents->containerzSmDel(), second );
   EXPECT_FALSE( subAgents->containerzSm() );
   first = nullptr;
   second = nullptr;
   EXPECT_FALSE( crt->enabled() );
}

} // namespace
} // namespace Quayd
