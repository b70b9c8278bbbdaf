// The faults the simulator found with faults landed while runtime calls are
// out, each as the shortest story that shows it, and the seeds that found
// them.
#include "tests/sim/RegressionTest.h"

namespace Quayd::Sim {
namespace {

using namespace std::chrono_literals;

// A start the daemon's events starting again made before the retry of a
// failed one fell due left the retry armed: when the container then ended
// by itself, the retry ran it again though its policy left it exited
// (seed 797).
TEST_F( Regression, AStartBeforeItsRetryIsDueCancelsTheRetry ) {
   op.quy( true, false, 0 );
   ContainerEdit e = runs( "img1:1" );
   e.params.restartPolicy = "no";
   op.container( "a", e );
   // The daemon dies with the run out, before its create.
   ASSERT_TRUE( world.runUntil( 1min, [ & ] { return world.daemon->callsOut() > 0; } ) );
   world.daemon->die();
   world.run( 1s );
   world.daemon->revive();
   world.run( 10s );
   ASSERT_TRUE( world.daemon->exitBehind( "a", 1, false ) );
   world.run( 1min );
   EXPECT_TRUE( world.daemon->unsafeRuns().empty() ) << world.daemon->unsafeRuns().front();
   expectAtRest();
}

// A run abandoned before the daemon answered, the sub-agent going down: the
// agent cannot know whether it created its container, and keeps it recorded
// for the next start to remove, even once the runtime's record of the run
// is gone with a power cut (seed 2681619357320487277).
TEST_F( Regression, ARunAbandonedUnansweredStaysRecordedUntilALook ) {
   op.quy( true, false, 0 );
   world.run( 1min );
   world.daemon->die();
   op.container( "a", runs( "img1:1" ) );
   ASSERT_TRUE( world.runUntil( 1min, [ & ] { return world.daemon->callsOut() > 0; } ) );
   op.quy( false, false, 0 );
   world.run( 1min );
   world.daemon->runRecordLost();
   world.daemon->revive();
   expectAtRest();
   op.quy( true, false, 0 );
   expectAtRest();
   EXPECT_EQ( world.daemon->runs().at( "a" ), 1u );
}

// The seeds that found faults with faults landed while runtime calls are out,
// as every scenario lands them now. 300673 found that with the daemon hung,
// each round of removing containers no longer configured waited for every
// call to give up, longer than the round's retry, so that the loop never came
// to rest; 8957 a data root on flash that a stop could not delete mounted
// again as it was, with images nothing recorded.
class FoundBySeedInFlight : public ::testing::TestWithParam< std::pair< uint64_t, size_t > > {};

TEST_P( FoundBySeedInFlight, HoldsEveryInvariant ) {
   auto const [ seed, steps ] = GetParam();
   auto const r = runScenario( seed, steps );
   EXPECT_TRUE( r.violations.empty() ) << describe( r.violations );
}

INSTANTIATE_TEST_SUITE_P(
   Seeds, FoundBySeedInFlight,
   ::testing::Values( std::pair< uint64_t, size_t >{ 797, 200 },
                      std::pair< uint64_t, size_t >{ 300673, 200 },
                      std::pair< uint64_t, size_t >{ 2681619357320487277ull, 200 },
                      std::pair< uint64_t, size_t >{ 7517627823104863276ull, 200 },
                      std::pair< uint64_t, size_t >{ 3988926319911796070ull, 200 },
                      std::pair< uint64_t, size_t >{ 3247256955554347711ull, 200 },
                      std::pair< uint64_t, size_t >{ 18250331176405790545ull, 200 },
                      std::pair< uint64_t, size_t >{ 9583111175771647330ull, 200 },
                      std::pair< uint64_t, size_t >{ 285825714337004635ull, 200 },
                      std::pair< uint64_t, size_t >{ 8312, 200 },
                      std::pair< uint64_t, size_t >{ 8957, 200 } ) );

} // namespace
} // namespace Quayd::Sim
