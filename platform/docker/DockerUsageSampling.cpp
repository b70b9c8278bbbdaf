#include "platform/docker/DockerUsageSampling.h"

#include "platform/docker/DockerApiClient.h"

namespace Quayd {

DockerUsageSampling::DockerUsageSampling( EventLoop & loop, std::function< String() > socketPath )
    : socketPath_( std::move( socketPath ) ), client_( loop, socketPath_(), kMaxInFlight ),
      round_( client_ ) {}

void DockerUsageSampling::sample( std::vector< String > const & names, Done done ) {
   client_.socketPathIs( socketPath_() );
   round_.sample( names, std::move( done ) );
}

void DockerUsageSampling::restart( String const & name,
                                   std::function< void( String const & ) > done ) {
   client_.socketPathIs( socketPath_() );
   // Without `t` the daemon stops the container with its own stop timeout.
   client_.send( "POST", "/containers/" + DockerApiClient::escape( name ) + "/restart", "",
                 kRestartLimitSec, [ done = std::move( done ) ]( AsyncApiClient::Result r ) {
                    if ( r.status == 204 ) {
                       done( "" );
                    } else if ( r.status == 0 ) {
                       done( r.error );
                    } else {
                       done( "status " + std::to_string( r.status ) + ": " +
                             r.body.substr( 0, 1024 ) );
                    }
                 } );
}

} // namespace Quayd
