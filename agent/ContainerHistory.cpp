#include "agent/ContainerHistory.h"

#include <ctime>

namespace Quayd {

String wallClockText( std::chrono::system_clock::time_point t ) {
   std::time_t const s = std::chrono::system_clock::to_time_t( t );
   std::tm tm{};
   gmtime_r( &s, &tm );
   char text[ 32 ];
   std::strftime( text, sizeof text, "%Y-%m-%dT%H:%M:%SZ", &tm );
   return text;
}

void ContainerHistory::add( String const & reason, String const & detail ) {
   // Written only by the agent, but an earlier version may have left
   // anything there: what is not a list starts a new one.
   nlohmann::json entries = nlohmann::json::parse( status_->history(), nullptr, false );
   if ( !entries.is_array() ) {
      entries = nlohmann::json::array();
   }
   entries.push_back( { { "time", wallClockText( std::chrono::system_clock::now() ) },
                        { "reason", reason },
                        { "detail", detail.substr( 0, kMaxDetail ) } } );
   while ( entries.size() > kMaxEntries ) {
      entries.erase( entries.begin() );
   }
   // Replaced: the detail may hold any bytes.
   status_->historyIs( entries.dump( -1, ' ', false, nlohmann::json::error_handler_t::replace ) );
}

void ContainerHistory::eventIs( ContainerEvent const & event ) {
   if ( event.action == "start" ) {
      add( kStarted );
   } else if ( event.action == "die" ) {
      add( kExited, event.exitCode ? fmt::format( "code {}", *event.exitCode ) : String() );
   } else if ( event.action == "oom" ) {
      add( kOomKilled );
   }
}

} // namespace Quayd
