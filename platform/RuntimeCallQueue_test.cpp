// Runtime calls in flight on the virtual loop: the bound, one container's
// calls in the order made, completions only from the loop, and cancelled
// calls that never call back.
#include "platform/RuntimeCallQueue.h"

#include <gtest/gtest.h>

#include "platform/testing/VirtualTime.h"

namespace Quayd {
namespace {

struct Fixture {
   Testing::VirtualTime time;
   RuntimeCallQueue queue{ time.scheduler(), 2 };
   std::map< String, RuntimeCallQueue::Finish > out; // by call, its finish
   std::vector< String > started, done;

   // A call `what` of container `container`, out until the test ends it.
   Ptr< RuntimeCall > call( String const & container, String const & what ) {
      return queue.push(
         container,
         [ this, what ]( RuntimeCallQueue::Finish finish ) {
            started.push_back( what );
            out[ what ] = std::move( finish );
            return [ this, what ] { out.erase( what ); };
         },
         [ this, what ]( std::exception_ptr f ) { done.push_back( what + ( f ? " !" : "" ) ); } );
   }
   void end( String const & what, bool fails = false ) {
      auto finish = std::move( out.at( what ) );
      out.erase( what );
      finish( fails ? std::make_exception_ptr( RuntimeException( "no" ) ) : nullptr );
   }
};

TEST( RuntimeCallQueue, BoundedAndOneContainersCallsInTheOrderMade ) {
   Fixture f;
   auto a1 = f.call( "a", "run a" );
   auto a2 = f.call( "a", "remove a" );
   auto b = f.call( "b", "run b" );
   auto c = f.call( "c", "run c" );
   // a's removal waits for its run; c for a slot.
   EXPECT_EQ( f.started, ( std::vector< String >{ "run a", "run b" } ) );
   EXPECT_EQ( f.queue.inFlight(), 2u );
   f.end( "run b", true );
   EXPECT_EQ( f.started.back(), "run c" );
   f.end( "run a" );
   EXPECT_EQ( f.started.back(), "remove a" );
   // Ended calls call back from the loop only.
   EXPECT_TRUE( f.done.empty() );
   f.time.runReady();
   EXPECT_EQ( f.done, ( std::vector< String >{ "run a", "run b !" } ) );
}

TEST( RuntimeCallQueue, ACancelledCallNeverCallsBack ) {
   Fixture f;
   auto out = f.call( "a", "run a" );
   auto ended = f.call( "b", "run b" );
   auto waiting = f.call( "c", "run c" );
   // Waiting: never started; ended but not yet told: never told; out:
   // abandoned, its slot given on.
   waiting = nullptr;
   f.end( "run b" );
   ended = nullptr;
   EXPECT_FALSE( f.time.scheduler()->hasReadyTasks() ) << "nothing is left to tell";
   out->cancel();
   EXPECT_FALSE( f.out.count( "run a" ) );
   auto next = f.call( "d", "run d" );
   EXPECT_EQ( f.started, ( std::vector< String >{ "run a", "run b", "run d" } ) );
   f.end( "run d" );
   f.time.runReady();
   EXPECT_EQ( f.done, ( std::vector< String >{ "run d" } ) );
}

TEST( RuntimeCallQueue, ACallThatEndsAtOnceCallsBackLater ) {
   Testing::VirtualTime time;
   RuntimeCallQueue queue{ time.scheduler(), 1 };
   std::vector< String > done;
   auto refused = queue.push(
      "a",
      []( RuntimeCallQueue::Finish ) -> std::function< void() > { throw RuntimeException( "no" ); },
      [ & ]( std::exception_ptr f ) { done.push_back( f ? "refused" : "ok" ); } );
   auto next = queue.push(
      "b",
      []( RuntimeCallQueue::Finish finish ) {
         finish( nullptr );
         return std::function< void() >();
      },
      [ & ]( std::exception_ptr f ) { done.push_back( f ? "refused" : "ok" ); } );
   EXPECT_TRUE( done.empty() );
   time.runReady();
   EXPECT_EQ( done, ( std::vector< String >{ "refused", "ok" } ) );
   EXPECT_EQ( queue.inFlight() + queue.waiting(), 0u );
}

} // namespace
} // namespace Quayd
