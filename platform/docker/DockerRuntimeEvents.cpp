// The daemon's events, for DockerRuntime's subscribers, and its usage rounds.
#include <fmt/format.h>

#include "platform/docker/DockerRuntime.h"

namespace Quayd {

uint64_t DockerRuntime::containerEventsSubscribe( ContainerEventHandler handler ) {
   return subscribers_.add( std::move( handler ) );
}

void DockerRuntime::containerEventsUnsubscribe( uint64_t id ) { subscribers_.del( id ); }

Ptr< UsageSampling > DockerRuntime::usageSampling() {
   if ( loop_ && !usageSampling_ ) {
      usageSampling_ = makePtr< DockerUsageSampling >( *loop_, [ this ] { return socketPath(); } );
   }
   return usageSampling_;
}

void DockerRuntime::followEvents() {
   if ( !loop_ || events_ ) {
      return;
   }
   // Only the actions that change what a container's status shows: each event
   // costs its machine an inspect, and "attach" or "kill" come next to a
   // "start" or "die" that says it all. "create" alone tells of a container
   // that a failed start left behind. "health_status" takes each
   // "health_status: <status>"; "oom" tells a memory kill from a crash.
   String const filters = fmt::format(
      R"({{"type":["container"],"label":["{}={}"],)"
      R"("event":["create","start","die","pause","unpause","destroy","health_status","oom"]}})",
      kAgentLabel, kAgentLabelValue );
   events_ = std::make_unique< DaemonEvents >(
      *loop_, [ this ] { return socketPath(); },
      String( DockerApiClient::kVersionPath ) +
         "/events?filters=" + DockerApiClient::escape( filters ),
      [ this ]( ContainerEvent const & e ) { subscribers_.notify( e ); } );
}

} // namespace Quayd
