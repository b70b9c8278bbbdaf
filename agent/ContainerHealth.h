#pragma once
// Restarts a container whose health check the daemon reports unhealthy,
// when its configuration asks for it (`restartUnhealthy`): stopped with its
// stop timeout, then started again as it was created. Acts on the daemon's
// "health_status: unhealthy" event alone, never polls. Each restart is
// traced, counted in the status (unhealthyRestarts), kept in the history and
// raised as QUAYD_CONTAINER_UNHEALTHY_RESTART with the check's last output.
#include "agent/ContainerHistory.h"
#include "platform/Sinks.h"

namespace Quayd {

extern LogDescriptor const QUAYD_CONTAINER_UNHEALTHY_RESTART;

class ContainerHealth {
 public:
   static constexpr char const * kUnhealthyAction = "health_status: unhealthy";

   ContainerHealth( ContainerRuntimeInterface & runtime, ContainerStatus & status,
                    ContainerHistory & history, Sinks sinks )
       : runtime_( runtime ), status_( status ), history_( history ),
         trace_( sinks.trace, "ContainerHealth" ), log_( sinks.log ) {}

   // The daemon reported the container unhealthy. False when a restart it
   // asked for left the container stopped: the caller runs it again.
   bool handleUnhealthy( bool restartUnhealthy );

 private:
   ContainerRuntimeInterface & runtime_;
   ContainerStatus & status_;
   ContainerHistory & history_;
   TraceHandle trace_;
   LogSink * log_;
};

} // namespace Quayd
