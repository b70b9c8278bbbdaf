// A container behind a startup condition: the shell command that must exit
// zero before the container starts, on fake child processes and the virtual clock.
#include "agent/ContainerSmTest.h"

namespace Quayd {
namespace {

using namespace std::chrono_literals;
using CRS = ContainerRunState;
using Strings = std::vector< String >;

class StartupConditionTest : public ContainerSmTest {
 protected:
   StartupConditionTest() {
      paramsIs( []( ContainerParams & p ) {
         p.startupConditionBash = "test -e /run/ready";
         p.startupConditionPollInterval.value = 5;
      } );
   }
   Strings shell( String const & text ) const { return { "/usr/bin/sh", "-c", text }; }
};

TEST_F( StartupConditionTest, NoConditionStartsWithoutAProbe ) {
   paramsIs( []( ContainerParams & p ) { p.startupConditionBash.clear(); } );
   start();
   time.runReady();
   EXPECT_TRUE( processes.started.empty() );
   EXPECT_FALSE( sm->startupConditionProbe() );
   EXPECT_EQ( state(), CRS::containerRunning_ );
}

TEST_F( StartupConditionTest, ContainerStartsOnceTheConditionExitsZeroEachTimeItIsEnabled ) {
   // Not start(): the first run of the condition is on the next turn.
   sm = containerSmFactory( config, status, runtime, time.scheduler(), processes,
                            Sinks{ &traces, &logs }, conditionTimeout );
   EXPECT_EQ( state(), CRS::containerWaiting_ );
   EXPECT_TRUE( sm->startupConditionProbe() );
   EXPECT_TRUE( processes.started.empty() ); // the first run is on the next turn
   time.runReady();
   ASSERT_EQ( processes.started, ( std::vector< Strings >{ shell( "test -e /run/ready" ) } ) );
   EXPECT_TRUE( runtime->calls().empty() );

   processes.exitLast( 0 );
   time.runReady();
   EXPECT_EQ( state(), CRS::containerRunning_ );
   EXPECT_EQ( runtime->calls(), Strings{ "runContainer(web)" } );
   EXPECT_FALSE( sm->startupConditionProbe() );
   EXPECT_FALSE( sm->startupConditionStatus() );
   EXPECT_EQ( logs.count( "QUAYD_CONTAINER_STARTUP_CONDITION_BASH_TIMEOUT" ), 0u );

   // Enabled again, it waits for the condition again.
   config->enabledIs( false );
   time.runReady();
   config->enabledIs( true );
   time.runReady();
   EXPECT_EQ( state(), CRS::containerWaiting_ );
   EXPECT_EQ( processes.started.size(), 2u );
}

TEST_F( StartupConditionTest, FailingConditionIsRetriedEveryPollIntervalSilently ) {
   start();
   time.runReady();
   processes.exitLast( 1 );
   time.advance( 4s );
   EXPECT_EQ( processes.started.size(), 1u );
   time.advance( 1s );
   ASSERT_EQ( processes.started.size(), 2u );
   processes.exitLast( 2 );
   EXPECT_EQ( sm->startupConditionStatus()->probeFailedCount(), 2u );
   EXPECT_EQ( status->conditionFailures(), 2u ) << "published for the operator";
   EXPECT_EQ( status->conditionRuns(), 3u );
   EXPECT_EQ( state(), CRS::containerWaiting_ );
   EXPECT_TRUE( logs.messages.empty() );
   EXPECT_TRUE( runtime->calls().empty() );
}

struct TimeoutCase {
   std::optional< Seconds > given; // none: the default
   Seconds expected;
};

class StartupConditionTimeout : public StartupConditionTest,
                                public ::testing::WithParamInterface< TimeoutCase > {};

TEST_P( StartupConditionTimeout, EveryOverrunIsReportedWithTheTimeout ) {
   if ( GetParam().given ) {
      conditionTimeout = *GetParam().given;
   }
   start();
   EXPECT_EQ( sm->startupConditionTimeout(), GetParam().expected );
   time.runReady();
   ASSERT_EQ( processes.runningCount(), 1u );
   time.advance( GetParam().expected - 1s );
   EXPECT_TRUE( processes.signalsSent.empty() );
   time.advance( 1s );
   ASSERT_EQ( processes.signalsSent.size(), 1u );
   EXPECT_EQ( processes.signalsSent[ 0 ].second, 9 );
   processes.reapSignaled();
   String const text =
      fmt::format( "Startup condition bash commands for Container web timed out after {} seconds",
                   GetParam().expected.count() );
   ASSERT_EQ( logs.messages.size(), 1u );
   EXPECT_EQ( logs.messages[ 0 ].id, "QUAYD_CONTAINER_STARTUP_CONDITION_BASH_TIMEOUT" );
   EXPECT_EQ( logs.messages[ 0 ].text, text );
   EXPECT_EQ( logs.messages[ 0 ].severity, 3 );

   // The next run after the poll interval overruns too: one message per run.
   time.advance( 5s );
   EXPECT_EQ( processes.started.size(), 2u );
   time.advance( GetParam().expected );
   processes.reapSignaled();
   EXPECT_EQ( logs.count( "QUAYD_CONTAINER_STARTUP_CONDITION_BASH_TIMEOUT" ), 2u );
   EXPECT_EQ( state(), CRS::containerWaiting_ );
}

INSTANTIATE_TEST_SUITE_P( Table, StartupConditionTimeout,
                          ::testing::Values( TimeoutCase{ std::nullopt, 15s },
                                             TimeoutCase{ 7s, 7s } ) );

TEST_F( StartupConditionTest, DisablingWhileTheConditionRunsKillsIt ) {
   start();
   time.runReady();
   int32_t const pid = processes.lastPid();
   config->enabledIs( false );
   time.runReady();
   EXPECT_EQ( processes.signalsSent, ( std::vector< std::pair< int32_t, int > >{ { pid, 9 } } ) );
   EXPECT_FALSE( sm->startupConditionProbe() );
   EXPECT_FALSE( sm->startupConditionStatus() );
   EXPECT_EQ( state(), CRS::containerStopped_ );
   processes.reapSignaled();
   time.advance( 1min );
   EXPECT_EQ( processes.started.size(), 1u );
   EXPECT_TRUE( runtime->calls().empty() );
}

TEST_F( StartupConditionTest, NewShellTextRestartsTheEvaluationFromScratchRunningOrNot ) {
   start();
   time.runReady();
   processes.exitLast( 1 );
   Ptr< ProbeStatus > const first = sm->startupConditionStatus();
   ASSERT_EQ( first->probeFailedCount(), 1u );

   paramsIs( []( ContainerParams & p ) { p.startupConditionBash = "true"; } );
   EXPECT_EQ( state(), CRS::containerWaiting_ );
   ASSERT_TRUE( sm->startupConditionStatus() );
   EXPECT_NE( sm->startupConditionStatus(), first );
   EXPECT_EQ( sm->startupConditionStatus()->probeFailedCount(), 0u );
   time.runReady();
   EXPECT_EQ( processes.started.back(), shell( "true" ) );
   processes.exitLast( 0 );
   time.runReady();
   EXPECT_EQ( state(), CRS::containerRunning_ );

   // Changed under a running container: it stops, then waits again.
   runtime->clearCalls();
   paramsIs( []( ContainerParams & p ) { p.startupConditionBash = "test -e /run/other"; } );
   EXPECT_EQ( runtime->calls(), ( Strings{ "stopContainer(web)", "removeContainer(web,true)" } ) );
   EXPECT_EQ( state(), CRS::containerWaiting_ );
   time.runReady();
   EXPECT_EQ( processes.started.back(), shell( "test -e /run/other" ) );
   processes.exitLast( 0 );
   time.runReady();
   EXPECT_EQ( runtime->count( "runContainer" ), 1u );
}

TEST_F( StartupConditionTest, FailedStartAfterTheConditionIsRetriedWithoutIt ) {
   runtime->failNext( "runContainer", RuntimeException( "no such image" ) );
   start();
   time.runReady();
   processes.exitLast( 0 );
   time.runReady();
   ASSERT_EQ( state(), CRS::containerStartFailed_ );
   time.advance( 30s );
   EXPECT_EQ( state(), CRS::containerRunning_ );
   EXPECT_EQ( processes.started.size(), 1u );
}

// A container found missing is a new one: its startup condition runs first.
TEST_F( StartupConditionTest, AContainerGoneMissingWaitsForTheConditionAgain ) {
   start();
   time.runReady();
   processes.exitLast( 0 );
   time.runReady();
   ASSERT_EQ( state(), CRS::containerRunning_ );
   runtime->containers.erase( "web" );
   runtime->clearCalls();
   sm->handleEnabled();
   EXPECT_EQ( runtime->calls(), Strings{ "inspectContainer(web)" } );
   EXPECT_EQ( state(), CRS::containerWaiting_ );
   time.runReady();
   EXPECT_EQ( processes.started.size(), 2u );
   processes.exitLast( 0 );
   time.runReady();
   EXPECT_EQ( runtime->calls(), ( Strings{ "inspectContainer(web)", "runContainer(web)" } ) );
   EXPECT_EQ( state(), CRS::containerRunning_ );
}

} // namespace
} // namespace Quayd
