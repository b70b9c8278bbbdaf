// The agent started before what it needs: flash not mounted yet, a VRF's
// network namespace not there yet. It says what it waits for once, asks
// again every 10 s on the virtual clock, and proceeds when it is there.
#include "agent/ContainerzSm.h"
#include "agent/QuaydAgent.h"
#include "agent/SubAgentSmTest.h"

namespace Quayd {
namespace {

using namespace std::chrono_literals;
using Testing::FakeRuntime;

// The quy sub-agent on flash, through the resolver and the switcher as the
// agent runs them, with the real mount-tool call on fake child processes.
class FlashBootTest : public SwitchingTest {
 protected:
   FlashBootTest() {
      time.files.mountPoints.erase( "/mnt/flash" );
      config->enabledIs( true );
      config->onFlashIs( true );
      config->flashLimitIs( 1 << 30 );
   }
   void start() {
      quyIs( flash );
      SwitchingTest::start();
   }
   size_t mountToolRuns() const { return processes.started.size(); }

   FlashSettings flash;
};

TEST_F( FlashBootTest, WaitsForFlashToBeMountedAndStartsWithinTenSeconds ) {
   processes.endsOnWait.push_back( { 0 } );
   start();
   EXPECT_EQ( logs.count( "QUAYD_FLASH_WAIT" ), 1u );
   EXPECT_TRUE( traces.contains( "Waiting for /mnt/flash to be mounted", 0 ) );
   EXPECT_EQ( logs.count( "QUAYD_CONTAINER_SERVICE_START_FAILED" ), 0u ) << "not a space problem";
   EXPECT_EQ( mountToolRuns(), 0u );

   time.advance( 10s );
   EXPECT_EQ( mountToolRuns(), 0u ) << "asked again, still not mounted";
   EXPECT_EQ( logs.count( "QUAYD_FLASH_WAIT" ), 1u ) << "said once per wait";
   time.files.mountPoints.insert( "/mnt/flash" );
   time.advance( 9s );
   EXPECT_EQ( mountToolRuns(), 0u );
   time.advance( 1s );

   ASSERT_EQ( mountToolRuns(), 1u );
   EXPECT_EQ( processes.started[ 0 ],
              ( std::vector< String >{ "quylbmount", "/mnt/flash/.quy", "1024" } ) );
   EXPECT_EQ( status->state(), SmState::started_ );
   EXPECT_TRUE( status->runningOnFlash() );
   EXPECT_EQ( runtime->count( "enableRuntime" ), 1u );
}

// After a power cut the status says the runtime ran on flash. Until flash
// is there nothing of it may be taken down: the data root on flash is what
// the restart takes over. The runtime cannot run without it meanwhile: it
// is said to be starting, not started.
TEST_F( FlashBootTest, WhatAnEarlierRunLeftOnFlashIsNotTouchedWhileWaiting ) {
   status->stateIs( SmState::started_ );
   globalStatus->stateIs( SmState::started_ );
   status->runningOnFlashIs( true );
   status->flashLimitIs( 1 << 30 );
   containerStatus->containerIs( "web" );
   time.files.addFile( "/mnt/flash/.quy/data-root.img", String( 8, 'x' ) );
   start();
   time.advance( 30s );

   EXPECT_EQ( mountToolRuns(), 0u ) << "no --delete";
   EXPECT_EQ( runtime->count( "disableRuntime" ), 0u );
   EXPECT_EQ( status->state(), SmState::starting_ );
   EXPECT_EQ( globalStatus->state(), SmState::starting_ );
   EXPECT_TRUE( status->runningOnFlash() );
   EXPECT_TRUE( containerStatus->container( "web" ) );
   EXPECT_TRUE( time.files.exists( "/mnt/flash/.quy/data-root.img" ) );

   processes.endsOnWait.push_back( { 0 } );
   time.files.mountPoints.insert( "/mnt/flash" );
   time.advance( 10s );
   ASSERT_EQ( mountToolRuns(), 1u );
   EXPECT_NE( processes.started[ 0 ].back(), "--delete" ) << "mounted again, as it was";
   EXPECT_EQ( status->state(), SmState::started_ );
   EXPECT_TRUE( status->runningOnFlash() );
}

TEST_F( FlashBootTest, WithNoFlashMountExpectedAPlainDirectoryIsFlash ) {
   flash.noFlashMount = true;
   processes.endsOnWait.push_back( { 0 } );
   start();
   EXPECT_EQ( logs.count( "QUAYD_FLASH_WAIT" ), 0u );
   EXPECT_EQ( mountToolRuns(), 1u );
   EXPECT_EQ( status->state(), SmState::started_ );
}

// The Containerz runtime inside a VRF whose namespace appears after the VRF
// is reported active.
class NamespaceBootTest : public ::testing::Test {
 protected:
   Testing::TraceCapture traces;
   Testing::LogCapture logs;
   Testing::FakeProcessRunner processes;
   Testing::VirtualTime time;
   Ptr< FakeRuntime > runtime = makePtr< FakeRuntime >( time.scheduler() );
   Ptr< Gnoi::Containerz::Config > config = makePtr< Gnoi::Containerz::Config >();
   Ptr< Ip::AllVrfStatusLocal > vrfs = makePtr< Ip::AllVrfStatusLocal >();
   Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crt =
      makePtr< Gnoi::Containerz::ContainerRuntimeStatus >();
};

TEST_F( NamespaceBootTest, WaitsForTheVrfNamespaceAndStartsWithinTenSeconds ) {
   auto red = vrfs->vrfIs( "red" );
   red->vrfStateIs( Ip::kVrfStateActive );
   red->vrfReadyIs( true );
   config->crtConfigIs( { L3::VrfName( "red" ), 0, "" } );
   auto sm = containerzSmFactory( config, vrfs, crt, runtime, time.scheduler(), time.files,
                                  processes, Sinks{ &traces, &logs }, nullptr );

   EXPECT_EQ( logs.count( "QUAYD_VRF_NAMESPACE_WAIT" ), 1u );
   EXPECT_TRUE( traces.contains( "Waiting for the network namespace /run/netns/ns-red", 0 ) );
   EXPECT_EQ( crt->lastError(), "waiting for the network namespace /run/netns/ns-red" );
   EXPECT_EQ( runtime->count( "enableRuntime" ), 0u );
   time.advance( 10s );
   EXPECT_EQ( runtime->count( "enableRuntime" ), 0u );
   EXPECT_EQ( logs.count( "QUAYD_VRF_NAMESPACE_WAIT" ), 1u ) << "said once per wait";

   time.files.addFile( "/run/netns/ns-red" );
   time.advance( 9s );
   EXPECT_EQ( runtime->count( "enableRuntime" ), 0u );
   time.advance( 1s );
   EXPECT_EQ( runtime->count( "enableRuntime" ), 1u );
   EXPECT_EQ( crt->lastError(), "" );
   EXPECT_TRUE( runtime->active );
}

} // namespace
} // namespace Quayd
