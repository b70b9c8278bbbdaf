// One container's state machine on the fake runtime, fake child processes
// (for startup conditions) and the virtual clock.
#include "agent/ContainerSmTest.h"

#include <ctime>
#include <iomanip>
#include <sstream>

namespace Quayd {
namespace {

using namespace std::chrono_literals;
using CRS = ContainerRunState;
using Strings = std::vector< String >;

// ------------------------------------------------------------------ running

TEST_F( ContainerSmTest, RunRequestCarriesEveryParameterInItsPlace ) {
   paramsIs( []( ContainerParams & p ) {
      p.cpuShares = 512;
      p.cpuCores = "0-1";
      p.memory = "64m";
      p.networking = "host";
      p.options = "--env A=1 --hostname box";
      p.command = "sleep 1000";
      p.restartPolicy = "always";
      p.privileged = 1;
      p.tty = 1;
      p.readOnlyRootfs = 1;
      p.init = 1;
   } );
   config->bindMountIs( "/data", BindMountEntry{ "/mnt/flash/web", "/data", false } );
   config->bindMountIs( "/etc/x", BindMountEntry{ "/etc/x", "/etc/x", true } );
   start();

   EXPECT_EQ( runtime->calls(), Strings{ "runContainer(web)" } );
   EXPECT_EQ( state(), CRS::containerRunning_ );
   auto const & r = *runtime->lastRun;
   EXPECT_EQ( r.name, "web" );
   EXPECT_EQ( r.image, "busybox:1" );
   // The structured parameters as the option table names them, in its order.
   using Settings = std::vector< std::pair< String, String > >;
   EXPECT_EQ( r.settings(), ( Settings{ { "cpu-shares", "512" },
                                        { "cpuset-cpus", "0-1" },
                                        { "memory", "64m" },
                                        { "network", "host" },
                                        { "restart", "always" },
                                        { "privileged", "true" },
                                        { "tty", "true" },
                                        { "read-only", "true" },
                                        { "init", "true" } } ) );
   EXPECT_EQ( r.command(), ( Strings{ "sleep", "1000" } ) );
   EXPECT_EQ( r.options(), ( Strings{ "--env", "A=1", "--hostname", "box" } ) );
   ASSERT_EQ( r.binds().size(), 2u );
   EXPECT_TRUE( r.binds().at( "/etc/x" ).readOnly );
   EXPECT_EQ( r.binds().at( "/data" ).hostPath, "/mnt/flash/web" );
   // The status holds what the container runs with.
   EXPECT_EQ( status->params(), config->params() );
   EXPECT_EQ( status->bindMount(), config->bindMount() );
   ASSERT_EQ( logs.messages.size(), 1u );
   EXPECT_EQ( logs.messages[ 0 ].id, "QUAYD_CONTAINER_STARTED" );
   EXPECT_EQ( logs.messages[ 0 ].text, "Container web started." );
   EXPECT_EQ( logs.messages[ 0 ].severity, 6 );
}

struct SplitCase {
   String text;
   Strings words;
};

class CommandSplitting : public ContainerSmTest,
                         public ::testing::WithParamInterface< SplitCase > {};

TEST_P( CommandSplitting, WordsAsAShellWouldSplitThem ) {
   paramsIs( [ & ]( ContainerParams & p ) {
      p.command = GetParam().text;
      p.options = GetParam().text;
   } );
   start();
   ASSERT_TRUE( runtime->lastRun );
   EXPECT_EQ( runtime->lastRun->command(), GetParam().words );
   EXPECT_EQ( runtime->lastRun->options(), GetParam().words );
}

INSTANTIATE_TEST_SUITE_P( Table, CommandSplitting,
                          ::testing::Values( SplitCase{ "", {} }, SplitCase{ " \t ", {} },
                                             SplitCase{ "sh \"-c echo\" x",
                                                        { "sh", "-c echo", "x" } },
                                             SplitCase{ "a 'b  c'\td", { "a", "b  c", "d" } },
                                             SplitCase{ "one\\ word", { "one word" } },
                                             SplitCase{ "a\\\\b", { "a\\b" } } ) );

TEST_F( ContainerSmTest, CommandThatCannotBeSplitFailsTheStart ) {
   paramsIs( []( ContainerParams & p ) { p.command = "grep \\d"; } );
   start();
   EXPECT_EQ( runtime->count( "runContainer" ), 0u );
   EXPECT_EQ( state(), CRS::containerStartFailed_ );
   ASSERT_EQ( logs.count( "QUAYD_CONTAINER_START_FAILED" ), 1u );
   EXPECT_NE( logs.messages[ 0 ].text.find( "cannot split command 'grep \\d'" ), String::npos )
      << logs.messages[ 0 ].text;
}

struct NotRunCase {
   String image;
   bool enabled;
};

class NothingToRun : public ContainerSmTest, public ::testing::WithParamInterface< NotRunCase > {};

TEST_P( NothingToRun, NeverReachesTheRuntime ) {
   paramsIs( [ & ]( ContainerParams & p ) { p.image = GetParam().image; } );
   config->enabledIs( GetParam().enabled );
   start();
   paramsIs( []( ContainerParams & p ) { p.memory = "64m"; } ); // handled again
   time.advance( 5min );
   EXPECT_TRUE( runtime->calls().empty() ) << runtime->calls()[ 0 ];
   EXPECT_EQ( state(), CRS::containerStopped_ );
   EXPECT_TRUE( logs.messages.empty() );
}

INSTANTIATE_TEST_SUITE_P( Table, NothingToRun,
                          ::testing::Values( NotRunCase{ "", true }, NotRunCase{ "", false },
                                             NotRunCase{ "busybox:1", false } ) );

TEST_F( ContainerSmTest, RunsThroughTheDockerClientAreCountedInTheStatus ) {
   runtime->clientFlagOfRuns = "--label-file";
   start();
   EXPECT_EQ( state(), CRS::containerRunning_ );
   EXPECT_EQ( status->clientRuns(), 1u );
   config->enabledIs( false );
   time.runReady();
   config->enabledIs( true );
   time.runReady();
   EXPECT_EQ( status->clientRuns(), 2u );
   runtime->clientFlagOfRuns = "";
   config->enabledIs( false );
   time.runReady();
   config->enabledIs( true );
   time.runReady();
   EXPECT_EQ( status->clientRuns(), 2u ) << "a run through the API is not counted";
}

// ------------------------------------------------------------------ retries

// Seconds from now to the next attempt the status announces.
int64_t backingOffIn( ContainerStatus const & status ) {
   std::tm tm{};
   std::istringstream in( status.backingOff() );
   in >> std::get_time( &tm, "%Y-%m-%dT%H:%M:%SZ" );
   if ( in.fail() ) {
      return -1;
   }
   auto const at = std::chrono::system_clock::from_time_t( timegm( &tm ) );
   return std::chrono::duration_cast< std::chrono::seconds >( at -
                                                              std::chrono::system_clock::now() )
      .count();
}

TEST_F( ContainerSmTest, FailedRunRetriesWithGrowingDelaysUntilItStarts ) {
   runtime->failNext( "runContainer", RuntimeException( "no such image" ), 3 );
   start();
   EXPECT_EQ( state(), CRS::containerStartFailed_ );
   EXPECT_EQ( sm->startAttemptCount(), 1u );
   EXPECT_EQ( status->startAttempts(), 1u );
   EXPECT_EQ( status->lastError(), "no such image" );
   ASSERT_EQ( logs.messages.size(), 1u );
   EXPECT_EQ( logs.messages[ 0 ].id, "QUAYD_CONTAINER_START_FAILED" );
   EXPECT_EQ( logs.messages[ 0 ].text,
              "Container web failed to run, container-runtime reported error \"no such "
              "image\" while running \"container run ...\"." );
   EXPECT_EQ( logs.messages[ 0 ].severity, 3 );
   EXPECT_TRUE( traces.contains( "Failed to run container web: no such image", 0 ) );

   // 30 s, then 60 s, then 120 s; the status names each next attempt.
   for ( auto const delay : { 30s, 60s, 120s } ) {
      SCOPED_TRACE( delay.count() );
      size_t const runs = runtime->count( "runContainer" );
      EXPECT_NEAR( double( backingOffIn( *status ) ), double( delay.count() ), 2.0 );
      time.advance( delay - 1s );
      EXPECT_EQ( runtime->count( "runContainer" ), runs );
      time.advance( 1s );
      EXPECT_EQ( runtime->count( "runContainer" ), runs + 1 );
   }
   EXPECT_EQ( logs.count( "QUAYD_CONTAINER_START_FAILED" ), 3u ) << "one per failed run";
   EXPECT_EQ( state(), CRS::containerRunning_ );
   EXPECT_EQ( sm->startAttemptCount(), 0u );
   EXPECT_EQ( status->startAttempts(), 0u );
   EXPECT_EQ( status->lastError(), "" );
   EXPECT_EQ( status->backingOff(), "" );
   EXPECT_EQ( logs.count( "QUAYD_CONTAINER_STARTED" ), 1u );
   EXPECT_EQ( runtime->count( "runContainer" ), 4u );
}

// The delay stops growing at 5 minutes. A container that then starts and
// holds for 10 minutes begins again at 30 s when a later start fails; one
// lost sooner, or left to fail on, stays at 5 minutes; a new configuration
// begins again at once.
TEST_F( ContainerSmTest, TheDelayIsCappedAndBeginsAgainOnceAStartHeld ) {
   struct Case {
      char const * name;
      std::chrono::seconds heldFor; // 0: the start keeps failing
      bool reconfigured;
      std::chrono::seconds nextDelay;
   };
   for ( auto const & c :
         { Case{ "held", 600s, false, 30s }, Case{ "lostSooner", 599s, false, 300s },
           Case{ "failingOn", 0s, false, 300s }, Case{ "reconfigured", 0s, true, 30s } } ) {
      SCOPED_TRACE( c.name );
      runtime = makePtr< Testing::FakeRuntime >( time.scheduler() );
      status->historyIs( "" );
      runtime->failAlways( "runContainer", RuntimeException( "exec: no such file" ) );
      start();
      std::vector< int64_t > gaps;
      for ( int i = 0; i < 6; ++i ) {
         auto const before = time.now();
         size_t const runs = runtime->count( "runContainer" );
         while ( runtime->count( "runContainer" ) == runs ) {
            time.advance( 1s );
         }
         gaps.push_back(
            std::chrono::duration_cast< std::chrono::seconds >( time.now() - before ).count() );
      }
      EXPECT_EQ( gaps, ( std::vector< int64_t >{ 30, 60, 120, 240, 300, 300 } ) );
      if ( c.heldFor > 0s ) {
         runtime->succeed( "runContainer" );
         time.advance( 300s );
         ASSERT_EQ( state(), CRS::containerRunning_ );
         time.advance( c.heldFor );
         // Gone behind the agent's back; the next evaluation fails to run it.
         runtime->containers.erase( "web" );
         runtime->failAlways( "runContainer", RuntimeException( "exec: no such file" ) );
         sm->handleEnabled();
         time.runReady();
      } else if ( c.reconfigured ) {
         paramsIs( []( ContainerParams & p ) { p.command += " x"; } );
      }
      ASSERT_EQ( state(), CRS::containerStartFailed_ );
      EXPECT_NEAR( double( backingOffIn( *status ) ), double( c.nextDelay.count() ), 2.0 );
      auto const before = time.now();
      size_t const runs = runtime->count( "runContainer" );
      while ( runtime->count( "runContainer" ) == runs ) {
         time.advance( 1s );
      }
      EXPECT_EQ( time.now() - before, c.nextDelay );
      sm = nullptr;
      config->paramsIs( ContainerParams{ .image = "busybox:1" } );
      time.runReady();
   }
}

TEST_F( ContainerSmTest, DisablingAFailedContainerCancelsTheRetry ) {
   runtime->failAlways( "runContainer", RuntimeException( "boom" ) );
   start();
   ASSERT_EQ( state(), CRS::containerStartFailed_ );
   runtime->clearCalls();
   config->enabledIs( false );
   time.runReady();
   time.advance( 10min );
   EXPECT_TRUE( runtime->calls().empty() );
   EXPECT_EQ( state(), CRS::containerStopped_ );
   EXPECT_EQ( sm->startAttemptCount(), 0u );
   EXPECT_FALSE( sm->startAttemptTask()->armed() );
}

// ------------------------------------------------------------------ cleanup

TEST_F( ContainerSmTest, DisablingARunningContainerStopsRemovesAndReports ) {
   start();
   runtime->clearCalls();
   logs.messages.clear();
   config->enabledIs( false );
   time.runReady();
   EXPECT_EQ( runtime->calls(), ( Strings{ "stopContainer(web)", "removeContainer(web,true)" } ) );
   EXPECT_EQ( state(), CRS::containerStopped_ );
   ASSERT_EQ( logs.messages.size(), 1u );
   EXPECT_EQ( logs.messages[ 0 ].id, "QUAYD_CONTAINER_REMOVED" );
   EXPECT_EQ( logs.messages[ 0 ].text,
              "Container web stopped and removed on configuration change." );
}

struct CleanupFailureCase {
   char const * name;
   Strings failing;    // calls that fail with "daemon gone"
   bool containerGone; // the daemon no longer holds the container
   Strings calls;
   char const * trace;
   bool removed; // otherwise the status goes on describing the container
};

class CleanupFailure : public ContainerSmTest,
                       public ::testing::WithParamInterface< CleanupFailureCase > {};

// A removal that failed is done again 30 s later.
TEST_P( CleanupFailure, DoesNotStopTheRest ) {
   auto const & p = GetParam();
   start();
   runtime->clearCalls();
   for ( auto const & call : p.failing ) {
      runtime->failNext( call, RuntimeException( "daemon gone" ) );
   }
   if ( p.containerGone ) {
      runtime->containers.erase( "web" );
   }
   config->enabledIs( false );
   time.runReady();
   EXPECT_EQ( runtime->calls(), p.calls );
   EXPECT_TRUE( traces.contains( p.trace, 0 ) ) << p.trace;
   EXPECT_EQ( logs.count( "QUAYD_CONTAINER_REMOVED" ), p.removed ? 1u : 0u );
   EXPECT_EQ( state(), p.removed ? CRS::containerStopped_ : CRS::containerRunning_ );
   EXPECT_EQ( status->lastError(), p.removed ? "" : "cannot remove: daemon gone" );
   EXPECT_EQ( sm->startAttemptTask()->armed(), !p.removed ) << "a removal left to do is retried";
   if ( !p.removed ) {
      runtime->clearCalls();
      time.advance( 29s );
      EXPECT_TRUE( runtime->calls().empty() );
      time.advance( 1s );
      EXPECT_EQ( runtime->calls(),
                 ( Strings{ "stopContainer(web)", "removeContainer(web,true)" } ) );
      EXPECT_EQ( state(), CRS::containerStopped_ );
      EXPECT_EQ( status->lastError(), "" );
      EXPECT_EQ( logs.count( "QUAYD_CONTAINER_REMOVED" ), 1u );
      EXPECT_FALSE( sm->startAttemptTask()->armed() );
   }
}

INSTANTIATE_TEST_SUITE_P(
   Table, CleanupFailure,
   ::testing::Values( CleanupFailureCase{ "stopFails",
                                          { "stopContainer" },
                                          false,
                                          { "stopContainer(web)", "removeContainer(web,true)" },
                                          "Failed to stop container web: daemon gone",
                                          true },
                      CleanupFailureCase{ "removeFailsContainerStays",
                                          { "removeContainer" },
                                          false,
                                          { "stopContainer(web)", "removeContainer(web,true)",
                                            "inspectContainer(web)" },
                                          "Failed to remove container web: daemon gone",
                                          false },
                      CleanupFailureCase{ "removeFailsDaemonCannotTell",
                                          { "removeContainer", "inspectContainer" },
                                          false,
                                          { "stopContainer(web)", "removeContainer(web,true)",
                                            "inspectContainer(web)" },
                                          "Failed to remove container web: daemon gone",
                                          false },
                      CleanupFailureCase{ "removeFailsNoSuchContainer",
                                          { "removeContainer" },
                                          true,
                                          { "stopContainer(web)", "removeContainer(web,true)",
                                            "inspectContainer(web)" },
                                          "Failed to remove container web: daemon gone",
                                          true } ),
   []( auto const & info ) { return String( info.param.name ); } );

// A new configuration cannot be run while the old container holds the name:
// the status keeps describing the old one until the retry removes it.
TEST_F( ContainerSmTest, AChangeHeldBackByAFailedRemovalIsTakenUpOnTheRetry ) {
   start();
   ContainerParams const old = status->params();
   runtime->clearCalls();
   runtime->failNext( "removeContainer", RuntimeException( "daemon gone" ) );
   paramsIs( []( ContainerParams & p ) { p.image = "busybox:2"; } );
   EXPECT_EQ( runtime->calls(), ( Strings{ "stopContainer(web)", "removeContainer(web,true)",
                                           "inspectContainer(web)" } ) );
   EXPECT_EQ( state(), CRS::containerRunning_ );
   EXPECT_TRUE( status->params().isEq( old ) ) << "still the container that is there";
   runtime->clearCalls();
   time.advance( 30s );
   EXPECT_EQ( runtime->calls(), ( Strings{ "stopContainer(web)", "removeContainer(web,true)",
                                           "runContainer(web)" } ) );
   EXPECT_EQ( runtime->lastRun->image, "busybox:2" );
   EXPECT_EQ( status->params().image, "busybox:2" );
   EXPECT_EQ( state(), CRS::containerRunning_ );
   EXPECT_EQ( status->lastError(), "" );
}

TEST_F( ContainerSmTest, DestroyingTheMachineCleansUpOnlyWhatItRuns ) {
   start();
   runtime->clearCalls();
   sm = nullptr;
   EXPECT_EQ( runtime->calls(), ( Strings{ "stopContainer(web)", "removeContainer(web,true)" } ) );
   EXPECT_EQ( state(), CRS::containerStopped_ );

   // A left-over entry without configuration, not running: nothing to do.
   runtime->clearCalls();
   sm = containerSmFactory( nullptr, status, runtime, time.scheduler(), processes, {} );
   sm = nullptr;
   EXPECT_TRUE( runtime->calls().empty() );

   // One left running by an earlier run of the agent.
   status->stateIs( CRS::containerRunning_ );
   sm = containerSmFactory( nullptr, status, runtime, time.scheduler(), processes, {} );
   EXPECT_TRUE( runtime->calls().empty() );
   sm = nullptr;
   EXPECT_EQ( runtime->calls(), ( Strings{ "stopContainer(web)", "removeContainer(web,true)" } ) );
}

// ------------------------------------------------------------ reconfiguring

TEST_F( ContainerSmTest, BindMountChangeRestartsWithTheNewMounts ) {
   config->bindMountIs( "/a", BindMountEntry{ "/h/a", "/a", false } );
   start();
   runtime->clearCalls();
   config->bindMountIs( "/data", BindMountEntry{ "/mnt/flash/web", "/data", false } );
   time.runReady();
   EXPECT_EQ( runtime->calls(), ( Strings{ "stopContainer(web)", "removeContainer(web,true)",
                                           "runContainer(web)" } ) );
   EXPECT_EQ( runtime->lastRun->binds().count( "/data" ), 1u );
   EXPECT_EQ( status->bindMount(), config->bindMount() );
   EXPECT_EQ( state(), CRS::containerRunning_ );

   // Same entry again and identical parameters: only the existence check.
   runtime->clearCalls();
   config->bindMountIs( "/data", BindMountEntry{ "/mnt/flash/web", "/data", false } );
   sm->handleParams();
   EXPECT_EQ( runtime->calls(), Strings{ "inspectContainer(web)" } );

   // An edit or a removal is a change too.
   runtime->clearCalls();
   config->bindMountIs( "/data", BindMountEntry{ "/mnt/flash/web", "/data", true } );
   time.runReady();
   EXPECT_TRUE( runtime->lastRun->binds().at( "/data" ).readOnly );
   config->bindMountDel( "/a" );
   time.runReady();
   EXPECT_EQ( runtime->lastRun->binds().count( "/a" ), 0u );
   EXPECT_EQ( runtime->count( "runContainer" ), 2u );
   EXPECT_EQ( runtime->count( "removeContainer" ), 2u );

   // A memory ceiling is no parameter of the run.
   runtime->clearCalls();
   config->memoryCeilingIs( 32 << 20 );
   time.runReady();
   EXPECT_EQ( runtime->count( "runContainer" ), 0u );
   EXPECT_EQ( runtime->count( "removeContainer" ), 0u );
}

// One operator edit reaches the machine field by field, as the profile
// merger writes it (parameters, bind mounts, enabled): the container reacts
// to the whole edit once.
struct OneEditCase {
   char const * name;
   bool volume;  // the edit also adds a bind mount
   bool disable; // and disables the container
   Strings calls;
};

class OneEdit : public ContainerSmTest, public ::testing::WithParamInterface< OneEditCase > {};

TEST_P( OneEdit, IsOneEvaluation ) {
   auto const & p = GetParam();
   start();
   runtime->clearCalls();
   ContainerParams params = config->params();
   params.image = "app:2";
   config->paramsIs( params );
   if ( p.volume ) {
      config->bindMountIs( "/data", BindMountEntry{ "/mnt/flash/web", "/data", false } );
   }
   config->enabledIs( !p.disable );
   time.runReady();
   EXPECT_EQ( runtime->calls(), p.calls );
   if ( !p.disable ) {
      EXPECT_EQ( runtime->lastRun->image, "app:2" );
      EXPECT_EQ( runtime->lastRun->binds().count( "/data" ), p.volume ? 1u : 0u );
   }
}

INSTANTIATE_TEST_SUITE_P(
   Table, OneEdit,
   ::testing::Values(
      OneEditCase{
         "newImageAndDisable", false, true, { "stopContainer(web)", "removeContainer(web,true)" } },
      OneEditCase{ "newImageVolumeAndDisable",
                   true,
                   true,
                   { "stopContainer(web)", "removeContainer(web,true)" } },
      OneEditCase{ "newImageAndVolume",
                   true,
                   false,
                   { "stopContainer(web)", "removeContainer(web,true)", "runContainer(web)" } } ),
   []( auto const & info ) { return String( info.param.name ); } );

TEST_F( ContainerSmTest, ParameterChangeOfAFailedContainerRetriesAtOnce ) {
   runtime->failNext( "runContainer", RuntimeException( "no such image" ) );
   start();
   ASSERT_EQ( state(), CRS::containerStartFailed_ );
   runtime->clearCalls();
   paramsIs( []( ContainerParams & p ) { p.image = "busybox:2"; } );
   // Not running, so nothing to stop: just the new attempt.
   EXPECT_EQ( runtime->calls(), Strings{ "runContainer(web)" } );
   EXPECT_EQ( runtime->lastRun->image, "busybox:2" );
   EXPECT_EQ( state(), CRS::containerRunning_ );
}

TEST_F( ContainerSmTest, InheritedRunningContainerIsLeftRunning ) {
   config->bindMountIs( "/data", BindMountEntry{ "/mnt/flash/web", "/data", false } );
   runningBefore();
   start();
   EXPECT_EQ( runtime->calls(), Strings{ "inspectContainer(web)" } );
   EXPECT_EQ( state(), CRS::containerRunning_ );
   EXPECT_TRUE( logs.messages.empty() );
}

TEST_F( ContainerSmTest, InheritedContainerWithOtherParametersIsReplaced ) {
   runningBefore();
   paramsIs( []( ContainerParams & p ) { p.memory = "128m"; } );
   start();
   EXPECT_EQ( runtime->calls(), ( Strings{ "stopContainer(web)", "removeContainer(web,true)",
                                           "runContainer(web)" } ) );
   EXPECT_EQ( runtime->lastRun->setting( "memory" ), "128m" );
}

TEST_F( ContainerSmTest, ContainerGoneBehindOurBackIsStartedAgain ) {
   start();
   runtime->containers.erase( "web" );
   runtime->clearCalls();
   sm->handleEnabled();
   time.runReady();
   EXPECT_TRUE( traces.contains( "Container web not found despite being created before", 0 ) );
   EXPECT_EQ( runtime->calls(), ( Strings{ "inspectContainer(web)", "runContainer(web)" } ) );
   EXPECT_EQ( state(), CRS::containerRunning_ );
}

// A daemon that does not answer may still hold the container: running it
// again would only fail on the name, so the state stays and it is checked
// again later.
TEST_F( ContainerSmTest, InspectFailureOtherThanMissingChecksAgainInsteadOfStarting ) {
   start();
   runtime->clearCalls();
   runtime->failNext( "inspectContainer", RuntimeException( "connection refused" ) );
   sm->handleEnabled();
   EXPECT_TRUE( traces.contains( "Failed to get list of containers: connection refused", 0 ) );
   EXPECT_EQ( runtime->calls(), Strings{ "inspectContainer(web)" } );
   EXPECT_EQ( state(), CRS::containerRunning_ );
   time.advance( 29s );
   EXPECT_EQ( runtime->calls(), Strings{ "inspectContainer(web)" } );
   time.advance( 1s );
   EXPECT_EQ( runtime->calls(), ( Strings{ "inspectContainer(web)", "inspectContainer(web)" } ) );
   EXPECT_EQ( runtime->count( "runContainer" ), 0u ) << "it was there all along";
   EXPECT_EQ( state(), CRS::containerRunning_ );
   EXPECT_FALSE( sm->startAttemptTask()->armed() ) << "answered: no more checks";

   // A plain "no such container" is not worth a failure trace.
   traces.lines.clear();
   runtime->containers.erase( "web" );
   sm->handleEnabled();
   time.runReady();
   EXPECT_FALSE( traces.contains( "Failed to get list of containers" ) );
   EXPECT_EQ( runtime->count( "runContainer" ), 1u );
}

} // namespace
} // namespace Quayd
