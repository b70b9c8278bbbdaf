#include "tools/quyctl/ContainerView.h"

#include <ctime>
#include <iomanip>
#include <ostream>
#include <set>
#include <sstream>

#include "model/Model.h"
#include "platform/ContainerStats.h"
#include "tools/quyctl/Command.h"

namespace Quayd::Quyctl {

std::vector< String > containerNames( Redis::Connection & c ) {
   std::set< String > names;
   for ( String const & dir :
         { String( Paths::kContainerConfig ), Cell::path( Paths::kContainerStatus, 0 ) } ) {
      for ( auto const & key : c.scan( Redis::globEscape( dir + "|" ) + "*" ) ) {
         names.insert( key.substr( dir.size() + 1 ) );
      }
   }
   return { names.begin(), names.end() };
}

std::optional< int64_t > uptimeSeconds( String const & startedAt, TimePoint now ) {
   std::tm tm{};
   std::istringstream in( startedAt );
   in >> std::get_time( &tm, "%Y-%m-%dT%H:%M:%S" );
   if ( in.fail() || tm.tm_year < 71 ) {
      return std::nullopt;
   }
   auto const started = std::chrono::system_clock::from_time_t( timegm( &tm ) );
   return std::max< int64_t >(
      0, std::chrono::duration_cast< std::chrono::seconds >( now - started ).count() );
}

String shortDuration( int64_t s ) {
   struct Unit {
      int64_t seconds;
      char name;
   };
   static constexpr Unit kUnits[] = { { 86400, 'd' }, { 3600, 'h' }, { 60, 'm' }, { 1, 's' } };
   for ( size_t i = 0; i + 1 < std::size( kUnits ); ++i ) {
      if ( s >= kUnits[ i ].seconds ) {
         auto const big = s / kUnits[ i ].seconds;
         auto const small = s % kUnits[ i ].seconds / kUnits[ i + 1 ].seconds;
         return std::to_string( big ) + kUnits[ i ].name + std::to_string( small ) +
                kUnits[ i + 1 ].name;
      }
   }
   return std::to_string( s ) + "s";
}

nlohmann::json containerRow( Redis::Connection & c, String const & name, TimePoint now ) {
   ContainerConfig config;
   config.pathIs( String( Paths::kContainerConfig ) + "|" + name );
   bool const configured = c.exists( config.path() );
   readFields( c, config );
   ContainerStatus status;
   status.pathIs( Cell::path( Paths::kContainerStatus, 0 ) + "|" + name );
   bool const known = c.exists( status.path() );
   readFields( c, status );
   nlohmann::json row{ { "name", name },
                       { "configured", configured },
                       { "enabled", configured && config.enabled() },
                       { "profile", config.profile() },
                       { "agentState", known ? nlohmann::json( status.state() ) : nullptr },
                       { "daemonState", status.daemonState() },
                       { "exitCode", status.exitCode() },
                       { "startedAt", status.startedAt() },
                       { "finishedAt", status.finishedAt() },
                       { "uptimeSeconds", nullptr },
                       { "restartCount", status.restartCount() },
                       { "image", status.params().image },
                       { "imageId", status.imageId() },
                       { "startAttempts", status.startAttempts() },
                       { "lastError", status.lastError() },
                       { "usage", status.usage() },
                       { "memoryCeiling", config.memoryCeiling() },
                       { "memoryRestarts", status.memoryRestarts() } };
   if ( status.daemonState() == "running" ) {
      if ( auto up = uptimeSeconds( status.startedAt(), now ) ) {
         row[ "uptimeSeconds" ] = *up;
      }
   }
   return row;
}

namespace {

// The daemon's state as a word that fits its column: "exited(137)".
String daemonColumn( nlohmann::json const & row ) {
   String const state = row[ "daemonState" ];
   if ( state == "exited" ) {
      return "exited(" + std::to_string( row[ "exitCode" ].get< int >() ) + ")";
   }
   return state.empty() ? "-" : state;
}

String agentColumn( nlohmann::json const & row ) {
   if ( row[ "agentState" ].is_null() ) {
      return "-";
   }
   String s = row[ "agentState" ];
   // containerRunning_ -> running
   if ( s.rfind( "container", 0 ) == 0 && s.size() > 10 ) {
      s = s.substr( 9, s.size() - 10 );
      s[ 0 ] = char( std::tolower( uint8_t( s[ 0 ] ) ) );
   }
   return s;
}

} // namespace

String fit( String const & text, size_t width ) {
   return text.size() <= width ? text : text.substr( 0, width - 1 ) + "~";
}

String shortSize( uint64_t bytes ) {
   ScaledBytes const s = scaleBytes( bytes );
   std::ostringstream out;
   out << std::fixed << std::setprecision( bytes < 1024 || s.value >= 100 ? 0 : 1 ) << s.value
       << s.unit;
   return out.str();
}

String percentText( double percent ) {
   std::ostringstream out;
   out << std::fixed << std::setprecision( 1 ) << percent;
   return out.str();
}

void printContainerTable( std::ostream & out, nlohmann::json const & rows ) {
   out << std::left << std::setw( 13 ) << "NAME" << std::setw( 4 ) << "CFG" << std::setw( 12 )
       << "AGENT" << std::setw( 12 ) << "DAEMON" << std::setw( 7 ) << "UP" << std::setw( 4 )
       << "RST" << std::setw( 4 ) << "TRY" << std::setw( 7 ) << "CPU%" << std::setw( 8 ) << "MEM"
       << "HEALTH\n";
   for ( auto const & row : rows ) {
      String const cfg = !row[ "configured" ] ? "-" : row[ "enabled" ] ? "on" : "off";
      String const up =
         row[ "uptimeSeconds" ].is_null() ? "-" : shortDuration( row[ "uptimeSeconds" ] );
      out << std::setw( 13 ) << fit( row[ "name" ], 12 ) << std::setw( 4 ) << cfg << std::setw( 12 )
          << fit( agentColumn( row ), 11 ) << std::setw( 12 ) << fit( daemonColumn( row ), 11 )
          << std::setw( 7 ) << fit( up, 6 ) << std::setw( 4 )
          << fit( std::to_string( row[ "restartCount" ].get< uint32_t >() ), 3 ) << std::setw( 4 )
          << fit( std::to_string( row[ "startAttempts" ].get< uint32_t >() ), 3 );
      auto const & usage = row[ "usage" ];
      if ( usage.is_null() ) {
         // Nothing sampled: the last error, if any, takes the usage columns.
         out << fit( row[ "lastError" ], 24 ) << "\n";
         continue;
      }
      String const health = usage[ "health" ];
      out << std::setw( 7 ) << fit( percentText( usage[ "cpuPercent" ] ), 6 ) << std::setw( 8 )
          << shortSize( usage[ "memoryUsage" ] ) << ( health.empty() ? "-" : health ) << "\n";
   }
}

} // namespace Quayd::Quyctl
