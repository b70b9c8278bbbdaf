#pragma once
// Samples the resources of every running container at the configured
// interval (quayd/config usageInterval, 0: off) and writes them into its
// status, all of one round together, so that they reach the state database
// in one transaction. CPU is the share between two consecutive rounds. A
// container that is stopped or removed loses its usage. A round still out
// when the next one is due is let run: the next waits its turn. A round due
// while the runtime makes or takes down containers waits until it is done,
// looking again each second: a bring-up has the daemon's CPU first.
//
// A container whose memory in use stays above its memoryCeiling for
// memoryCeilingRounds rounds in a row is restarted (stopped with its stop
// timeout, then started), raised as QUAYD_CONTAINER_MEMORY_RESTART and
// counted in its status's memoryRestarts.
//
// Reads "quayd/config" (usageInterval, memoryCeilingRounds) and the
// consolidated configuration (memoryCeiling); writes
// "cell/0/quayd/container/status|<name>":
//   usage {"cpuPercent":50.1,"memoryUsage":104857600,...}  memoryRestarts "1"
#include <map>

#include "model/Model.h"
#include "platform/Reactor.h"
#include "platform/Sinks.h"
#include "platform/Task.h"

namespace Quayd {

extern LogDescriptor const QUAYD_CONTAINER_MEMORY_RESTART;

// "1.5GiB", "200MiB", "12KiB", "80B": as `docker stats` shows sizes.
String sizeText( uint64_t bytes );

class UsageSampler : public PtrInterface {
 public:
   UsageSampler( Ptr< QuaydConfig const > quaydConfig,
                 Ptr< ContainerConfigDir const > containerConfigDir,
                 Ptr< ContainerStatusDir > containerStatusDir,
                 Ptr< ContainerRuntimeInterface > runtime, Ptr< TaskScheduler > taskScheduler,
                 Sinks sinks );
   // Leaves no usage behind: nothing samples it any more.
   ~UsageSampler() override;

   void notificationsIs( bool on ) { reactor_.notificationsIs( on ); }

   void handleInterval();
   void handleRound();
   void handleSamples( UsageSampling::Samples samples );
   void handleContainerEvent( ContainerEvent const & event );

   static constexpr Seconds kBusyRecheck{ 1 };

 private:
   // What one container's earlier rounds left.
   struct Seen {
      std::optional< StatsSample > last;
      uint32_t overCeiling = 0; // rounds in a row
      bool restarting = false;
      String health;
   };
   bool running( ContainerStatus const & status ) const;
   void checkCeiling( String const & name, ContainerStatus & status, uint64_t used );
   void restart( String const & name, ContainerStatus & status, uint64_t used, uint64_t ceiling );
   void clearAll();

   Ptr< QuaydConfig const > quaydConfig_;
   Ptr< ContainerConfigDir const > containerConfigDir_;
   Ptr< ContainerStatusDir > containerStatusDir_;
   Ptr< ContainerRuntimeInterface > runtime_;
   Ptr< UsageSampling > sampling_;
   Ptr< TaskScheduler > taskScheduler_;
   Ptr< TimerTask > roundTask_;
   std::map< String, Seen > seen_;
   uint64_t eventSubscription_ = 0;
   std::shared_ptr< bool > alive_ = std::make_shared< bool >( true );
   Reactor reactor_;
   TraceHandle trace_;
   LogSink * log_;
};

} // namespace Quayd
