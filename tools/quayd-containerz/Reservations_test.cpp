#include "tools/quayd-containerz/Reservations.h"

#include <gtest/gtest.h>

namespace Quayd::Containerz {
namespace {

TEST( ReservationsTest, HoldsShareTheFreeSpaceAndReturnItWhenTheyGo ) {
   SpaceLedger ledger;
   uint64_t free = 100;
   auto const measured = [ & ] { return free; };
   auto a = ledger.reserve( 60, measured );
   ASSERT_TRUE( a );
   // 40 left: a second of 50 does not fit, one of 40 does, then nothing.
   EXPECT_FALSE( ledger.reserve( 50, measured ) );
   auto b = ledger.reserve( 40, measured );
   ASSERT_TRUE( b );
   EXPECT_FALSE( ledger.reserve( 1, measured ) );
   // Space the holds wrote is gone from the measure too: never below zero.
   free = 30;
   EXPECT_FALSE( ledger.reserve( 1, measured ) );
   b.reset();
   free = 100;
   EXPECT_EQ( ledger.reserved(), 60u );
   EXPECT_TRUE( ledger.reserve( 40, measured ) );
   a.reset();
   EXPECT_EQ( ledger.reserved(), 0u );
   // A measure that fails reserves nothing.
   EXPECT_THROW( ledger.reserve( 1, []() -> uint64_t { throw std::runtime_error( "gone" ); } ),
                 std::runtime_error );
   EXPECT_EQ( ledger.reserved(), 0u );
}

TEST( ReservationsTest, ANameIsClaimedByOneAtATime ) {
   Claims claims;
   auto a = claims.claim( "app:v1" );
   ASSERT_TRUE( a );
   EXPECT_FALSE( claims.claim( "app:v1" ) );
   auto b = claims.claim( "app:v2" );
   EXPECT_TRUE( b );
   a.reset();
   EXPECT_TRUE( claims.claim( "app:v1" ) );
}

} // namespace
} // namespace Quayd::Containerz
