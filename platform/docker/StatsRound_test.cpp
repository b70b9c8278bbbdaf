// A round of samples against the daemon stand-in: every container answers
// once, a gone one has no sample, and a round given up never calls back.
#include "platform/docker/StatsRound.h"

#include <gtest/gtest.h>

#include "platform/docker/HeldDaemonTest.h"
#include "platform/posix/PosixEventLoop.h"

namespace Quayd {
namespace {

using namespace std::chrono_literals;

// "containers/NAME/stats": NAME's sample says its memory is 1000 × its length.
std::pair< int, String > stats( String const & path ) {
   String const name = path.substr( 11, path.rfind( '/' ) - 11 );
   if ( name == "gone" ) {
      return { 404, R"({"message": "No such container: gone"})" };
   }
   return { 200, R"({"memory_stats": {"usage": )" + std::to_string( name.size() * 1000 ) +
                    R"(}, "cpu_stats": {"online_cpus": 2}})" };
}

struct Fixture {
   PosixEventLoop loop;
   HeldDaemon daemon{ stats };
   AsyncApiClient client{ loop, daemon.path(), 2 };
   StatsRound round{ client };
};

TEST( StatsRound, EveryContainerAnswersOnceAndAGoneOneHasNoSample ) {
   Fixture f;
   f.daemon.releaseAll();
   std::vector< StatsRound::Samples > rounds;
   f.round.sample( { "a", "bb", "gone", "dddd" }, [ & ]( auto s ) { rounds.push_back( s ); } );
   ASSERT_TRUE( f.loop.runUntil( [ & ] { return !rounds.empty(); }, 10s ) );
   ASSERT_EQ( rounds.size(), 1u );
   std::map< String, uint64_t > memory;
   for ( auto const & [ name, s ] : rounds[ 0 ] ) {
      memory[ name ] = s ? s->memoryUsed : 0;
   }
   EXPECT_EQ( memory, ( std::map< String, uint64_t >{
                         { "a", 1000 }, { "bb", 2000 }, { "dddd", 4000 }, { "gone", 0 } } ) );
   EXPECT_FALSE( rounds[ 0 ].at( "gone" ) );
   EXPECT_FALSE( f.round.inProgress() );
}

TEST( StatsRound, ARoundGivenUpNeverCallsBack ) {
   Fixture f;
   int calls = 0;
   f.round.sample( { "a", "b", "c" }, [ & ]( auto ) { ++calls; } );
   ASSERT_TRUE( f.loop.runUntil( [ & ] { return f.daemon.held() == 2; }, 10s ) );
   // A new round replaces the one in progress.
   f.round.sample( { "x" }, [ & ]( auto s ) { calls += 10 * int( s.size() ); } );
   f.daemon.releaseAll();
   ASSERT_TRUE( f.loop.runUntil( [ & ] { return calls != 0; }, 10s ) );
   ASSERT_TRUE( f.loop.runUntil( [ & ] { return f.daemon.answered() >= 3; }, 10s ) );
   EXPECT_EQ( calls, 10 );
   EXPECT_EQ( f.client.inFlight() + f.client.waiting(), 0u );
}

} // namespace
} // namespace Quayd
