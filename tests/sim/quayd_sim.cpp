// quayd_sim: runs seeded scenarios of the whole agent and checks its
// invariants. A failure prints the command that replays it; the replay with
// --trace adds the agent's trace of the last steps.
//
//   quayd_sim --first 1 --count 1000 --steps 200   # seeds 1 to 1000
//   quayd_sim --random 500                         # 500 fresh seeds
//   quayd_sim --seed 42 --steps 200 --trace        # replay one
#include <chrono>
#include <cstdlib>
#include <deque>
#include <iostream>
#include <map>

#include <boost/program_options.hpp>

#include "platform/Trace.h"
#include "tests/sim/Driver.h"

namespace po = boost::program_options;
using namespace Quayd;

namespace {

// Keeps the trace of the last few steps.
class StepTrace : public TraceSink {
 public:
   explicit StepTrace( size_t keep ) : keep_( keep ) {}
   bool enabled( String const &, int level ) const override { return level <= 5; }
   void write( String const & module, int level, String const & text ) override {
      steps_.back().push_back( fmt::format( "   [{} {}] {}", module, level, text ) );
   }
   void stepIs( size_t i ) {
      steps_.push_back( { i ? fmt::format( "-- step {}", i ) : String( "-- settling" ) } );
      while ( steps_.size() > keep_ ) {
         steps_.pop_front();
      }
   }
   void print() const {
      for ( auto const & step : steps_ ) {
         for ( auto const & line : step ) {
            std::cout << line << "\n";
         }
      }
   }

 private:
   size_t keep_;
   std::deque< std::vector< String > > steps_{ { "-- start" } };
};

String replayCommand( char const * self, uint64_t seed, size_t steps, bool inFlight ) {
   return fmt::format( "{} --seed {} --steps {}{} --trace", self, seed, steps,
                       inFlight ? "" : " --no-in-flight" );
}

bool report( char const * self, uint64_t seed, size_t steps, bool inFlight, size_t shown,
             Sim::ScenarioResult const & r ) {
   if ( r.violations.empty() ) {
      return true;
   }
   std::cout << "seed " << seed << " failed "
             << ( r.failedStep ? fmt::format( "at step {}", r.failedStep ) : String( "at rest" ) )
             << ":\n";
   for ( auto const & v : r.violations ) {
      std::cout << "  " << v.invariant << ": " << v.detail << "\n";
   }
   size_t const from = r.steps.size() > shown ? r.steps.size() - shown : 0;
   std::cout << "  last steps:\n";
   for ( size_t i = from; i < r.steps.size(); ++i ) {
      std::cout << "    " << i + 1 << ": " << r.steps[ i ] << "\n";
   }
   std::cout << "  replay: " << replayCommand( self, seed, steps, inFlight ) << "\n";
   return false;
}

} // namespace

int main( int argc, char ** argv ) {
   uint64_t first = 1, count = 0, random = 0, seed = 0;
   size_t steps = 200;
   bool trace = false;
   bool calm = false;
   size_t keep = 0;
   po::options_description desc( "Usage: quayd_sim [options]" );
   desc.add_options()( "help,h", "this text" )( "first", po::value( &first ),
                                                "first seed" )( "count", po::value( &count ),
                                                                "seeds first .. first+count-1" )(
      "random", po::value( &random ), "this many fresh random seeds" )( "seed", po::value( &seed ),
                                                                        "one seed" )(
      "steps", po::value( &steps ),
      "steps a scenario" )( "trace", po::bool_switch( &trace ),
                            "with --seed: print the trace of the last steps" )(
      "keep", po::value( &keep ),
      "with --trace: this many steps and their trace, even on success" )(
      "no-in-flight", po::bool_switch( &calm ),
      "no faults landed deliberately with runtime calls out (seeds found before they were)" );
   po::variables_map vm;
   try {
      po::store( po::parse_command_line( argc, argv, desc ), vm );
      po::notify( vm );
   } catch ( std::exception const & e ) {
      std::cerr << "quayd_sim: " << e.what() << "\n" << desc;
      return 2;
   }
   if ( vm.count( "help" ) ) {
      std::cout << desc;
      return 0;
   }
   bool const inFlight = !calm;

   std::vector< uint64_t > seeds;
   if ( vm.count( "seed" ) ) {
      seeds.push_back( seed );
   }
   for ( uint64_t s = first; s < first + count; ++s ) {
      seeds.push_back( s );
   }
   std::random_device fresh;
   for ( uint64_t i = 0; i < random; ++i ) {
      seeds.push_back( ( uint64_t( fresh() ) << 32 ) | fresh() );
   }

   auto const start = std::chrono::steady_clock::now();
   size_t passed = 0, failed = 0;
   // Scenarios where each fault landed with calls out, and between a run's
   // create and its start: the steps that aim there must get there.
   std::vector< String > const inFlightKinds{ "restart", "the daemon dies", "quy disabled" };
   std::map< String, std::pair< size_t, size_t > > landed;
   // One scenario, with the trace of its last steps kept when asked for.
   auto const scenario = [ & ]( uint64_t s, StepTrace * traces ) {
      std::function< void( size_t ) > marks;
      if ( traces ) {
         marks = [ traces ]( size_t i ) { traces->stepIs( i ); };
      }
      return Sim::runScenario( s, steps, marks, traces, inFlight );
   };
   for ( uint64_t s : seeds ) {
      StepTrace traces( keep ? keep : 4 );
      auto const result = scenario( s, trace ? &traces : nullptr );
      for ( auto const & kind : inFlightKinds ) {
         bool out = false, between = false;
         for ( auto const & step : result.steps ) {
            if ( step.find( kind + " with " ) != String::npos ) {
               out = true;
               between = between || step.ends_with( "a start after its create" );
            }
         }
         landed[ kind ].first += out;
         landed[ kind ].second += between;
      }
      bool const ok =
         report( argv[ 0 ], s, steps, inFlight, std::max< size_t >( keep, 12 ), result );
      ok ? ++passed : ++failed;
      if ( !ok && !trace ) {
         scenario( s, &traces ); // the same again, traced: a run is deterministic
      }
      if ( !ok || ( trace && keep ) ) {
         std::cout << "  trace of the last steps:\n";
         traces.print();
      }
   }
   double const seconds =
      std::chrono::duration< double >( std::chrono::steady_clock::now() - start ).count();
   std::cout << fmt::format( "{} scenarios of {} steps in {:.1f} s ({:.0f} a second)\n",
                             seeds.size(), steps, seconds,
                             seeds.size() / std::max( seconds, 1e-9 ) );
   std::cout << "scenarios with calls out at:";
   for ( auto const & kind : inFlightKinds ) {
      std::cout << fmt::format( " {} {} ({} between a create and its start);", kind,
                                landed[ kind ].first, landed[ kind ].second );
   }
   std::cout << "\n" << passed << " passed, " << failed << " failed\n";
   return failed ? 1 : 0;
}
