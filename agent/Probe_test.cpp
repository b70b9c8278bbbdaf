// The probe on fake child processes and the virtual clock.
#include <gtest/gtest.h>

#include <signal.h>

#include "agent/Probe.h"
#include "platform/testing/Capture.h"
#include "platform/testing/FakeProcessRunner.h"
#include "platform/testing/VirtualTime.h"

namespace Quayd {
namespace {

using namespace std::chrono_literals;
using PR = ProbeResult;

TEST( ProbeCmd, KeepsEveryArgumentInOrderAndRefusesBadIndices ) {
   auto cmd = probeCmdFactory();
   for ( int i = 0; i < 20; ++i ) {
      cmd->argPush( std::to_string( i ) );
   }
   ASSERT_EQ( cmd->args().size(), 20u );
   EXPECT_EQ( cmd->args()[ 13 ], "13" );
   cmd->argIs( 19, "last" );
   EXPECT_EQ( cmd->argPop(), "last" );
   EXPECT_THROW( cmd->argIs( 19, "x" ), std::out_of_range );
   cmd->argPopAll();
   EXPECT_THROW( cmd->argPop(), std::out_of_range );
}

class ProbeTest : public ::testing::Test {
 protected:
   ProbeTest() {
      cmd->argPush( "/usr/bin/sh" );
      cmd->argPush( "-c" );
      cmd->argPush( "true" );
   }
   void create( NamespaceName ns = {} ) {
      probe = probeFactory( "startupConditionProbe", cmd, ns, status, time.scheduler(), processes,
                            10s, 5s );
   }

   Testing::TraceCapture traces;
   Testing::FakeProcessRunner processes;
   Testing::VirtualTime time;
   Ptr< ProbeCmd > cmd = probeCmdFactory();
   Ptr< ProbeStatus > status = probeStatusFactory();
   Ptr< Probe > probe;
};

TEST_F( ProbeTest, ASuccessfulFirstRunEndsPolling ) {
   create();
   EXPECT_TRUE( processes.started.empty() ) << "the first run is on the next turn";
   time.turn();
   ASSERT_EQ( processes.started.size(), 1u );
   EXPECT_EQ( processes.started[ 0 ], ( std::vector< String >{ "/usr/bin/sh", "-c", "true" } ) );
   EXPECT_TRUE( probe->watchdogTask()->armed() );
   processes.exitLast( 0 );
   EXPECT_TRUE( status->success() );
   EXPECT_EQ( status->lastProbeResult(), PR::probeResultSuccess );
   EXPECT_EQ( status->probeScheduledCount(), 1u );
   EXPECT_FALSE( probe->watchdogTask()->armed() );
   EXPECT_FALSE( probe->probeProcess() );
   time.advance( 1h );
   EXPECT_EQ( processes.started.size(), 1u );
}

TEST_F( ProbeTest, FailedRunsAreRepeatedAfterThePollInterval ) {
   create();
   time.turn();
   for ( int i = 0; i < 3; ++i ) {
      processes.exitLast( 1 );
      EXPECT_EQ( status->lastProbeResult(), PR::probeResultExitFail );
      EXPECT_EQ( status->exitStatus(), 1 );
      time.advance( 9s );
      EXPECT_EQ( processes.started.size(), size_t( i + 1 ) );
      time.advance( 1s );
      EXPECT_EQ( processes.started.size(), size_t( i + 2 ) );
   }
   processes.exitLast( 0 );
   EXPECT_EQ( status->probeFailedCount(), 3u );
   EXPECT_EQ( status->probeScheduledCount(), 4u );
   EXPECT_EQ( status->exitStatus(), 0 );
   EXPECT_TRUE( status->success() );
}

TEST_F( ProbeTest, TheWatchdogKillsAnOverrunningRun ) {
   create();
   time.turn();
   time.advance( 5s );
   EXPECT_EQ( processes.signalsSent,
              ( std::vector< std::pair< int32_t, int > >{ { processes.lastPid(), SIGKILL } } ) );
   processes.reapSignaled();
   EXPECT_EQ( status->probeTimedoutCount(), 1u );
   EXPECT_EQ( status->probeFailedCount(), 1u );
   EXPECT_EQ( status->exitSignal(), SIGKILL );
   EXPECT_EQ( status->lastProbeResult(), PR::probeResultSignalFail );
   time.advance( 10s );
   EXPECT_EQ( processes.started.size(), 2u );
}

TEST_F( ProbeTest, AMissingNamespaceIsRetriedWithoutRunningAnything ) {
   processes.badNamespaces.insert( "no-such-namespace" );
   create( NamespaceName( "no-such-namespace" ) );
   time.turn();
   time.advance( 10s );
   time.advance( 10s );
   EXPECT_TRUE( processes.started.empty() );
   EXPECT_EQ( status->probeSwitchNsFailedCount(), 3u );
   EXPECT_EQ( status->probeFailedCount(), 0u );
   EXPECT_EQ( status->lastProbeResult(), PR::probeResultSwitchNsFail );
   EXPECT_FALSE( status->success() );
}

// A machine that cannot fork is not a namespace problem: the run failed and
// is polled again like any other failure.
TEST_F( ProbeTest, AChildThatCannotBeSpawnedIsAFailedRunPolledAgain ) {
   processes.failRun = true;
   create();
   time.turn();
   EXPECT_EQ( status->probeSwitchNsFailedCount(), 0u );
   EXPECT_EQ( status->probeFailedCount(), 1u );
   EXPECT_EQ( status->lastProbeResult(), PR::probeResultExitFail );
   EXPECT_FALSE( probe->watchdogTask()->armed() );
   processes.failRun = false;
   time.advance( 10s );
   ASSERT_EQ( processes.runningCount(), 1u );
   processes.exitLast( 0 );
   EXPECT_TRUE( status->success() );
}

TEST_F( ProbeTest, AChildThatEndedBeforeItWasWatchedIsHandledAtOnce ) {
   processes.exitAtOnce = 0;
   create();
   time.turn();
   EXPECT_TRUE( status->success() );
   EXPECT_FALSE( probe->watchdogTask()->armed() );
   EXPECT_TRUE( traces.contains( "Probe startupConditionProbe completed synchronously ", 0 ) );
}

TEST_F( ProbeTest, DroppingTheProbeKillsItsChildAndRecordsNothing ) {
   create();
   time.turn();
   int32_t const pid = processes.lastPid();
   probe->notificationsIs( false );
   probe = nullptr;
   EXPECT_EQ( processes.signalsSent,
              ( std::vector< std::pair< int32_t, int > >{ { pid, SIGKILL } } ) );
   processes.reapSignaled();
   EXPECT_EQ( status->probeFailedCount(), 0u );
   EXPECT_EQ( status->lastProbeResult(), PR::probeResultPending );
   time.advance( 1h );
   EXPECT_EQ( processes.started.size(), 1u );
}

TEST_F( ProbeTest, TheOwnerMayDropTheProbeWhenItSucceeds ) {
   create();
   Reactor owner;
   owner.on( status, ProbeStatus::Attr::success, [ & ] { probe = nullptr; } );
   owner.start();
   time.turn();
   processes.exitLast( 0 );
   EXPECT_FALSE( probe );
   EXPECT_TRUE( status->success() );
}

} // namespace
} // namespace Quayd
