#include <gtest/gtest.h>

#include "platform/Task.h"
#include "platform/testing/VirtualTime.h"

namespace Quayd {
namespace {

using namespace std::chrono_literals;
using Testing::VirtualTime;

TEST( Task, HigherPrioritiesRunFirstAndFifoWithin ) {
   VirtualTime vt;
   std::vector< String > order;
   auto mk = [ & ]( int prio, String name ) {
      return makePtr< Task >( vt.scheduler(), TaskPriority( prio ), name,
                              [ &order, name ] { order.push_back( name ); } );
   };
   auto low = mk( 1, "low" ), a = mk( 3, "a" ), b = mk( 3, "b" ), high = mk( 5, "high" );
   low->scheduleTask();
   a->scheduleTask();
   b->scheduleTask();
   high->scheduleTask();
   a->scheduleTask(); // already scheduled: keeps its place
   vt.runReady();
   EXPECT_EQ( order, ( std::vector< String >{ "high", "a", "b", "low" } ) );
}

TEST( Task, UnscheduledOrDestroyedTasksDoNotRun ) {
   VirtualTime vt;
   int runs = 0;
   auto t = makePtr< Task >( vt.scheduler(), TaskPriority( 3 ), "t", [ & ] { ++runs; } );
   auto gone = makePtr< Task >( vt.scheduler(), TaskPriority( 3 ), "g", [ & ] { ++runs; } );
   t->scheduleTask();
   EXPECT_TRUE( t->taskScheduled() );
   t->unscheduleTask();
   gone->scheduleTask();
   gone.reset();
   vt.runReady();
   EXPECT_EQ( runs, 0 );
}

TEST( Task, ASelfReschedulingTaskRunsOncePerTurn ) {
   VirtualTime vt;
   int runs = 0;
   Ptr< Task > t;
   t = makePtr< Task >( vt.scheduler(), TaskPriority( 3 ), "loop", [ & ] {
      if ( ++runs < 3 ) {
         t->scheduleTask();
      }
   } );
   t->scheduleTask();
   vt.turn();
   EXPECT_EQ( runs, 1 );
   vt.turn();
   EXPECT_EQ( runs, 2 );
}

TEST( TimerTask, FiresOnlyWhenDueInVirtualTime ) {
   VirtualTime vt;
   std::vector< TimePoint > fired;
   auto t = makePtr< TimerTask >( vt.scheduler(), TaskPriority( 3 ), "poll",
                                  [ & ] { fired.push_back( vt.now() ); } );
   TimePoint const start = vt.now();
   t->scheduleTaskDelay( 60s );
   vt.advance( 59s );
   EXPECT_TRUE( fired.empty() );
   vt.advance( 1s );
   ASSERT_EQ( fired.size(), 1u );
   EXPECT_EQ( fired[ 0 ] - start, 60s );
   EXPECT_FALSE( t->armed() );
}

TEST( TimerTask, InfiniteDelayDisarms ) {
   VirtualTime vt;
   int runs = 0;
   auto t = makePtr< TimerTask >( vt.scheduler(), TaskPriority( 3 ), "t", [ & ] { ++runs; } );
   t->scheduleTaskDelay( 1s );
   t->scheduleTaskDelay( kInfiniteDelay );
   vt.advance( 1h );
   EXPECT_EQ( runs, 0 );
   EXPECT_FALSE( t->deadline() );
}

TEST( TimerTask, LowestDelayKeepsTheEarlierDeadline ) {
   VirtualTime vt;
   auto t = makePtr< TimerTask >( vt.scheduler(), TaskPriority( 3 ), "t", [] {} );
   TimePoint const start = vt.now();
   t->scheduleTaskLowestDelay( 30s );
   vt.advance( 10s );
   t->scheduleTaskLowestDelay( 30s ); // later than pending: ignored
   EXPECT_EQ( *t->deadline() - start, 30s );
   t->scheduleTaskLowestDelay( 5s ); // earlier: wins
   EXPECT_EQ( *t->deadline() - start, 15s );
   t->scheduleTaskDelay( 30s ); // plain delay replaces
   EXPECT_EQ( *t->deadline() - start, 40s );
}

TEST( TimerTask, HandlerMayRearmAndTimersFireInDeadlineOrder ) {
   VirtualTime vt;
   std::vector< String > order;
   Ptr< TimerTask > a, b;
   int aRuns = 0;
   a = makePtr< TimerTask >( vt.scheduler(), TaskPriority( 3 ), "a", [ & ] {
      order.push_back( "a" );
      if ( ++aRuns < 3 ) {
         a->scheduleTaskDelay( 30s );
      }
   } );
   b = makePtr< TimerTask >( vt.scheduler(), TaskPriority( 3 ), "b",
                             [ & ] { order.push_back( "b" ); } );
   a->scheduleTaskDelay( 30s );
   b->scheduleTaskDelay( 45s );
   vt.advance( 2min );
   EXPECT_EQ( order, ( std::vector< String >{ "a", "b", "a", "a" } ) );
}

} // namespace
} // namespace Quayd
