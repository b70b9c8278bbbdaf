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
   // Requests out at once: enough to keep the daemon busy, not swamped.
   static constexpr size_t kMaxInFlight = 8;
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
