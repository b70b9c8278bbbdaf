// A container's start in flight, held by the fake runtime until the test
// ends it: what happens to the container meanwhile is taken up once it ends,
// or, with the machine gone, the start is abandoned and its container removed.
#include "agent/ContainerSmTest.h"

namespace Quayd {
namespace {

using CRS = ContainerRunState;
using Strings = std::vector< String >;

class ContainerInFlightTest : public ContainerSmTest {
 protected:
   ContainerInFlightTest() { runtime->hold = true; }

 public:
   // The daemon answers late, each call, whatever the machine did meanwhile.
   void answerLate() {
      for ( int i = 0; i < 3 && !heldChanges().empty(); ++i ) {
         runtime->completeAll();
         time.runReady();
      }
   }
   // The calls that change something: inspects only look.
   static Strings changesOf( Strings const & calls ) {
      Strings out;
      for ( auto const & call : calls ) {
         if ( !call.starts_with( "inspect" ) ) {
            out.push_back( call );
         }
      }
      return out;
   }
   Strings changingCalls() const { return changesOf( runtime->calls() ); }
   Strings heldChanges() const { return changesOf( runtime->held() ); }
};

TEST_F( ContainerInFlightTest, AStartInFlightIsNeverSentTwice ) {
   start();
   EXPECT_EQ( heldChanges(), Strings{ "runContainer(web)" } );
   EXPECT_EQ( state(), CRS::containerStarting_ );
   // Everything that looks at the container again meanwhile.
   sm->handleEnabled();
   sm->handleFound();
   sm->handleDaemonEvent( { "web", "start", std::nullopt } );
   time.advance( std::chrono::minutes( 5 ) );
   EXPECT_EQ( heldChanges(), Strings{ "runContainer(web)" } );
   runtime->complete();
   time.runReady();
   EXPECT_EQ( state(), CRS::containerRunning_ );
   EXPECT_EQ( runtime->count( "runContainer" ), 1u );
   EXPECT_TRUE( heldChanges().empty() );
}

// A container the daemon holds exited is removed in flight (the many a
// daemon restart leaves go out together), once, then run again.
TEST_F( ContainerInFlightTest, AStaleContainerIsRemovedInFlightOnceThenRunAgain ) {
   runningBefore();
   runtime->records[ "web" ].status = "exited";
   start();
   EXPECT_EQ( heldChanges(), Strings{ "removeContainer(web)" } );
   sm->handleEnabled();
   sm->handleDaemonEvent();
   EXPECT_EQ( heldChanges(), Strings{ "removeContainer(web)" } );
   runtime->complete();
   time.runReady();
   EXPECT_EQ( heldChanges(), Strings{ "runContainer(web)" } );
   runtime->complete();
   time.runReady();
   EXPECT_EQ( state(), CRS::containerRunning_ );
}

// The daemon's word is read in flight after an event; events meanwhile ask
// once more, since the answer may predate them.
TEST_F( ContainerInFlightTest, EventsWhileALookIsOutAreReadOnceMore ) {
   start();
   runtime->complete();
   time.runReady();
   runtime->records[ "web" ].status = "running";
   for ( char const * action : { "start", "die", "start" } ) {
      sm->handleDaemonEvent( { "web", action, std::nullopt } );
   }
   EXPECT_EQ( runtime->held(), Strings{ "inspectContainer(web)" } );
   runtime->complete();
   EXPECT_EQ( status->daemonState(), "running" );
   EXPECT_EQ( runtime->held(), Strings{ "inspectContainer(web)" } );
   runtime->records[ "web" ].status = "exited";
   runtime->complete();
   EXPECT_TRUE( runtime->held().empty() );
   EXPECT_EQ( status->daemonState(), "exited" );
}

class Meanwhile;

struct MeanwhileCase {
   char const * story;
   std::function< void( Meanwhile & ) > meanwhile;
   Strings calls; // the runtime's calls but look-ups, once every start ended
   CRS state;
   String image; // the image of the last run
};

void PrintTo( MeanwhileCase const & c, std::ostream * os ) { *os << c.story; }

class Meanwhile : public ContainerInFlightTest,
                  public ::testing::WithParamInterface< MeanwhileCase > {
 public:
   using ContainerSmTest::edit;
   using ContainerSmTest::runtime;
   using ContainerSmTest::sm;
   using ContainerSmTest::status;
};

TEST_P( Meanwhile, IsTakenUpWhenTheStartEnds ) {
   auto const & c = GetParam();
   start();
   c.meanwhile( *this );
   answerLate();
   EXPECT_EQ( changingCalls(), c.calls );
   EXPECT_EQ( status->state(), c.state );
   ASSERT_TRUE( runtime->lastRun );
   EXPECT_EQ( runtime->lastRun->image, c.image );
}

INSTANTIATE_TEST_SUITE_P(
   InFlight, Meanwhile,
   ::testing::Values(
      MeanwhileCase{
         "Disabled",
         []( Meanwhile & t ) { t.edit( []( ContainerConfig & c ) { c.enabledIs( false ); } ); },
         { "runContainer(web)", "stopContainer(web)", "removeContainer(web,true)" },
         CRS::containerStopped_,
         "busybox:1" },
      // Two edits meanwhile: the last one runs, once, after the first run
      // is removed.
      MeanwhileCase{ "EditedTwiceTheLaterConfigurationWins",
                     []( Meanwhile & t ) {
                        for ( char const * image : { "busybox:2", "busybox:3" } ) {
                           t.edit( [ image ]( ContainerConfig & c ) {
                              ContainerParams p = c.params();
                              p.image = image;
                              c.paramsIs( p );
                           } );
                        }
                     },
                     { "runContainer(web)", "stopContainer(web)", "removeContainer(web,true)",
                       "runContainer(web)" },
                     CRS::containerRunning_,
                     "busybox:3" },
      // Its configuration deleted under a running directory: taken down in
      // flight once the start ends, and only then said to be retired.
      MeanwhileCase{ "Retired",
                     []( Meanwhile & t ) {
                        auto retired = std::make_shared< int >( 0 );
                        t.sm->retire( [ retired, &t ] {
                           ++*retired;
                           EXPECT_TRUE( t.heldChanges().empty() );
                           EXPECT_EQ( t.status->state(), CRS::containerStopped_ );
                        } );
                        t.answerLate();
                        EXPECT_EQ( *retired, 1 );
                     },
                     { "runContainer(web)", "stopContainer(web)", "removeContainer(web,true)" },
                     CRS::containerStopped_,
                     "busybox:1" },
      // Deleted: the start is abandoned (it never calls back) and what it
      // may have made is removed at once.
      MeanwhileCase{ "Deleted",
                     []( Meanwhile & t ) {
                        t.sm = nullptr;
                        EXPECT_TRUE( t.heldChanges().empty() );
                        t.runtime->lastRun = runContainerParamsFactory();
                     },
                     { "runContainer(web)", "stopContainer(web)", "removeContainer(web,true)" },
                     CRS::containerStopped_,
                     "" },
      // The runtime disabled: the daemon is going, the removal fails, and
      // the status goes on recording the container for the next clean-up.
      MeanwhileCase{ "RuntimeDisabled",
                     []( Meanwhile & t ) {
                        t.runtime->failAlways( "removeContainer", RuntimeException( "gone" ) );
                        t.runtime->failAlways( "inspectContainer", RuntimeException( "gone" ) );
                        t.sm = nullptr;
                        EXPECT_TRUE( t.heldChanges().empty() );
                        t.runtime->lastRun = runContainerParamsFactory();
                     },
                     { "runContainer(web)", "stopContainer(web)", "removeContainer(web,true)" },
                     CRS::containerRunning_,
                     "" } ),
   []( auto const & info ) { return String( info.param.story ); } );

// A disable's stop and removal in flight: sent once whatever happens
// meanwhile, the configuration it ends on taken up once the daemon answered;
// a machine destroyed meanwhile abandons it and removes the container at once.
class RemovalMeanwhile;

struct RemovalCase {
   char const * story;
   std::function< void( RemovalMeanwhile & ) > meanwhile;
   Strings calls; // the runtime's calls but look-ups, from the disable on
   CRS state;
};

void PrintTo( RemovalCase const & c, std::ostream * os ) { *os << c.story; }

class RemovalMeanwhile : public ContainerInFlightTest,
                         public ::testing::WithParamInterface< RemovalCase > {
 public:
   using ContainerSmTest::edit;
   using ContainerSmTest::runtime;
   using ContainerSmTest::sm;
};

TEST_P( RemovalMeanwhile, IsTakenUpWhenTheRemovalEnds ) {
   auto const & c = GetParam();
   runtime->hold = false;
   start();
   ASSERT_EQ( state(), CRS::containerRunning_ );
   runtime->hold = true;
   runtime->clearCalls();
   edit( []( ContainerConfig & cfg ) { cfg.enabledIs( false ); } );
   EXPECT_EQ( heldChanges(), ( Strings{ "stopContainer(web)", "removeContainer(web)" } ) );
   EXPECT_EQ( state(), CRS::containerRunning_ ) << "there until the daemon answered";
   c.meanwhile( *this );
   answerLate();
   EXPECT_EQ( changingCalls(), c.calls );
   EXPECT_EQ( status->state(), c.state );
}

INSTANTIATE_TEST_SUITE_P(
   InFlight, RemovalMeanwhile,
   ::testing::Values( RemovalCase{ "EditedAndEnabledAgainTheLaterConfigurationRunsOnce",
                                   []( RemovalMeanwhile & t ) {
                                      t.edit( []( ContainerConfig & c ) {
                                         ContainerParams p = c.params();
                                         p.image = "busybox:2";
                                         c.paramsIs( p );
                                         c.enabledIs( true );
                                      } );
                                      t.sm->handleEnabled();
                                      EXPECT_EQ( t.heldChanges().size(), 2u );
                                   },
                                   { "stopContainer(web)", "removeContainer(web,true)",
                                     "runContainer(web)" },
                                   CRS::containerRunning_ },
                      RemovalCase{ "Deleted",
                                   []( RemovalMeanwhile & t ) {
                                      t.sm = nullptr;
                                      EXPECT_TRUE( t.heldChanges().empty() );
                                   },
                                   { "stopContainer(web)", "removeContainer(web,true)",
                                     "stopContainer(web)", "removeContainer(web,true)" },
                                   CRS::containerStopped_ } ),
   []( auto const & info ) { return String( info.param.story ); } );

// An agent killed while a start was out leaves its status starting, and
// maybe the container the start made: the next agent starts it again, and
// trusts nothing of the one cut short.
TEST_F( ContainerInFlightTest, AStartCutShortByARestartIsMadeAgain ) {
   runtime->hold = false;
   status->paramsIs( config->params() );
   status->stateIs( CRS::containerStarting_ );
   runtime->containers.insert( "web" );
   start();
   EXPECT_EQ( runtime->count( "runContainer" ), 1u );
   EXPECT_EQ( state(), CRS::containerRunning_ );
}

} // namespace
} // namespace Quayd
