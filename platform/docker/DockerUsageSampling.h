#pragma once
// Usage rounds on a real dockerd: the one-shot stats calls of StatsRound and
// the restart request, all through the asynchronous client on the loop, at
// the daemon's socket as the runtime knows it at each call.
#include <functional>
#include <memory>

#include "platform/UsageSampling.h"
#include "platform/docker/AsyncApiClient.h"
#include "platform/docker/StatsRound.h"

namespace Quayd {

class DockerUsageSampling : public UsageSampling {
 public:
   // Requests out at once. The daemon answers every waiting stats call at
   // its collector's next tick (once a second), so the calls wait rather
   // than work: with 8 out a round of 100 containers took 12 s, with 64 out
   // it takes two ticks. The bound keeps the sockets few, not the daemon idle.
   static constexpr size_t kMaxInFlight = 64;
   // A restart waits for the container's stop timeout, which may be long.
   static constexpr long kRestartLimitSec = 600;

   DockerUsageSampling( EventLoop & loop, std::function< String() > socketPath );

   void sample( std::vector< String > const & names, Done done ) override;
   bool inProgress() const override { return round_.inProgress(); }
   void cancel() override { round_.cancel(); }
   void restart( String const & name, std::function< void( String const & ) > done ) override;

 private:
   std::function< String() > socketPath_;
   AsyncApiClient client_;
   StatsRound round_;
};

} // namespace Quayd
