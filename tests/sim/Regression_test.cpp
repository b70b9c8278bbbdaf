// The faults the simulator found, each as the shortest story that shows it,
// and the seeds that found them. Each must end with every invariant holding.
#include "platform/testing/Capture.h"
#include "tests/sim/RegressionTest.h"

namespace Quayd::Sim {
namespace {

TEST_F( Regression, ASyslogDriverWithoutServerStartsTheRuntimeLoggingLocally ) {
   op.containerz( Gnoi::Containerz::CrtConfig{ L3::VrfName( "red" ), 1, "" } );
   op.vrf( "red", std::make_pair( Ip::kVrfStateActive, true ) );
   world.run( 1s );
   EXPECT_TRUE( world.daemon->active() );
   EXPECT_EQ( world.daemon->logAddress(), std::optional< String >( "" ) );
   EXPECT_TRUE( world.restartAgent().empty() );
   expectAtRest();
}

TEST_F( Regression, ASyslogServerWithoutHostIsNeverProbedAndSaysWhy ) {
   for ( char const * url : { "udp://:514", "udp://", "::garbage" } ) {
      op.containerz( Gnoi::Containerz::CrtConfig{ L3::VrfName( "default" ), 1, url } );
      world.run( 2min );
      EXPECT_FALSE( world.daemon->active() ) << url;
      EXPECT_NE( crt()->lastError(), "" ) << url;
      EXPECT_EQ( world.processes.started.size(), 0u ) << url;
      EXPECT_TRUE( world.restartAgent().empty() );
   }
   op.containerz( Gnoi::Containerz::CrtConfig{ L3::VrfName( "default" ), 1, "udp://10.0.0.1" } );
   world.run( 1min );
   EXPECT_TRUE( world.daemon->active() );
   EXPECT_EQ( crt()->lastError(), "" );
   expectAtRest();
}

TEST_F( Regression, ADaemonThatWillNotStopDoesNotHoldUpASwitch ) {
   quyWith( "a" );
   world.daemon->wontStop = true;
   op.containerz( Gnoi::Containerz::CrtConfig{ L3::VrfName( "default" ), 0, "" } );
   world.run( 1min );
   EXPECT_TRUE( crt()->enabled() ) << "the switch completed";
   expectAtRest();
}

// Restarted inside the stop's own notification, the runtime manager used
// to reuse the children the stop then dropped, and stalled.
TEST_F( Regression, AFlashLimitChangeAfterARestartBringsTheContainersUpOnFlash ) {
   op.quy( true, true, 0 );
   op.container( "a", runs( "img1:1" ) );
   world.run( 1min );
   EXPECT_TRUE( world.restartAgent().empty() );
   op.quy( true, true, 512ull << 20 );
   world.run( 2min );
   EXPECT_EQ( world.daemon->dataRoot(), "/mnt/flash/.quy/data-root" );
   EXPECT_EQ( world.daemon->containers().count( "a" ), 1u );
   expectAtRest();
}

TEST_F( Regression, AContainerThatCouldNotBeRemovedStaysRecordedUntilItIs ) {
   quyWith( "a" );
   world.daemon->failNext( "removeContainer", Fault::apiRequest );
   op.containerDel( "a" );
   auto statuses = world.at< ContainerStatusDir >( Cell::path( "quayd/container/status", 0 ) );
   ASSERT_TRUE( statuses->container( "a" ) );
   EXPECT_EQ( statuses->container( "a" )->state(), ContainerRunState::containerRunning_ );
   world.run( 1min );
   EXPECT_FALSE( world.daemon->containers().count( "a" ) );
   EXPECT_FALSE( statuses->container( "a" ) );
   expectAtRest();
}

TEST_F( Regression, AContainerLeftInAnotherDataRootIsRemovedWhenThatRootIsBack ) {
   quyWith( "a" );
   world.daemon->failNext( "removeContainer", Fault::runtime );
   op.quy( true, true, 0 ); // to flash: "a" stays behind in /var/lib/docker
   world.run( 2min );
   op.containerDel( "a" );
   op.quy( true, false, 0 );
   world.run( 2min );
   EXPECT_TRUE( world.daemon->allContainers().empty() );
   expectAtRest();
}

TEST_F( Regression, ADaemonThatDoesNotAnswerDoesNotLoseTheContainer ) {
   quyWith( "a" );
   world.daemon->die();
   op.containerDel( "a" );
   op.container( "a", runs( "img2:1" ) );
   world.run( 1min );
   world.daemon->revive();
   expectAtRest();
   EXPECT_EQ( world.daemon->containers().at( "a" ).image, "img2:1" );
}

TEST_F( Regression, AFailingMountIsTriedAgain ) {
   world.mountToolFails = true;
   op.quy( true, true, 0 );
   world.run( 1min );
   EXPECT_FALSE( world.daemon->active() );
   world.mountToolFails = false;
   expectAtRest();
   EXPECT_TRUE( world.flashMounted );
}

TEST_F( Regression, NobodyWatchesADeletedContainerOrProfile ) {
   op.quy( true, false, 0 );
   for ( int i = 0; i < 3; ++i ) {
      op.profile( "p", runs( "img1:1" ) );
      op.container( "a", runs( "" ) );
      world.run( 1min );
      op.containerDel( "a" );
      op.profileDel( "p" );
   }
   expectAtRest();
}

TEST_F( Regression, TwoRegistriesOnOneServerStayLoggedInWhenOneLeaves ) {
   op.quy( true, false, 0 );
   op.registry( "r1", { "10.0.0.5:5000", "ops", "pw", false } );
   op.registry( "r2", { "10.0.0.5:5000", "ci", "pw", false } );
   world.run( 1min );
   op.registryDel( "r1" );
   expectAtRest();
}

// An edit reaches the container field by field (parameters, bind mounts,
// enabled); it used to react to each, running the new image before the
// disable in the same edit removed it, and restarting once per mount.
TEST_F( Regression, OneEditIsOneEvaluationOfTheContainer ) {
   quyWith( "a" );
   ContainerEdit e = runs( "img2:1" );
   e.enabled = false;
   op.container( "a", e );
   world.run( 1min );
   EXPECT_EQ( world.daemon->runs().at( "a" ), 1u ) << "a disable in the same edit wins";
   EXPECT_FALSE( world.daemon->containers().count( "a" ) );
   e.enabled = true;
   op.container( "a", e );
   world.run( 1min );
   e = runs( "img1:1" );
   e.binds[ "/data" ] = BindMountEntry{ "/mnt/flash/x", "/data", false };
   e.binds[ "/etc/app" ] = BindMountEntry{ "/mnt/flash/y", "/etc/app", true };
   op.container( "a", e );
   world.run( 1min );
   EXPECT_EQ( world.daemon->runs().at( "a" ), 3u ) << "one recreate with both";
   EXPECT_EQ( world.daemon->containers().at( "a" ).binds.size(), 2u );
   expectAtRest();
}

// Its removal behind the agent's back (`docker rm -f`) was only noted in the
// status; the container stayed away until its configuration changed.
TEST_F( Regression, AContainerRemovedBehindTheAgentsBackRunsAgain ) {
   quyWith( "a" );
   world.daemon->removeBehind( "a" );
   world.run( 1s );
   EXPECT_EQ( world.daemon->containers().count( "a" ), 1u );
   expectAtRest();
}

// A foreign container holding the name is refused as the daemon refuses
// it; the container runs once the name is free.
TEST_F( Regression, AForeignContainerHoldingTheNameDelaysTheRunOnly ) {
   op.quy( true, false, 0 );
   world.run( 1min );
   world.daemon->foreignIs( "a" );
   op.container( "a", runs( "img1:1" ) );
   world.run( 1min );
   auto status =
      world.at< ContainerStatusDir >( Cell::path( "quayd/container/status", 0 ) )->container( "a" );
   EXPECT_EQ( status->state(), ContainerRunState::containerStartFailed_ );
   EXPECT_NE( status->lastError().find( "already in use" ), String::npos );
   EXPECT_TRUE( world.daemon->containers().at( "a" ).foreign );
   world.daemon->foreignDelAll();
   expectAtRest();
   EXPECT_FALSE( world.daemon->containers().at( "a" ).foreign );
}

// A container that ends by itself follows its restart policy, as dockerd's
// does; one the policy leaves exited stays so, its status saying why, until
// its configuration changes or the daemon restarts.
TEST_F( Regression, AContainerThatEndsByItselfFollowsItsRestartPolicy ) {
   op.quy( true, false, 0 );
   ContainerEdit e = runs( "img1:1" );
   e.params.restartPolicy = "on-failure:2";
   op.container( "a", e );
   world.run( 1min );
   auto status = [ & ] {
      return world.at< ContainerStatusDir >( Cell::path( "quayd/container/status", 0 ) )
         ->container( "a" );
   };
   for ( uint32_t restarts = 1; restarts <= 2; ++restarts ) {
      ASSERT_TRUE( world.daemon->exitBehind( "a", 1, false ) );
      world.run( 1min );
      EXPECT_TRUE( world.daemon->containers().at( "a" ).running );
      EXPECT_EQ( status()->restartCount(), restarts );
   }
   ASSERT_TRUE( world.daemon->exitBehind( "a", 137, true ) );
   world.run( 10min );
   EXPECT_FALSE( world.daemon->containers().at( "a" ).running ) << "its count is spent";
   EXPECT_EQ( status()->daemonState(), "exited" );
   EXPECT_EQ( status()->exitCode(), 137 );
   EXPECT_EQ( world.daemon->runs().at( "a" ), 1u );
   expectAtRest();
   e.params.restartPolicy = "no";
   op.container( "a", e );
   world.run( 1min );
   EXPECT_EQ( world.daemon->runs().at( "a" ), 2u ) << "a new configuration runs";
   ASSERT_TRUE( world.daemon->exitBehind( "a", 0, false ) );
   world.run( 1min );
   EXPECT_FALSE( world.daemon->containers().at( "a" ).running );
   world.daemon->die();
   world.daemon->revive();
   world.run( 1min );
   EXPECT_TRUE( world.daemon->containers().at( "a" ).running ) << "the daemon restarted";
   expectAtRest();
}

// A hard stop that found the daemon still up left the default data root to
// erase at the next stop; that erase took along a container whose removal
// had failed, and its status went on recording it there.
TEST_F( Regression, AnEraseLeftByAHardStopTakesTheStatusOfWhatItHeld ) {
   quyWith( "a" );
   world.daemon->installed = false;
   EXPECT_TRUE( world.restartAgent().empty() );
   op.quy( true, true, 0 ); // to flash: a hard stop, as no chain runs
   world.run( 1min );
   world.daemon->installed = true;
   op.quy( true, false, 0 );
   world.run( 1min );
   ASSERT_TRUE( world.daemon->containers().at( "a" ).running );
   world.daemon->failNext( "removeContainer", Fault::apiRequest );
   op.quy( false, false, 0 );
   world.run( 1min );
   EXPECT_TRUE( world.daemon->allContainers().empty() );
   expectAtRest();
}

// The stop of the runtime, tried again after the sub-agent stopped, erased
// what a hard stop had left to erase, but kept the records of the
// containers that went with it (seed 4327).
TEST_F( Regression, AnEraseOnALaterStopOfTheRuntimeTakesTheStatusOfWhatItHeld ) {
   quyWith( "a" );
   world.daemon->installed = false;
   EXPECT_TRUE( world.restartAgent().empty() );
   world.daemon->wontStop = true;
   op.quy( true, true, 0 ); // a hard stop under a daemon that stays: the erase waits
   world.run( 1min );
   world.daemon->installed = true;
   world.daemon->wontStop = false;
   op.quy( true, false, 0 );
   world.run( 1min );
   ASSERT_TRUE( world.daemon->containers().at( "a" ).running );
   world.daemon->removalsFail = true;
   world.daemon->wontStop = true;
   op.quy( false, false, 0 );
   world.run( 1min );
   auto statuses = world.at< ContainerStatusDir >( Cell::path( "quayd/container/status", 0 ) );
   ASSERT_TRUE( statuses->container( "a" ) ) << "kept while its container could not go";
   world.daemon->removalsFail = false;
   world.daemon->wontStop = false;
   world.run( 1min );
   EXPECT_TRUE( world.daemon->allContainers().empty() );
   EXPECT_FALSE( statuses->container( "a" ) );
   expectAtRest();
}

// The way down dropped the record of a tarball whose images the daemon
// could not remove: they stayed in the data root for good (seed 5045).
TEST_F( Regression, ImagesThatCouldNotBeUnloadedAreUnloadedAtTheNextStart ) {
   world.daemon->tarballs[ "/mnt/flash/app.tar" ] = { "app:1" };
   op.quy( true, false, 0 );
   op.tarball( "/mnt/flash/app.tar", true );
   world.run( 1min );
   ASSERT_TRUE( world.daemon->images().count( "app:1" ) );
   world.daemon->die();
   op.tarball( "/mnt/flash/app.tar", false );
   world.run( 1min );
   op.quy( false, false, 0 );
   world.run( 1min );
   world.daemon->revive();
   op.quy( true, false, 0 );
   world.run( 1min );
   EXPECT_FALSE( world.daemon->images().count( "app:1" ) );
   expectAtRest();
}

// A hard stop dropped the registries' status without logging out: the
// login stayed in the runtime's store with nobody to remove it.
TEST_F( Regression, AHardStopLogsOutOfTheRegistries ) {
   quyWith( "a" );
   op.registry( "r1", { "10.0.0.5:5000", "ops", "pw", false } );
   world.run( 1min );
   ASSERT_EQ( world.daemon->logins().count( "10.0.0.5:5000" ), 1u );
   world.daemon->installed = false;
   EXPECT_TRUE( world.restartAgent().empty() );
   op.quy( true, true, 0 ); // to flash: a hard stop, as no chain runs
   world.run( 1min );
   world.daemon->installed = true;
   op.registryDel( "r1" );
   expectAtRest();
   EXPECT_FALSE( world.daemon->logins().count( "10.0.0.5:5000" ) );
}

// A start that failed while removals failed too left its container created,
// which the agent did not know it held: a disable left it in the daemon, a
// delete left it unrecorded.
TEST_F( Regression, WhatAFailedStartLeftIsRemoved ) {
   op.quy( true, false, 0 );
   world.run( 1min );
   world.daemon->startRefused = "no space left on device";
   world.daemon->removalsFail = true;
   op.container( "a", runs( "img1:1" ) );
   op.container( "b", runs( "img1:1" ) );
   world.run( 1s );
   ASSERT_TRUE( world.daemon->containers().at( "a" ).created );
   world.daemon->removalsFail = false;
   ContainerEdit off = runs( "img1:1" );
   off.enabled = false;
   op.container( "a", off );
   op.containerDel( "b" );
   world.run( 1min );
   EXPECT_TRUE( world.daemon->containers().empty() );
   expectAtRest();
}

// A tarball's load that failed stayed failed, and an image removed behind
// the agent's back stayed away, until the agent restarted; each retry of a
// failing load would have logged again.
TEST_F( Regression, ATarballIsLoadedAgainWhenItsLoadFailedOrItsImageWent ) {
   auto & logs = world.logs;
   logs.messages.clear();
   world.daemon->tarballs[ "/mnt/flash/app.tar" ] = { "app:1" };
   op.quy( true, false, 0 );
   world.run( 1min );
   world.daemon->diskFull = true;
   op.tarball( "/mnt/flash/app.tar", true );
   world.run( 5min );
   EXPECT_FALSE( world.daemon->images().count( "app:1" ) );
   EXPECT_EQ( logs.count( "QUAYD_IMAGE_LOAD_FAILED" ), 1u ) << "once per cause";
   world.daemon->diskFull = false;
   world.run( 2min );
   EXPECT_TRUE( world.daemon->images().count( "app:1" ) );
   world.daemon->removeImageBehind( "app:1" );
   world.run( 2min );
   EXPECT_TRUE( world.daemon->images().count( "app:1" ) );
   expectAtRest();
}

// An image a container used when its tarball was unconfigured could not be
// removed, and was forgotten.
TEST_F( Regression, AnImageInUseWhenItsTarballGoesIsRemovedOnceFree ) {
   world.daemon->tarballs[ "/mnt/flash/app.tar" ] = { "app:1" };
   op.quy( true, false, 0 );
   op.tarball( "/mnt/flash/app.tar", true );
   world.run( 1min );
   op.container( "a", runs( "app:1" ) );
   world.run( 1min );
   ASSERT_TRUE( world.daemon->containers().at( "a" ).running );
   op.tarball( "/mnt/flash/app.tar", false );
   world.run( 1min );
   EXPECT_TRUE( world.daemon->images().count( "app:1" ) ) << "in use";
   op.container( "a", runs( "img1:1" ) );
   world.run( 2min );
   EXPECT_FALSE( world.daemon->images().count( "app:1" ) );
   expectAtRest();
}

// A start marks every registry logged out, though the runtime's store keeps
// the logins; one deleted after a restart stayed logged in.
TEST_F( Regression, ARegistryDeletedAfterARestartIsLoggedOut ) {
   op.quy( true, false, 0 );
   op.registry( "r1", { "reg.lab:5000", "ops", "pw", false } );
   world.run( 1min );
   ASSERT_EQ( world.daemon->logins().count( "reg.lab:5000" ), 1u );
   EXPECT_TRUE( world.restartAgent().empty() );
   op.quy( false, false, 0 );
   world.run( 1min );
   op.registryDel( "r1" );
   op.quy( true, false, 0 );
   expectAtRest();
   EXPECT_FALSE( world.daemon->logins().count( "reg.lab:5000" ) );
}

// A removal that failed for an edit the operator then took back left
// "cannot remove: ..." in the status of a container that ran on.
TEST_F( Regression, AFailedRemovalNoLongerDueLeavesNoError ) {
   quyWith( "a" );
   world.daemon->failNext( "stopContainer", Fault::runtime );
   world.daemon->failNext( "removeContainer", Fault::runtime );
   op.container( "a", runs( "img2:1" ) );
   world.run( 1s );
   auto status =
      world.at< ContainerStatusDir >( Cell::path( "quayd/container/status", 0 ) )->container( "a" );
   EXPECT_TRUE( status->lastError().starts_with( "cannot remove: " ) ) << status->lastError();
   op.container( "a", runs( "img1:1" ) );
   expectAtRest();
   EXPECT_EQ( world.daemon->runs().at( "a" ), 1u );
}

// The chain takes its containers down one per turn of the loop; with a
// daemon slow to answer, a retry that fell due meanwhile ran a container
// while the chain was stopping for Containerz.
TEST_F( Regression, NothingRunsWhileTheContainersGoDown ) {
   quyWith( "a" );
   op.container( "b", runs( "ghost:1" ) );
   world.run( 29s );
   world.daemon->slow = 4s;
   op.containerz( Gnoi::Containerz::CrtConfig{ L3::VrfName( "default" ), 0, "" } );
   world.daemon->upstream.insert( "ghost:1" );
   world.run( 1min );
   EXPECT_TRUE( world.daemon->unsafeRuns().empty() ) << world.daemon->unsafeRuns().front();
   expectAtRest();
}

// A new agent whose status recorded a container running took someone
// else's container under that name for it; the removal of that one failed
// at the sub-agent's stop, and its status outlived it (seed
// 15348587948766509276).
TEST_F( Regression, SomeoneElsesContainerUnderTheNameIsNotTakenForOurs ) {
   quyWith( "a" );
   world.daemon->removeBehind( "a" );
   world.daemon->foreignIs( "a" );
   EXPECT_TRUE( world.restartAgent().empty() );
   world.run( 1s );
   auto status =
      world.at< ContainerStatusDir >( Cell::path( "quayd/container/status", 0 ) )->container( "a" );
   EXPECT_NE( status->state(), ContainerRunState::containerRunning_ );
   world.daemon->removalsFail = true;
   op.quy( false, false, 0 );
   world.run( 1min );
   EXPECT_TRUE( world.daemon->containers().at( "a" ).foreign );
   world.daemon->foreignDelAll();
   expectAtRest();
}

// A power cut with /mnt/flash not mounted at boot: the daemon cannot start
// on its data root in the loop mount on flash. The new agent waited for
// flash with the status still saying started_ from before.
TEST_F( Regression, ADataRootOnFlashNotThereIsStartedAgainNotRunning ) {
   op.quy( true, true, 0 );
   op.container( "a", runs( "img1:1" ) );
   world.run( 1min );
   ASSERT_TRUE( world.daemon->containers().at( "a" ).running );
   world.daemon->die();
   world.flashMounted = false;
   world.time.files.mountPoints.erase( World::kFlash );
   EXPECT_TRUE( world.restartAgent().empty() );
   world.daemon->revive();
   world.run( 1min );
   EXPECT_TRUE( world.daemon->waitsForRoot() );
   auto const v = checkStep( world );
   EXPECT_TRUE( v.empty() ) << describe( v );
   world.time.files.mountPoints.insert( World::kFlash );
   world.run( 1min );
   EXPECT_TRUE( world.daemon->containers().at( "a" ).running );
   expectAtRest();
}

// A hard stop that could not erase the default data root (the daemon did
// not stop) dropped the records of the images still in it; an agent
// restarted before the erase never unloaded them (seed
// 13148808985701411007).
TEST_F( Regression, ImagesOfADataRootLeftToEraseAreUnloadedAtTheNextStart ) {
   world.daemon->tarballs[ "/mnt/flash/app.tar" ] = { "app:1" };
   op.quy( true, false, 0 );
   op.tarball( "/mnt/flash/app.tar", true );
   world.run( 1min );
   ASSERT_TRUE( world.daemon->images().count( "app:1" ) );
   world.daemon->installed = false;
   EXPECT_TRUE( world.restartAgent().empty() );
   op.quy( true, true, 0 ); // a hard stop, the daemon left up
   world.run( 1min );
   op.tarball( "/mnt/flash/app.tar", false );
   EXPECT_TRUE( world.restartAgent().empty() );
   world.daemon->installed = true;
   op.quy( true, false, 0 );
   expectAtRest();
   EXPECT_FALSE( world.daemon->images().count( "app:1" ) );
}

// A power cut took Redis's tail with a switch to Containerz: the new agent,
// on a status saying quy started, took the Containerz daemon on as its own
// (seed 15788476118755680637).
TEST_F( Regression, AnOlderDatabaseDoesNotTakeContainerzsDaemonForQuys ) {
   quyWith( "a" );
   world.checkpoint();
   op.containerz( Gnoi::Containerz::CrtConfig{ L3::VrfName( "default" ), 1, "" } );
   world.run( 1min );
   ASSERT_TRUE( world.daemon->active() );
   EXPECT_TRUE( world.restartAgent( true ).empty() );
   expectAtRest();
}

// The seeds that found the faults above, and others like them, from before
// faults landed while runtime calls are out.
class FoundBySeed : public ::testing::TestWithParam< std::pair< uint64_t, size_t > > {};

TEST_P( FoundBySeed, HoldsEveryInvariant ) {
   auto const [ seed, steps ] = GetParam();
   auto const r = runScenario( seed, steps, {}, nullptr, false );
   EXPECT_TRUE( r.violations.empty() ) << describe( r.violations );
}

INSTANTIATE_TEST_SUITE_P(
   Seeds, FoundBySeed,
   ::testing::Values(
      std::pair< uint64_t, size_t >{ 1, 200 }, std::pair< uint64_t, size_t >{ 8, 200 },
      std::pair< uint64_t, size_t >{ 10, 200 }, std::pair< uint64_t, size_t >{ 11, 200 },
      std::pair< uint64_t, size_t >{ 17, 200 }, std::pair< uint64_t, size_t >{ 26, 200 },
      std::pair< uint64_t, size_t >{ 28, 200 }, std::pair< uint64_t, size_t >{ 31, 200 },
      std::pair< uint64_t, size_t >{ 32, 200 }, std::pair< uint64_t, size_t >{ 48, 200 },
      std::pair< uint64_t, size_t >{ 60, 200 }, std::pair< uint64_t, size_t >{ 86, 200 },
      std::pair< uint64_t, size_t >{ 99, 200 }, std::pair< uint64_t, size_t >{ 101, 200 },
      std::pair< uint64_t, size_t >{ 259, 200 }, std::pair< uint64_t, size_t >{ 421, 200 },
      std::pair< uint64_t, size_t >{ 743, 200 }, std::pair< uint64_t, size_t >{ 931, 200 },
      std::pair< uint64_t, size_t >{ 1213, 200 }, std::pair< uint64_t, size_t >{ 9, 200 },
      std::pair< uint64_t, size_t >{ 271, 200 }, std::pair< uint64_t, size_t >{ 1794, 200 },
      std::pair< uint64_t, size_t >{ 1801, 200 }, std::pair< uint64_t, size_t >{ 1222, 200 },
      std::pair< uint64_t, size_t >{ 6308865194972716917ull, 200 },
      std::pair< uint64_t, size_t >{ 1357486666145263091ull, 200 },
      std::pair< uint64_t, size_t >{ 10236834506980984437ull, 200 },
      std::pair< uint64_t, size_t >{ 1380, 200 }, std::pair< uint64_t, size_t >{ 4084, 200 },
      std::pair< uint64_t, size_t >{ 8352, 200 }, std::pair< uint64_t, size_t >{ 389, 1000 },
      std::pair< uint64_t, size_t >{ 100201, 1000 }, std::pair< uint64_t, size_t >{ 4327, 200 },
      std::pair< uint64_t, size_t >{ 5045, 200 }, std::pair< uint64_t, size_t >{ 100122, 1000 },
      std::pair< uint64_t, size_t >{ 15348587948766509276ull, 200 },
      std::pair< uint64_t, size_t >{ 3373112258302169007ull, 200 },
      std::pair< uint64_t, size_t >{ 13148808985701411007ull, 200 },
      std::pair< uint64_t, size_t >{ 16158286534485588342ull, 200 },
      std::pair< uint64_t, size_t >{ 11682234664522575851ull, 1000 },
      std::pair< uint64_t, size_t >{ 15788476118755680637ull, 200 } ) );

} // namespace
} // namespace Quayd::Sim
