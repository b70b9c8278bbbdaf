// The daemon's events, for DockerRuntime's subscribers.
#include <fmt/format.h>

#include "platform/docker/DockerRuntime.h"

namespace Quayd {

uint64_t DockerRuntime::containerEventsSubscribe( ContainerEventHandler handler ) {
   return subscribers_.add( std::move( handler ) );
}

void DockerRuntime::containerEventsUnsubscribe( uint64_t id ) { subscribers_.del( id ); }

void DockerRuntime::followEvents() {
   if ( !loop_ || events_ ) {
      return;
   }
   String const filters =
      fmt::format( R"({{"type":["container"],"label":["{}={}"]}})", kAgentLabel, kAgentLabelValue );
   events_ = std::make_unique< DaemonEvents >(
      *loop_, [ this ] { return socketPath(); },
      String( DockerApiClient::kVersionPath ) +
         "/events?filters=" + DockerApiClient::escape( filters ),
      [ this ]( ContainerEvent const & e ) { subscribers_.notify( e ); } );
}

} // namespace Quayd
