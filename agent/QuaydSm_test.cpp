// The runtime manager on the fake runtime, fake child processes, the
// in-memory file system and the virtual clock.
#include "agent/QuaydSmTest.h"

namespace Quayd {
namespace {

using namespace std::chrono_literals;
using Testing::FakeRuntime;

TEST_F( QuaydSmTest, EnableConfiguresAndStartsTheRuntime ) {
   recordStates();
   registryConfig->registryIs( "lab" )->paramsIs( { "10.0.0.5:5000", "", "", true } );
   sm()->enable();
   EXPECT_EQ( runtime->calls(),
              ( std::vector< String >{ "runtimeActive()", "applyConfig(,,-,true,[10.0.0.5:5000])",
                                       "enableRuntime()" } ) );
   EXPECT_EQ( states, ( std::vector< String >{ "cell:starting_", "global:starting_",
                                               "cell:started_", "global:started_" } ) );
   EXPECT_TRUE( sm()->consolidatedContainerConfig() );
   EXPECT_FALSE( sm()->runtimeCheckTask()->armed() );
}

// A runtime that already runs (left by the other sub-agent) takes this
// machine's configuration only when started anew.
TEST_F( QuaydSmTest, ARuntimeThatRunsAlreadyIsRestartedWithThisConfiguration ) {
   runtime->active = true;
   sm()->enable();
   EXPECT_EQ( runtime->calls(),
              ( std::vector< String >{ "runtimeActive()", "disableRuntime()",
                                       "applyConfig(,,-,true,[])", "enableRuntime()" } ) );
   EXPECT_EQ( status->state(), SmState::started_ );
}

TEST_F( QuaydSmTest, AFailedServiceJobIsCheckedEveryTwoSecondsUntilTheRuntimeAnswers ) {
   runtime->failNext( "enableRuntime", Unitctl::SdbusJobException( "job failed" ) );
   sm()->enable();
   EXPECT_EQ( status->state(), SmState::starting_ );
   EXPECT_TRUE( traces.contains( "Failed to enable runtime: job failed", 2 ) );
   runtime->clearCalls();
   for ( int i = 0; i < 3; ++i ) {
      time.advance( 2s );
      EXPECT_EQ( status->state(), SmState::starting_ );
   }
   EXPECT_EQ( runtime->calls(), ( std::vector< String >( 3, "runtimeActive()" ) ) )
      << "the configuration was applied: only the answer is waited for";
   runtime->active = true;
   time.advance( 1999ms );
   EXPECT_EQ( status->state(), SmState::starting_ );
   time.advance( 1ms );
   EXPECT_EQ( status->state(), SmState::started_ );
   EXPECT_EQ( globalStatus->state(), SmState::started_ );
   time.advance( 60s );
   EXPECT_EQ( runtime->count( "runtimeActive" ), 4u ) << "the check stops once started";
}

TEST_F( QuaydSmTest, AFailedStartIsTriedAgainThirtySecondsAfterTheLastAttempt ) {
   runtime->failAlways( "enableRuntime", Unitctl::SdbusJobException( "job failed" ) );
   sm()->enable();
   runtime->clearCalls();
   time.advance( 28s );
   EXPECT_EQ( runtime->callNames(), ( std::vector< String >( 14, "runtimeActive" ) ) )
      << "polled every 2 s in between";
   runtime->clearCalls();
   time.advance( 2s );
   EXPECT_EQ( runtime->callNames(), ( std::vector< String >{ "runtimeActive", "runtimeActive",
                                                             "applyConfig", "enableRuntime" } ) );
   EXPECT_EQ( status->state(), SmState::starting_ );
   runtime->succeed( "enableRuntime" );
   time.advance( 30s );
   EXPECT_EQ( status->state(), SmState::started_ );
   EXPECT_EQ( runtime->count( "enableRuntime" ), 2u );
}

// A failure other than the service job's leaves the configuration unapplied:
// a runtime that answers meanwhile (started by someone else) does not count,
// and the start is tried again after 30 s.
TEST_F( QuaydSmTest, OtherRuntimeFailuresAlsoLeaveTheCheckRunning ) {
   runtime->failNext( "applyConfig", RuntimeException( "disk full" ) );
   sm()->enable();
   EXPECT_EQ( status->state(), SmState::starting_ );
   EXPECT_TRUE( traces.contains( "disk full", 0 ) );
   EXPECT_TRUE( sm()->runtimeCheckTask()->armed() );
   runtime->active = true;
   runtime->clearCalls();
   time.advance( 28s );
   EXPECT_EQ( status->state(), SmState::starting_ );
   EXPECT_TRUE( runtime->calls().empty() ) << "an unconfigured runtime is not even asked";
   time.advance( 2s );
   auto const names = runtime->callNames();
   ASSERT_GE( names.size(), 4u );
   EXPECT_EQ( std::vector< String >( names.begin(), names.begin() + 4 ),
              ( std::vector< String >{ "runtimeActive", "disableRuntime", "applyConfig",
                                       "enableRuntime" } ) )
      << "then the chain comes up";
   EXPECT_EQ( status->state(), SmState::started_ );
}

TEST_F( QuaydSmTest, ACheckThatFailsCountsAsARuntimeNotAnswering ) {
   runtime->failNext( "enableRuntime", Unitctl::SdbusJobException( "job failed" ) );
   sm()->enable();
   runtime->active = true;
   runtime->failNext( "runtimeActive", RuntimeException( "no socket" ) );
   time.advance( 2s );
   EXPECT_EQ( status->state(), SmState::starting_ );
   EXPECT_TRUE( traces.contains( "Checking the runtime failed: RuntimeException: no socket", 0 ) );
   time.advance( 2s );
   EXPECT_EQ( status->state(), SmState::started_ );
}

struct Recovery {
   char const * name;
   SmState left;
   bool active;
   char const * runsOn; // the data root the running daemon was given
   bool recovered;
};

class CrashRecovery : public QuaydSmTest, public ::testing::WithParamInterface< Recovery > {};

// A daemon on another data root is the other sub-agent's, started after the
// status this agent finds was written.
TEST_P( CrashRecovery, OnlyAStartedStatusWithTheRuntimeOnItsOwnConfigurationIsRecovered ) {
   status->stateIs( GetParam().left );
   runtime->active = GetParam().active;
   runtime->appliedDataRoot = GetParam().runsOn;
   sm()->enable();
   EXPECT_EQ( sm()->crashRecovery(), GetParam().recovered );
   EXPECT_EQ( status->state(), SmState::started_ );
   // A recovered runtime is not started again; it only takes the registry
   // list anew.
   EXPECT_EQ( runtime->count( "enableRuntime" ), GetParam().recovered ? 0u : 1u );
   EXPECT_EQ( runtime->count( "reloadConfig" ), GetParam().recovered ? 1u : 0u );
   EXPECT_EQ( runtime->count( "applyConfig" ), 1u );
   EXPECT_EQ( runtime->appliedDataRoot, "" );
   EXPECT_EQ( traces.contains( "Quayd is recovered after crash", 0 ), GetParam().recovered );
}

INSTANTIATE_TEST_SUITE_P(
   Table, CrashRecovery,
   ::testing::Values( Recovery{ "startedActive", SmState::started_, true, "", true },
                      Recovery{ "startedInactive", SmState::started_, false, "", false },
                      Recovery{ "startedOnAnotherDataRoot", SmState::started_, true,
                                "/mnt/flash/.containerz/data-root", false },
                      Recovery{ "startingActive", SmState::starting_, true, "", false },
                      Recovery{ "inheritedActive", SmState::inherited_, true, "", false } ),
   []( auto const & info ) { return String( info.param.name ); } );

TEST_F( QuaydSmTest, DisableWithTheChainStopsContainersFirstAndKeepsTheData ) {
   auto web = containerConfig->containerIs( "web" );
   ContainerParams p;
   p.image = "busybox:1";
   web->paramsIs( p );
   web->enabledIs( true );
   started();
   time.runReady(); // persistent path, images, registries, containers
   ASSERT_EQ( containerStatus->state(), SmState::started_ );
   ASSERT_EQ( runtime->callNames(),
              ( std::vector< String >{ "listOwnContainers", "runContainer" } ) );
   time.files.makeDirs( "/var/lib/docker/volumes" );
   runtime->clearCalls();
   recordStates();
   sm()->disable();
   EXPECT_EQ( runtime->callNames(),
              ( std::vector< String >{ "stopContainer", "removeContainer", "listStaleImages",
                                       "disableRuntime", "resetConfig" } ) );
   EXPECT_EQ( states, ( std::vector< String >{ "global:stopping_", "cell:stopping_",
                                               "global:stopped_", "cell:stopped_" } ) );
   EXPECT_FALSE( sm()->persistentPathSm() );
   EXPECT_FALSE( sm()->containerDirSm() );
   EXPECT_TRUE( containerStatus->container().empty() );
   EXPECT_TRUE( time.files.exists( "/var/lib/docker/volumes" ) );
   EXPECT_EQ( registryStatus->state(), SmState::stopped_ );
}

// A tarball's load is one long call: the chain does not wait for it, and a
// container start goes out while it is out.
TEST_F( QuaydSmTest, AContainerStartGoesOutWhileAnImageLoadIsOut ) {
   imageLoadConfig->tarballIs( "/t/app.tar" );
   auto web = containerConfig->containerIs( "web" );
   ContainerParams p;
   p.image = "busybox:1";
   web->paramsIs( p );
   web->enabledIs( true );
   runtime->hold = true;
   started();
   time.runReady();
   EXPECT_EQ( runtime->held(),
              ( std::vector< String >{ "loadImage(/t/app.tar)", "runContainer(web)" } ) );
   runtime->completeAll();
   time.runReady();
   EXPECT_EQ( containerStatus->container( "web" )->state(), ContainerRunState::containerRunning_ );
}

// A status left started_ by an agent that was killed, with the runtime
// configuration gone: the new runtime manager has no children to stop.
TEST_F( QuaydSmTest, DisableWithoutChildrenIsAHardStopThatErasesTheDefaultDataRoot ) {
   status->stateIs( SmState::started_ );
   globalStatus->stateIs( SmState::started_ );
   time.files.makeDirs( "/var/lib/docker/overlay2/abc" );
   time.files.addFile( "/var/lib/docker/engine-id" );
   containerStatus->containerIs( "web" );
   sm()->runtimeCheckTask()->scheduleTaskDelay( 2s );
   recordStates();
   sm()->disable();
   EXPECT_EQ( runtime->calls(), ( std::vector< String >{ "runtimeInstalled()", "disableRuntime()",
                                                         "resetConfig()", "runtimeGone()" } ) );
   EXPECT_EQ( states, ( std::vector< String >{ "global:stopping_", "cell:stopping_",
                                               "global:stopped_", "cell:stopped_" } ) );
   EXPECT_TRUE( time.files.exists( "/var/lib/docker" ) );
   EXPECT_TRUE( time.files.list( "/var/lib/docker" ).empty() );
   EXPECT_TRUE( containerStatus->container().empty() );
   EXPECT_FALSE( sm()->runtimeCheckTask()->armed() );
}

// A daemon that does not stop keeps its data root until a later stop finds
// it gone; mounts below it are unmounted, never emptied.
TEST_F( QuaydSmTest, TheHardStopErasesOnlyOnceTheDaemonIsGone ) {
   status->stateIs( SmState::started_ );
   time.files.makeDirs( "/var/lib/docker/volumes/data/_data" );
   time.files.mountPoints.insert( "/var/lib/docker/volumes/data/_data" );
   runtime->active = true;
   runtime->stuck = true;
   runtime->failNext( "disableRuntime", Unitctl::SdbusJobException( "did not stop" ) );

   sm()->disable();

   EXPECT_TRUE( traces.contains( "The runtime did not stop; /var/lib/docker is erased at the "
                                 "next stop",
                                 0 ) );
   EXPECT_TRUE( time.files.exists( "/var/lib/docker/volumes/data/_data" ) );
   EXPECT_TRUE( time.files.unmounted.empty() );
   EXPECT_EQ( status->state(), SmState::stopped_ );

   runtime->stuck = false;
   runtime->active = false;
   started();
   persistentPathStatus->stateIs( SmState::stopped_ );
   EXPECT_EQ( time.files.unmounted,
              ( std::vector< String >{ "/var/lib/docker/volumes/data/_data" } ) );
   EXPECT_TRUE( time.files.list( "/var/lib/docker" ).empty() );
}

TEST_F( QuaydSmTest, HardStopWithoutAnInstalledRuntimeStillClearsTheStatus ) {
   status->stateIs( SmState::started_ );
   runtime->installed = false;
   containerStatus->containerIs( "web" );
   sm()->disable();
   EXPECT_EQ( runtime->callNames(),
              ( std::vector< String >{ "runtimeInstalled", "runtimeGone" } ) );
   EXPECT_EQ( status->state(), SmState::stopped_ );
   EXPECT_TRUE( containerStatus->container().empty() );
}

// Whoever sees stopped_ may start this machine again: its children are gone
// by then.
TEST_F( QuaydSmTest, ThePersistentPathReachingStoppedTakesTheRuntimeDown ) {
   started();
   persistentPathStatus->stateIs( SmState::started_ );
   EXPECT_TRUE( runtime->calls().empty() ) << "a state other than stopped_ does nothing";
   recordStates();
   std::vector< bool > chainAtStopped;
   subs.push_back( status->subscribe( [ this, &chainAtStopped ]( AttrId a, String const * ) {
      if ( a == AttrId( QuaydStatus::Attr::state ) && status->state() == SmState::stopped_ ) {
         chainAtStopped.push_back( sm()->chainPresent() || sm()->containerDirSm() ||
                                   sm()->consolidatedContainerConfig() );
      }
   } ) );
   persistentPathStatus->stateIs( SmState::stopped_ );
   EXPECT_EQ( runtime->calls(), ( std::vector< String >{ "disableRuntime()", "resetConfig()" } ) );
   EXPECT_EQ( states, ( std::vector< String >{ "global:stopping_", "cell:stopping_",
                                               "global:stopped_", "cell:stopped_" } ) );
   EXPECT_EQ( chainAtStopped, std::vector< bool >{ false } );
   EXPECT_FALSE( sm()->containerProfileDirSm() );
}

TEST_F( QuaydSmTest, DisableInStoppedDoesNothing ) {
   sm()->disable();
   EXPECT_TRUE( runtime->calls().empty() );
}

TEST_F( QuaydSmTest, AStoppedPersistentPathWithoutChildrenDoesNothing ) {
   status->stateIs( SmState::started_ );
   sm();
   recordStates();
   persistentPathStatus->stateIs( SmState::started_ );
   persistentPathStatus->stateIs( SmState::stopped_ );
   EXPECT_TRUE( runtime->calls().empty() );
   EXPECT_TRUE( states.empty() );
}

struct StopFailure {
   char const * name;
   std::function< void( FakeRuntime & ) > fail;
   char const * trace;
};

class StopFailures : public QuaydSmTest, public ::testing::WithParamInterface< StopFailure > {};

// A daemon that will not stop must not keep the sub-agent from stopping.
TEST_P( StopFailures, TheStopStillEndsInStopped ) {
   started();
   GetParam().fail( *runtime );
   persistentPathStatus->stateIs( SmState::stopped_ );
   EXPECT_TRUE( traces.contains( GetParam().trace, 0 ) ) << GetParam().trace;
   EXPECT_EQ( status->state(), SmState::stopped_ );
   EXPECT_EQ( globalStatus->state(), SmState::stopped_ );
   EXPECT_FALSE( sm()->chainPresent() );
}

INSTANTIATE_TEST_SUITE_P(
   Table, StopFailures,
   ::testing::Values( StopFailure{ "serviceJob",
                                   []( FakeRuntime & rt ) {
                                      rt.failNext( "disableRuntime",
                                                   Unitctl::SdbusJobException( "job failed" ) );
                                   },
                                   "Failed to disable runtime: SdbusJobException: job failed" },
                      StopFailure{ "runtime",
                                   []( FakeRuntime & rt ) {
                                      rt.failNext( "disableRuntime",
                                                   RuntimeException( "no socket" ) );
                                   },
                                   "Failed to disable runtime: RuntimeException: no socket" },
                      StopFailure{ "reset",
                                   []( FakeRuntime & rt ) {
                                      rt.failNext( "resetConfig", RuntimeException( "read-only" ) );
                                   },
                                   "Failed to disable runtime: RuntimeException: read-only" } ),
   []( auto const & info ) { return String( info.param.name ); } );

TEST_F( QuaydSmTest, AHardStopAlsoResetsTheChainsStatuses ) {
   status->stateIs( SmState::started_ );
   containerStatus->stateIs( SmState::started_ );
   containerStatus->containerIs( "web" );
   registryStatus->stateIs( SmState::started_ );
   registryStatus->registryIs( "lab" );
   auto imageLoadStatus = makePtr< ImageLoadStatusDir >();
   imageLoadStatus->stateIs( SmState::started_ );
   imageLoadStatus->statusIs( "/mnt/flash/app.tar" );
   persistentPathStatus->stateIs( SmState::started_ );
   persistentPathStatus->imageIs( "app:1" );
   sm_ = quaydSmFactory( parts( imageLoadStatus ) );
   sm()->disable();
   EXPECT_EQ( containerStatus->state(), SmState::stopped_ );
   EXPECT_TRUE( containerStatus->container().empty() );
   EXPECT_EQ( registryStatus->state(), SmState::stopped_ );
   EXPECT_TRUE( registryStatus->registry().empty() );
   EXPECT_EQ( imageLoadStatus->state(), SmState::stopped_ );
   EXPECT_TRUE( imageLoadStatus->status().empty() );
   EXPECT_EQ( persistentPathStatus->state(), SmState::stopped_ );
   EXPECT_TRUE( persistentPathStatus->image().empty() );
}

// A start asked for by a notification of the stop's own states waits for
// the stop to end; asked for again, it starts over a clean chain.
TEST_F( QuaydSmTest, EnableDuringAStopIsPutOffUntilTheStopEnds ) {
   started();
   std::vector< bool > deferred;
   subs.push_back( globalStatus->subscribe( [ this, &deferred ]( AttrId a, String const * ) {
      if ( a == AttrId( QuaydStatus::Attr::state ) && deferred.empty() ) {
         sm()->enable();
         deferred.push_back( sm()->startDeferred() );
      }
   } ) );
   persistentPathStatus->stateIs( SmState::stopped_ );
   EXPECT_EQ( deferred, std::vector< bool >{ true } );
   EXPECT_EQ( runtime->calls(), ( std::vector< String >{ "disableRuntime()", "resetConfig()" } ) )
      << "no start in the middle of the stop";
   EXPECT_EQ( status->state(), SmState::stopped_ );
   runtime->clearCalls();
   sm()->enable();
   EXPECT_FALSE( sm()->startDeferred() );
   EXPECT_EQ( status->state(), SmState::started_ );
   EXPECT_TRUE( sm()->chainPresent() );
   EXPECT_EQ( runtime->count( "enableRuntime" ), 1u );
}

TEST_F( QuaydSmTest, AFailedRegistryReconfigurationIsRetriedAfterThirtySeconds ) {
   started();
   runtime->failNext( "reloadConfig", RuntimeException( "daemon busy" ) );
   registryStatus->insecureRegistries()->regIs( "r:5000" );
   registryStatus->insecureRegistriesDoneInc( 1 );
   EXPECT_TRUE(
      traces.contains( "Failed to reconfigure runtime: RuntimeException: daemon busy", 0 ) );
   runtime->clearCalls();
   time.advance( 29s );
   EXPECT_EQ( runtime->count( "reloadConfig" ), 0u );
   time.advance( 1s );
   EXPECT_EQ( runtime->argsOf( "applyConfig" ), std::vector< String >{ ",,-,true,[r:5000]" } );
   EXPECT_EQ( runtime->count( "reloadConfig" ), 1u );
}

struct RegistryChange {
   char const * name;
   SmState state;
   bool crashRecovery;
   bool checkPending;
   std::vector< String > calls;
};

class RegistryChanges : public QuaydSmTest,
                        public ::testing::WithParamInterface< RegistryChange > {};

TEST_P( RegistryChanges, ReconfigureOnlyARuntimeThatIsOrIsComingUp ) {
   auto const & p = GetParam();
   if ( p.crashRecovery ) {
      status->stateIs( SmState::started_ );
      runtime->active = true;
   } else if ( p.checkPending ) {
      runtime->failNext( "enableRuntime", Unitctl::SdbusJobException( "job failed" ) );
   }
   if ( p.state != SmState::stopped_ ) {
      sm()->enable();
   }
   sm();
   status->stateIs( p.state );
   runtime->clearCalls();
   registryStatus->insecureRegistries()->regIs( "r:5000" );
   registryStatus->insecureRegistriesDoneInc( 1 );
   EXPECT_EQ( runtime->callNames(), p.calls );
}

INSTANTIATE_TEST_SUITE_P(
   Table, RegistryChanges,
   ::testing::Values(
      RegistryChange{
         "started", SmState::started_, false, false, { "applyConfig", "reloadConfig" } },
      RegistryChange{
         "startingAfterCrash", SmState::starting_, true, false, { "applyConfig", "reloadConfig" } },
      RegistryChange{ "startingWithCheckPending",
                      SmState::starting_,
                      false,
                      true,
                      { "runtimeActive", "applyConfig", "enableRuntime" } },
      RegistryChange{ "stopping", SmState::stopping_, false, false, {} },
      RegistryChange{ "stopped", SmState::stopped_, false, false, {} } ),
   []( auto const & info ) { return String( info.param.name ); } );

// ------------------------------------------------------------ profile merger

TEST_F( QuaydSmTest, TheConsolidatedConfigurationIsTheContainersWithTheirProfiles ) {
   auto base = profiles->profileIs( "base" );
   base->paramsIs( ContainerParams{ .image = "busybox:1", .memory = "64m", .tty = 1 } );
   base->bindMountIs( BindMountEntry{ "/srv", "/data", true } );
   auto web = containerConfig->containerIs( "web" );
   web->paramsIs( ContainerParams{ .image = "nginx:1", .command = "serve" } );
   web->profileIs( "base" );
   web->enabledIs( true );
   containerConfig->containerIs( "plain" )->paramsIs( ContainerParams{ .image = "alpine" } );
   started();
   auto consolidated = sm()->consolidatedContainerConfig();
   ASSERT_TRUE( consolidated->container( "web" ) );
   auto merged = consolidated->container( "web" )->params();
   EXPECT_EQ( merged.image, "nginx:1" ) << "the container's own value wins";
   EXPECT_EQ( merged.memory, "64m" ) << "a default takes the profile's";
   EXPECT_EQ( merged.command, "serve" );
   EXPECT_EQ( merged.tty, 1 );
   EXPECT_TRUE( consolidated->container( "web" )->enabled() );
   EXPECT_TRUE( consolidated->container( "web" )->bindMount( "/data" ) );
   EXPECT_EQ( consolidated->container( "plain" )->params().image, "alpine" );

   // Later changes of a container, its profile, or the set follow.
   base->paramsIs( ContainerParams{ .memory = "128m" } );
   EXPECT_EQ( consolidated->container( "web" )->params().memory, "128m" );
   web->bindMountIs( BindMountEntry{ "/own", "/data", false } );
   EXPECT_EQ( consolidated->container( "web" )->bindMount( "/data" )->hostPath, "/own" );
   base->memoryCeilingIs( 100 );
   EXPECT_EQ( consolidated->container( "web" )->memoryCeiling(), 100u ) << "the profile's ceiling";
   web->memoryCeilingIs( 50 );
   EXPECT_EQ( consolidated->container( "web" )->memoryCeiling(), 50u ) << "its own ceiling wins";
   containerConfig->containerDel( "plain" );
   EXPECT_FALSE( consolidated->container( "plain" ) );
   profiles->profileDel( "base" );
   EXPECT_EQ( consolidated->container( "web" )->params().memory, "" );
}

} // namespace
} // namespace Quayd
