// The container directory on the fake runtime and the virtual clock; the
// registry state that starts it is written by the test.
#include "agent/ContainerDirSmTest.h"

namespace Quayd {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector< String >;

class ContainerDirSmTest : public ContainerDirTest {
 protected:
   ContainerDirSmTest() {
      sub = statuses->subscribe( [ this ]( AttrId a, String const * ) {
         if ( a == AttrId( ContainerStatusDir::Attr::state ) ) {
            states.push_back( statuses->state() );
         }
      } );
   }
   Strings statusNames() const {
      Strings out;
      for ( auto const & [ name, s ] : statuses->container() ) {
         out.push_back( name );
      }
      return out;
   }
   void startPass() {
      registry->stateIs( SmState::started_ );
      time.runReady();
      ASSERT_EQ( statuses->state(), SmState::started_ );
      runtime->clearCalls();
      states.clear();
   }

   std::vector< SmState > states;
   Notifier::Subscription sub;
};

TEST_F( ContainerDirSmTest, EmptyDirectoryStartsAfterOneTaskRunAndStopsAtOnce ) {
   create();
   registry->stateIs( SmState::started_ );
   EXPECT_EQ( statuses->state(), SmState::starting_ );
   EXPECT_TRUE( dir->containerSmTask()->taskScheduled() );
   time.turn();
   EXPECT_EQ( states, ( std::vector< SmState >{ SmState::starting_, SmState::started_ } ) );
   EXPECT_EQ( runtime->calls(), Strings{ "listOwnContainers()" } ) << "only the look for ours";
   EXPECT_TRUE( traces.contains( "state: stopped_, registrySm state started_", 2 ) );
   statuses->stateIs( SmState::stopping_ );
   EXPECT_EQ( statuses->state(), SmState::stopped_ ) << "nothing to stop: stopped at once";
}

TEST_F( ContainerDirSmTest, ConfiguredContainersComeUpOnePerTaskRunInOrder ) {
   for ( String n : { "c", "a", "b" } ) {
      configure( n );
   }
   create();
   registry->stateIs( SmState::started_ );
   EXPECT_EQ( runtime->calls(), Strings{ "listOwnContainers()" } );
   EXPECT_EQ( dir->pendingContainer(), ( std::deque< String >{ "a", "b", "c" } ) );
   runtime->clearCalls();
   for ( int run = 0; run < 3; ++run ) {
      EXPECT_EQ( statuses->state(), SmState::starting_ );
      time.turn();
      ASSERT_EQ( runtime->calls().size(), size_t( run + 1 ) );
   }
   EXPECT_EQ( runtime->calls(),
              ( Strings{ "runContainer(a)", "runContainer(b)", "runContainer(c)" } ) );
   EXPECT_EQ( statuses->state(), SmState::started_ );
   EXPECT_EQ( statusNames(), ( Strings{ "a", "b", "c" } ) );
   EXPECT_EQ( statuses->container( "b" )->name(), "b" );
   EXPECT_EQ( statuses->container( "b" )->state(), ContainerRunState::containerRunning_ );
}

struct IdleCase {
   SmState found;    // the status state when the directory is created
   SmState expected; // after construction
};

class BeforeTheFirstPass : public ContainerDirSmTest,
                           public ::testing::WithParamInterface< IdleCase > {};

TEST_P( BeforeTheFirstPass, ConfigurationChangesWaitForThePass ) {
   statuses->stateIs( GetParam().found );
   create();
   EXPECT_EQ( statuses->state(), GetParam().expected );
   configure( "a" );
   leftRunning( "b" );
   configs->containerDel( "a" );
   configure( "a" );
   // Only the registry's started_ begins the pass.
   for ( SmState r :
         { SmState::inherited_, SmState::starting_, SmState::stopping_, SmState::stopped_ } ) {
      registry->stateIs( r );
   }
   time.runReady();
   EXPECT_FALSE( dir->containerSmTask()->taskScheduled() );
   EXPECT_TRUE( runtime->calls().empty() );
   EXPECT_TRUE( dir->containerSm().empty() );
   EXPECT_EQ( statusNames(), Strings{ "b" } );
   EXPECT_EQ( statuses->state(), GetParam().expected );

   registry->stateIs( SmState::started_ );
   time.runReady();
   // The left-over entry is cleaned up after the configured ones.
   EXPECT_EQ( runtime->calls(), ( Strings{ "listOwnContainers()", "runContainer(a)",
                                           "stopContainer(b)", "removeContainer(b,true)" } ) );
   EXPECT_EQ( statusNames(), Strings{ "a" } );
   EXPECT_FALSE( dir->containerSm( "b" ) );
   EXPECT_TRUE( traces.contains( "Delete containerSm: b", 2 ) );
   EXPECT_EQ( statuses->state(), SmState::started_ );
}

INSTANTIATE_TEST_SUITE_P( Table, BeforeTheFirstPass,
                          ::testing::Values( IdleCase{ SmState::stopped_, SmState::stopped_ },
                                             IdleCase{ SmState::started_, SmState::inherited_ },
                                             IdleCase{ SmState::starting_, SmState::inherited_ },
                                             IdleCase{ SmState::stopping_,
                                                       SmState::inherited_ } ) );

TEST_F( ContainerDirSmTest, StoppingTearsEveryContainerDownOnePerRunAndTheNextPassBringsThemBack ) {
   for ( String n : { "a", "b", "c" } ) {
      configure( n );
   }
   create();
   startPass();
   statuses->stateIs( SmState::stopping_ );
   // The first within the writer's own call, the others on the task.
   EXPECT_EQ( runtime->calls(), ( Strings{ "stopContainer(a)", "removeContainer(a,true)" } ) );
   EXPECT_EQ( statusNames(), ( Strings{ "b", "c" } ) );
   EXPECT_EQ( statuses->state(), SmState::stopping_ );
   time.turn();
   EXPECT_EQ( statusNames(), Strings{ "c" } );
   time.turn();
   EXPECT_TRUE( statusNames().empty() );
   EXPECT_TRUE( dir->containerSm().empty() );
   EXPECT_EQ( runtime->count( "removeContainer" ), 3u );
   EXPECT_EQ( states, ( std::vector< SmState >{ SmState::stopping_, SmState::stopped_ } ) );
   // Configuration is still there but ignored until the next pass.
   configure( "d" );
   EXPECT_EQ( runtime->count( "runContainer" ), 0u );
   registry->stateIs( SmState::stopped_ );
   runtime->clearCalls();
   registry->stateIs( SmState::started_ );
   time.runReady();
   EXPECT_EQ( runtime->calls(),
              ( Strings{ "listOwnContainers()", "runContainer(a)", "runContainer(b)",
                         "runContainer(c)", "runContainer(d)" } ) );
   EXPECT_EQ( statuses->state(), SmState::started_ );
}

// The stop's queue is not drained yet when the bring-up comes: the bring-up
// takes every name again.
TEST_F( ContainerDirSmTest, ABringUpOvertakesAStopStillDrainingItsQueue ) {
   for ( String n : { "a", "b", "c" } ) {
      configure( n );
   }
   create();
   startPass();
   statuses->stateIs( SmState::stopping_ );
   ASSERT_EQ( dir->pendingContainer(), ( std::deque< String >{ "b", "c" } ) );
   registry->stateIs( SmState::stopped_ );
   runtime->clearCalls();
   registry->stateIs( SmState::started_ );
   time.runReady();
   EXPECT_EQ( runtime->calls(), ( Strings{ "listOwnContainers()", "runContainer(a)" } ) );
   EXPECT_EQ( statusNames(), ( Strings{ "a", "b", "c" } ) );
   for ( String n : { "a", "b", "c" } ) {
      EXPECT_EQ( statuses->container( n )->state(), ContainerRunState::containerRunning_ ) << n;
   }
   EXPECT_EQ( statuses->state(), SmState::started_ );
}

// Containers of ours that no status records (left in a data root whose
// removal failed) are recorded as running with no parameters: the ones
// configured are replaced, the others removed.
TEST_F( ContainerDirSmTest, UnrecordedContainersOfOursAreRemovedAtBringUp ) {
   runtime->containers = { "a", "ghost" };
   configure( "a" );
   create();
   registry->stateIs( SmState::started_ );
   ASSERT_TRUE( statuses->container( "ghost" ) );
   EXPECT_EQ( statuses->container( "ghost" )->name(), "ghost" );
   EXPECT_EQ( statuses->container( "ghost" )->state(), ContainerRunState::containerRunning_ );
   EXPECT_TRUE( statuses->container( "ghost" )->params().isEq( ContainerParams{} ) );
   EXPECT_TRUE(
      traces.contains( "Container ghost is in the runtime unrecorded; replacing it", 0 ) );
   time.runReady();
   EXPECT_EQ( runtime->calls(),
              ( Strings{ "listOwnContainers()", "stopContainer(a)", "removeContainer(a,true)",
                         "runContainer(a)", "stopContainer(ghost)",
                         "removeContainer(ghost,true)" } ) );
   EXPECT_EQ( statusNames(), Strings{ "a" } );
   EXPECT_EQ( runtime->containers, std::set< String >{ "a" } );
   EXPECT_EQ( statuses->state(), SmState::started_ );
}

TEST_F( ContainerDirSmTest, AStatusWhoseContainerCouldNotBeRemovedIsKeptAndRetried ) {
   leftRunning( "old" );
   runtime->failNext( "removeContainer", RuntimeException( "daemon gone" ) );
   create();
   registry->stateIs( SmState::started_ );
   time.runReady();
   EXPECT_EQ( statusNames(), Strings{ "old" } ) << "the container is still there";
   ASSERT_TRUE( dir->containerSm( "old" ) ) << "its machine tries again";
   EXPECT_TRUE( traces.contains( "Failed to remove container old: daemon gone", 0 ) );
   EXPECT_EQ( statuses->state(), SmState::started_ );
   runtime->clearCalls();
   time.advance( 29s );
   EXPECT_TRUE( runtime->calls().empty() );
   time.advance( 1s );
   EXPECT_EQ( runtime->calls(), ( Strings{ "stopContainer(old)", "removeContainer(old,true)" } ) );
   EXPECT_TRUE( statusNames().empty() );
   EXPECT_FALSE( dir->containerSm( "old" ) );
   EXPECT_TRUE( runtime->containers.empty() );
   runtime->clearCalls();
   time.advance( 5min );
   EXPECT_TRUE( runtime->calls().empty() ) << "nothing left to retry";
}

TEST_F( ContainerDirSmTest, AFailedLookForOurContainersIsRetriedAfterTheBringUp ) {
   runtime->containers = { "ghost" };
   runtime->failNext( "listOwnContainers", RuntimeException( "daemon gone" ) );
   create();
   registry->stateIs( SmState::started_ );
   time.runReady();
   EXPECT_TRUE( traces.contains( "Failed to list the runtime's containers: daemon gone", 0 ) );
   EXPECT_EQ( statuses->state(), SmState::started_ ) << "the bring-up does not wait for it";
   EXPECT_TRUE( statusNames().empty() );
   runtime->clearCalls();
   time.advance( 30s );
   EXPECT_EQ( runtime->calls(), ( Strings{ "listOwnContainers()", "stopContainer(ghost)",
                                           "removeContainer(ghost,true)" } ) );
   EXPECT_TRUE( statusNames().empty() );
}

// A deleted container leaves the runtime while its status entry still
// records it: an agent killed in between finds the entry and finishes the
// removal.
TEST_F( ContainerDirSmTest, ChangesWhileStartedApplyAtOnce ) {
   configure( "a" );
   configure( "b" );
   create();
   startPass();
   configure( "n" );
   EXPECT_EQ( runtime->calls(), Strings{ "runContainer(n)" } );
   EXPECT_TRUE( dir->containerSm( "n" ) );

   runtime->clearCalls();
   Strings statusAtCall;
   runtime->onCall = [ & ]( String const & call ) {
      statusAtCall.push_back( call + ( statuses->container( "b" ) ? " with status" : "" ) );
   };
   configs->containerDel( "b" );
   EXPECT_TRUE( dir->containerSm( "b" ) ) << "taken down in flight";
   time.runReady();
   runtime->onCall = nullptr;
   EXPECT_EQ( runtime->calls(), ( Strings{ "stopContainer(b)", "removeContainer(b,true)" } ) );
   EXPECT_EQ( statusAtCall,
              ( Strings{ "stopContainer with status", "removeContainer with status" } ) );
   EXPECT_FALSE( statuses->container( "b" ) );
   EXPECT_FALSE( dir->containerSm( "b" ) );
   EXPECT_FALSE( dir->containerSmTask()->taskScheduled() );

   // A disabled one is its own machine's business: its entry stays.
   runtime->clearCalls();
   configs->container( "a" )->enabledIs( false );
   time.runReady();
   EXPECT_EQ( runtime->calls(), ( Strings{ "stopContainer(a)", "removeContainer(a,true)" } ) );
   EXPECT_EQ( statuses->container( "a" )->state(), ContainerRunState::containerStopped_ );
}

TEST_F( ContainerDirSmTest, ChangeDuringThePassIsNotHandledTwice ) {
   configure( "a" );
   configure( "b" );
   create();
   registry->stateIs( SmState::started_ );
   configs->containerDel( "b" ); // still queued; gone before its turn
   configure( "c" );             // not queued; started at once
   time.runReady();
   EXPECT_EQ( runtime->calls(),
              ( Strings{ "listOwnContainers()", "runContainer(c)", "runContainer(a)" } ) );
   EXPECT_EQ( statusNames(), ( Strings{ "a", "c" } ) );
   EXPECT_EQ( statuses->state(), SmState::started_ );
}

// A start that failed, its removal failing too, left its container created:
// the daemon's create event has it found and removed, whether the event came
// while the start was out or after it failed. The daemon lists the container
// another start in flight made as well, and that one is left to its start.
class CreatedByAFailedStart : public ContainerDirSmTest,
                              public ::testing::WithParamInterface< bool > {};

TEST_P( CreatedByAFailedStart, IsRemovedAndAStartInFlightKeepsItsOwn ) {
   bool const eventInFlight = GetParam();
   configure( "a" );
   configure( "b" );
   create();
   runtime->hold = true;
   startPass();
   ASSERT_EQ( runtime->held(), ( Strings{ "runContainer(a)", "runContainer(b)" } ) );
   runtime->containers = { "a", "b" };
   runtime->records[ "a" ].status = "created";
   runtime->failNext( "runContainer", RuntimeException( "no space left on device" ) );
   ContainerEvent const created{ "a", "create", std::nullopt };
   if ( eventInFlight ) {
      runtime->emit( created );
   }
   runtime->complete( 0 );
   time.runReady();
   // Found at once when the event came first: recorded as there until removed.
   ASSERT_EQ( statuses->container( "a" )->state(), eventInFlight
                                                      ? ContainerRunState::containerRunning_
                                                      : ContainerRunState::containerStartFailed_ );
   if ( !eventInFlight ) {
      runtime->emit( created );
   }
   for ( int i = 0; i < 3; ++i ) {
      runtime->completeAll();
      time.runReady();
   }
   EXPECT_EQ( runtime->argsOf( "removeContainer" ), Strings{ "a,true" } );
   EXPECT_EQ( runtime->argsOf( "runContainer" ), Strings{ "a" } ) << "a again, b never";
   for ( String n : { "a", "b" } ) {
      EXPECT_EQ( statuses->container( n )->state(), ContainerRunState::containerRunning_ ) << n;
   }
}

INSTANTIATE_TEST_SUITE_P( CreateEvent, CreatedByAFailedStart, ::testing::Bool(),
                          []( auto const & info ) {
                             return info.param ? "WhileStarting" : "AfterTheStartFailed";
                          } );

} // namespace
} // namespace Quayd
