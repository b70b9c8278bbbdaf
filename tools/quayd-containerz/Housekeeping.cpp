#include "tools/quayd-containerz/Housekeeping.h"

#include <algorithm>

#include "tools/quayd-containerz/ContainerzServer.h"

using nlohmann::json;

namespace Quayd::Containerz {

std::optional< std::time_t > daemonTime( String const & rfc3339 ) {
   struct tm tm {};
   char const * end = strptime( rfc3339.c_str(), "%Y-%m-%dT%H:%M:%S", &tm );
   if ( !end || tm.tm_year + 1900 < 1970 ) {
      return std::nullopt;
   }
   return timegm( &tm );
}

Housekeeper::Housekeeper( ContainerzServer & server, std::chrono::seconds stoppedGrace )
    : server_( server ), grace_( stoppedGrace ), thread_( [ this ] { run(); } ) {}

Housekeeper::~Housekeeper() {
   {
      std::lock_guard lock( mutex_ );
      stopping_ = true;
   }
   wake_.notify_all();
   thread_.join();
}

void Housekeeper::run() {
   // A short grace is swept at half its length, so that nothing stays much longer.
   auto const every =
      std::clamp< std::chrono::seconds >( grace_ / 2, std::chrono::seconds( 1 ), kSweepEvery );
   std::unique_lock lock( mutex_ );
   while ( !wake_.wait_for( lock, every, [ this ] { return stopping_; } ) ) {
      lock.unlock();
      server_.restoreReplaced();
      server_.removeStopped( grace_ );
      lock.lock();
   }
}

void ContainerzServer::removeStopped( std::chrono::seconds grace ) {
   try {
      std::lock_guard lock( changing_ );
      DockerApiClient api( socketPath_ );
      json const stopped =
         api.call( "GET", "/containers/json?all=1&filters=" +
                             DockerApiClient::escape(
                                json{ { "status", { "exited", "dead" } } }.dump() ) );
      std::time_t const now = std::time( nullptr );
      for ( auto const & c : stopped ) {
         String const id = c.value( "Id", "" );
         String const name =
            c.contains( "Names" ) && !c[ "Names" ].empty() ? c[ "Names" ][ 0 ].get< String >() : "";
         if ( name.find( kReplaced ) != String::npos ) {
            continue; // brought back by restoreReplaced, never removed
         }
         auto const inspected = inspectContainer( api, id );
         if ( !inspected ) {
            continue;
         }
         auto const ended =
            daemonTime( inspected->value( "/State/FinishedAt"_json_pointer, String() ) );
         if ( ended && now - *ended >= grace.count() ) {
            api.request( "DELETE", "/containers/" + id );
         }
      }
   } catch ( std::exception const & ) {
      // The daemon may be restarting; the next sweep tries again.
   }
}

} // namespace Quayd::Containerz
