#include "tools/quayd-containerz/UpdateQueue.h"

#include <future>
#include <vector>

#include <gtest/gtest.h>

namespace Quayd::Containerz {
namespace {

TEST( UpdateQueueTest, UpdatesRunOneAfterTheOtherWithABoundedWait ) {
   int const last = int( UpdateQueue::kMaxWaiting );
   std::mutex m;
   std::vector< int > ran;
   int running = 0, mostAtOnce = 0;
   std::promise< void > started, release, allDone;
   std::shared_future< void > const released = release.get_future().share();
   {
      UpdateQueue q;
      auto job = [ & ]( int i ) {
         return [ &, i ] {
            {
               std::lock_guard l( m );
               mostAtOnce = std::max( mostAtOnce, ++running );
            }
            if ( i == 0 ) {
               started.set_value();
            }
            released.wait();
            std::lock_guard l( m );
            --running;
            ran.push_back( i );
            if ( i == last ) {
               allDone.set_value();
            }
         };
      };
      ASSERT_TRUE( q.submit( job( 0 ) ) );
      started.get_future().wait();
      // One runs; kMaxWaiting wait; one more is refused.
      for ( int i = 1; i <= last; ++i ) {
         ASSERT_TRUE( q.submit( job( i ) ) ) << i;
      }
      EXPECT_FALSE( q.submit( job( last + 1 ) ) );
      release.set_value();
      allDone.get_future().wait();
   }
   EXPECT_EQ( mostAtOnce, 1 );
   ASSERT_EQ( ran.size(), size_t( last + 1 ) );
   for ( int i = 0; i <= last; ++i ) {
      EXPECT_EQ( ran[ i ], i );
   }
}

} // namespace
} // namespace Quayd::Containerz
