// A container is there when the daemon holds it running: one found exited,
// dead or only created when its machine looks (built, reconfigured, the
// daemon's events starting again) is removed and run again. In between, the
// daemon's events only refresh its word on the container in the status.
#include "agent/ContainerDirSmTest.h"

namespace Quayd {
namespace {

using namespace std::chrono_literals;
using CRS = ContainerRunState;
using Strings = std::vector< String >;

ContainerRecord record( String const & state ) {
   ContainerRecord r;
   r.id = "id-web";
   r.name = "web";
   r.status = state;
   r.running = state == "running";
   r.exitCode = state == "running" ? 0 : 137;
   r.startedAt = "2026-12-07T10:00:00.5Z";
   r.finishedAt = state == "running" ? "0001-01-01T00:00:00Z" : "2026-12-07T10:05:00Z";
   r.restartCount = 2;
   r.imageId = "sha256:feed";
   return r;
}

class ContainerReviveTest : public ContainerDirTest {
 protected:
   ContainerReviveTest() {
      configure( "web" );
      leftRunning( "web" );
      status()->paramsIs( ContainerParams{ .image = "busybox:1" } );
   }
   Ptr< ContainerStatus > status() const { return statuses->container( "web" ); }
   // The agent starts: the directory builds every machine.
   void agentStarts() {
      registry->stateIs( SmState::stopped_ );
      create();
      registry->stateIs( SmState::started_ );
      time.runReady();
      ASSERT_EQ( statuses->state(), SmState::started_ );
   }
   // The calls of the container's machine, without the directory's look
   // at the runtime's containers.
   Strings containerCalls() const {
      Strings out;
      for ( auto const & c : runtime->calls() ) {
         if ( c != "listOwnContainers()" ) {
            out.push_back( c );
         }
      }
      return out;
   }
};

TEST_F( ContainerReviveTest, AtStartOnlyARunningContainerIsKept ) {
   struct Case {
      String daemonState;
      bool kept;
   };
   for ( auto const & c : std::vector< Case >{ { "running", true },
                                               { "restarting", true },
                                               { "paused", true },
                                               { "exited", false },
                                               { "dead", false },
                                               { "created", false } } ) {
      SCOPED_TRACE( c.daemonState );
      dir = nullptr; // the last case's agent, which removed its container
      runtime->clearCalls();
      logs.messages.clear();
      runtime->containers.insert( "web" );
      runtime->records[ "web" ] = record( c.daemonState );
      status()->stateIs( CRS::containerRunning_ );

      agentStarts();

      Strings const kept{ "inspectContainer(web)", "inspectImage(busybox:1)" };
      Strings const revived{ "inspectContainer(web)", "removeContainer(web,true)",
                             "runContainer(web)" };
      EXPECT_EQ( containerCalls(), c.kept ? kept : revived );
      EXPECT_EQ( logs.count( "QUAYD_CONTAINER_STARTED" ), c.kept ? 0u : 1u );
      EXPECT_EQ( logs.count( "QUAYD_CONTAINER_REMOVED" ), 0u );
      EXPECT_EQ( status()->state(), CRS::containerRunning_ );
      EXPECT_EQ( status()->startAttempts(), 0u );
      // Kept: the daemon's word as inspected; run again: nothing known of the
      // new container until its first event.
      EXPECT_EQ( status()->daemonState(), c.kept ? c.daemonState : "" );
      EXPECT_EQ( status()->imageId(), c.kept ? "sha256:feed" : "" );
      EXPECT_EQ( status()->restartCount(), c.kept ? 2u : 0u );
   }
}

// A tarball rebuilt under the same tag and loaded again gives the tag a new
// image: a container still running the old one is run again from it.
TEST_F( ContainerReviveTest, AtStartAContainerOfAnImageItsTagNoLongerNamesIsRunAgain ) {
   struct Case {
      String tagNames; // the image the configured tag names now, "" for none
      bool kept;
   };
   for ( auto const & c :
         std::vector< Case >{ { "sha256:feed", true }, { "", true }, { "sha256:beef", false } } ) {
      SCOPED_TRACE( c.tagNames );
      dir = nullptr;
      runtime->clearCalls();
      runtime->containers.insert( "web" );
      runtime->records[ "web" ] = record( "running" );
      runtime->images.clear();
      if ( !c.tagNames.empty() ) {
         runtime->images.insert( "busybox:1" );
         runtime->imageIds[ "busybox:1" ] = c.tagNames;
      }
      status()->stateIs( CRS::containerRunning_ );

      agentStarts();

      EXPECT_EQ( runtime->count( "runContainer" ), c.kept ? 0u : 1u );
      EXPECT_EQ( runtime->count( "removeContainer" ), c.kept ? 0u : 1u );
      EXPECT_EQ( status()->state(), CRS::containerRunning_ );
      EXPECT_EQ( traces.contains( "Container web runs image sha256:feed, but busybox:1 is now "
                                  "sha256:beef",
                                  0 ),
                 !c.kept );
   }
}

TEST_F( ContainerReviveTest, AStaleContainerThatCannotBeRemovedIsTriedAgain ) {
   runtime->records[ "web" ] = record( "exited" );
   runtime->failNext( "removeContainer", RuntimeException( "device busy" ) );
   agentStarts();

   EXPECT_EQ( containerCalls(), ( Strings{ "inspectContainer(web)", "removeContainer(web,true)",
                                           "inspectContainer(web)" } ) );
   EXPECT_EQ( status()->state(), CRS::containerRunning_ );
   EXPECT_EQ( status()->lastError(), "cannot remove: device busy" );
   EXPECT_EQ( logs.count( "QUAYD_CONTAINER_STARTED" ), 0u );

   runtime->clearCalls();
   time.advance( 30s );
   EXPECT_EQ( containerCalls(), ( Strings{ "inspectContainer(web)", "removeContainer(web,true)",
                                           "runContainer(web)" } ) );
   EXPECT_EQ( logs.count( "QUAYD_CONTAINER_STARTED" ), 1u );
   EXPECT_EQ( status()->lastError(), "" );
}

TEST_F( ContainerReviveTest, AnEventRefreshesTheStatusWithoutRunningTheContainerAgain ) {
   runtime->records[ "web" ] = record( "running" );
   agentStarts();
   EXPECT_EQ( status()->daemonState(), "running" );
   EXPECT_EQ( status()->exitCode(), 0 );
   ASSERT_TRUE( runtime->subscribed() );

   // It exits on its own, with no restart policy.
   runtime->records[ "web" ] = record( "exited" );
   runtime->clearCalls();
   runtime->emit( { "web", "die" } );
   time.runReady();

   EXPECT_EQ( containerCalls(), Strings{ "inspectContainer(web)" } );
   EXPECT_EQ( status()->daemonState(), "exited" );
   EXPECT_EQ( status()->exitCode(), 137 );
   EXPECT_EQ( status()->startedAt(), "2026-12-07T10:00:00.5Z" );
   EXPECT_EQ( status()->finishedAt(), "2026-12-07T10:05:00Z" );
   EXPECT_EQ( status()->restartCount(), 2u );
   EXPECT_EQ( status()->imageId(), "sha256:feed" );
   EXPECT_EQ( status()->state(), CRS::containerRunning_ );

   // An event of a container the agent has no machine for is not its business.
   runtime->clearCalls();
   runtime->emit( { "other", "die" } );
   EXPECT_EQ( containerCalls(), Strings{} );

   EXPECT_EQ( runtime->count( "runContainer" ), 0u );

   // Removed behind the agent's back: not an exit its restart policy
   // answers, so the agent runs it again.
   runtime->containers.erase( "web" );
   runtime->records.erase( "web" );
   runtime->clearCalls();
   runtime->emit( { "web", "destroy" } );
   time.runReady();
   EXPECT_EQ( containerCalls(), ( Strings{ "inspectContainer(web)", "runContainer(web)" } ) );
   EXPECT_EQ( status()->state(), CRS::containerRunning_ );
}

// A start that fails removes the container it created: the daemon's destroy
// must not bring the timed retry forward.
TEST_F( ContainerReviveTest, TheDestroyOfAFailedStartWaitsForTheRetry ) {
   runtime->failAlways( "runContainer", RuntimeException( "exec: no such file" ) );
   runtime->containers.erase( "web" ); // the earlier agent's container is gone
   agentStarts();
   ASSERT_EQ( status()->state(), CRS::containerStartFailed_ );
   runtime->clearCalls();
   runtime->emit( { "web", "destroy" } );
   EXPECT_EQ( runtime->count( "runContainer" ), 0u );
   time.advance( std::chrono::seconds( 30 ) );
   EXPECT_EQ( runtime->count( "runContainer" ), 1u );
}

TEST_F( ContainerReviveTest, TheStreamStartingAgainRunsAnExitedContainerAgain ) {
   agentStarts();
   runtime->records[ "web" ] = record( "exited" );
   runtime->emit( { "web", "die" } );
   runtime->clearCalls();

   runtime->emit( { "", "" } );
   time.runReady();

   EXPECT_EQ( containerCalls(), ( Strings{ "inspectContainer(web)", "removeContainer(web,true)",
                                           "runContainer(web)" } ) );
   EXPECT_EQ( logs.count( "QUAYD_CONTAINER_STARTED" ), 1u );
   EXPECT_EQ( status()->state(), CRS::containerRunning_ );
}

TEST_F( ContainerReviveTest, TheStreamStartingWhileTheDirectoryIsDownTouchesNothing ) {
   create();
   ASSERT_EQ( statuses->state(), SmState::stopped_ ); // the registries are not up
   runtime->records[ "web" ] = record( "exited" );

   runtime->emit( { "", "" } );
   time.runReady();

   EXPECT_EQ( runtime->calls(), Strings{} );
   dir = nullptr;
   EXPECT_FALSE( runtime->subscribed() );
}

} // namespace
} // namespace Quayd
