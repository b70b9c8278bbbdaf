// sampling and top: how often the agent samples its containers' resources,
// and what it found, refreshed as `docker stats` does.
#include <chrono>
#include <iomanip>
#include <ostream>
#include <thread>

#include "tools/quyctl/Command.h"
#include "tools/quyctl/ContainerView.h"
#include "tools/quyctl/Quyctl.h"

namespace Quayd::Quyctl {

namespace {

// What is sampled of each running container, from the status.
nlohmann::json usageRows( Redis::Connection & c ) {
   nlohmann::json rows = nlohmann::json::array();
   for ( auto const & name : containerNames( c ) ) {
      ContainerStatus status;
      status.pathIs( Cell::path( Paths::kContainerStatus, 0 ) + "|" + name );
      readFields( c, status );
      if ( status.usage().sampled ) {
         rows.push_back( { { "name", name }, { "usage", status.usage() } } );
      }
   }
   return rows;
}

String pair( uint64_t a, uint64_t b ) { return shortSize( a ) + "/" + shortSize( b ); }

// NAME CPU% MEM USAGE / LIMIT MEM% NET I/O BLOCK I/O PIDS, in 80 columns.
void printUsageTable( std::ostream & out, nlohmann::json const & rows ) {
   out << std::left << std::setw( 14 ) << "NAME" << std::setw( 7 ) << "CPU%" << std::setw( 18 )
       << "MEM USAGE / LIMIT" << std::setw( 7 ) << "MEM%" << std::setw( 15 ) << "NET I/O"
       << std::setw( 15 ) << "BLOCK I/O"
       << "PIDS\n";
   for ( auto const & row : rows ) {
      ContainerUsage const u = row[ "usage" ];
      String const memPercent =
         u.memoryLimit ? percentText( 100.0 * double( u.memoryUsage ) / double( u.memoryLimit ) )
                       : "-";
      out << std::setw( 14 ) << fit( row[ "name" ], 13 ) << std::setw( 7 )
          << fit( percentText( u.cpuPercent ), 6 ) << std::setw( 18 )
          << shortSize( u.memoryUsage ) + " / " + shortSize( u.memoryLimit ) << std::setw( 7 )
          << fit( memPercent, 6 ) << std::setw( 15 ) << pair( u.netRx, u.netTx ) << std::setw( 15 )
          << pair( u.blockRead, u.blockWrite ) << u.pids << "\n";
   }
}

int top( Redis::Connection & c, bool json, bool noStream, Streams const & s ) {
   // Each refresh reads what the agent wrote; it samples at its own interval.
   constexpr auto kRefresh = std::chrono::seconds( 1 );
   for ( ;; ) {
      nlohmann::json const rows = usageRows( c );
      if ( json ) {
         s.out << jsonText( { { "containers", rows } } ) << "\n";
      } else {
         if ( !noStream ) {
            s.out << "\033[H\033[2J"; // home and clear, as a terminal refresh
         }
         printUsageTable( s.out, rows );
      }
      s.out.flush();
      if ( noStream ) {
         return kOk;
      }
      std::this_thread::sleep_for( kRefresh );
   }
}

} // namespace

void addUsageCommands( CLI::App & app, Parsed & p ) {
   CLI::App * sampling = command( app, "sampling",
                                  "how often the containers' resources are sampled, and when "
                                  "memory over a ceiling restarts a container",
                                  "quyctl sampling --interval 10 --ceiling-rounds 3" );
   addDryRun( sampling, p );
   auto interval = std::make_shared< std::optional< uint32_t > >();
   auto rounds = std::make_shared< std::optional< uint32_t > >();
   sampling
      ->add_option( "--interval", *interval, "seconds between two rounds (default 10; 0: off)" )
      ->type_name( "SECONDS" )
      ->check( CLI::Range( 0, 86400 ).description( "" ) );
   sampling
      ->add_option( "--ceiling-rounds", *rounds,
                    "rounds in a row over its memory ceiling that restart a container "
                    "(default 3)" )
      ->type_name( "N" )
      ->check( CLI::Range( 1, 1000 ).description( "" ) );
   sampling->callback( [ &p, interval, rounds ] {
      if ( !*interval && !*rounds ) {
         throw UsageError( "sampling needs --interval or --ceiling-rounds" );
      }
      std::vector< String > hset{ "HSET", Paths::kQuaydConfig };
      if ( *interval ) {
         hset.insert( hset.end(), { "usageInterval", std::to_string( **interval ) } );
      }
      if ( *rounds ) {
         hset.insert( hset.end(), { "memoryCeilingRounds", std::to_string( **rounds ) } );
      }
      p.edit = fixed( { Paths::kQuaydConfig }, { hset } );
   } );

   CLI::App * topCmd = command( app, "top",
                                "each running container's CPU, memory, network and block I/O "
                                "and PIDs, refreshed until interrupted",
                                "quyctl top --no-stream" );
   auto json = std::make_shared< bool >( false );
   auto noStream = std::make_shared< bool >( false );
   topCmd->add_flag( "--json", *json, "print JSON, one document per refresh" );
   topCmd->add_flag( "--no-stream", *noStream, "print once and exit" );
   topCmd->callback( [ &p, json, noStream ] {
      p.query = [ json, noStream ]( Redis::Connection & c, Streams const & s ) {
         return top( c, *json, *noStream, s );
      };
   } );
}

} // namespace Quayd::Quyctl
