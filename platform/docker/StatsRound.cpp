#include "platform/docker/StatsRound.h"

#include "platform/docker/DockerApiClient.h"

namespace Quayd {

void StatsRound::sample( std::vector< String > const & names, Done done ) {
   cancel();
   samples_.clear();
   done_ = std::move( done );
   if ( names.empty() ) {
      done_( {} );
      return;
   }
   // Without one-shot the daemon waits a second for a second sample.
   for ( auto const & name : names ) {
      samples_[ name ];
      pending_[ name ] = client_.send( "GET",
                                       "/containers/" + DockerApiClient::escape( name ) +
                                          "/stats?stream=false&one-shot=true",
                                       "", kLimitSec, [ this, name ]( AsyncApiClient::Result r ) {
                                          if ( r.status == 200 ) {
                                             samples_[ name ] = parseStats( r.body );
                                          }
                                          pending_.erase( name );
                                          if ( pending_.empty() ) {
                                             // The callback may start the next round.
                                             auto done = std::move( done_ );
                                             done( std::move( samples_ ) );
                                          }
                                       } );
   }
}

void StatsRound::cancel() {
   for ( auto const & [ name, id ] : pending_ ) {
      client_.cancel( id );
   }
   pending_.clear();
}

} // namespace Quayd
