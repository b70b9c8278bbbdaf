#pragma once
// The last link of the runtime manager's chain: one ContainerSm per container
// that is configured or still has a status entry. Bringing every container up
// when the registries are up, and tearing every one down when the runtime
// manager writes stopping_, goes through a queue that a task drains one name
// per run; single configuration changes in between are applied at once. A
// teardown first stands every container down, so that none waiting for its
// turn starts again meanwhile.
// The daemon's events for a container refresh its status; one removed
// behind the agent's back is run again; when they start again (the daemon
// restarted), every container is evaluated again.
//
// Writes "cell/0/quayd/container/status": state "started_" and one element
// per container (see ContainerSm.h).
#include <map>

#include "agent/ContainerSm.h"
#include "model/Model.h"
#include "platform/Queue.h"
#include "platform/Reactor.h"
#include "platform/Task.h"

namespace Quayd {

class ContainerDirSm : public PtrInterface {
 public:
   ContainerDirSm( Ptr< RegistryStatusDir const > registryStatusDir,
                   Ptr< ContainerConfigDir const > containerConfigDir,
                   Ptr< ContainerStatusDir > containerStatusDir,
                   Ptr< ContainerRuntimeInterface > runtime, Ptr< TaskScheduler > taskScheduler,
                   ProcessRunner & processes, Sinks sinks,
                   Seconds startupConditionTimeout = ContainerSm::kDefaultStartupConditionTimeout );
   ~ContainerDirSm() override;

   void notificationsIs( bool on ) { reactor_.notificationsIs( on ); }

   Ptr< RegistryStatusDir const > const & registryStatusDir() const { return registryStatusDir_; }
   Ptr< ContainerConfigDir const > const & containerConfigDir() const {
      return containerConfigDir_;
   }
   Ptr< ContainerStatusDir > const & containerStatusDir() const { return containerStatusDir_; }
   Ptr< ContainerRuntimeInterface > const & runtime() const { return runtime_; }
   Ptr< TaskScheduler > const & taskScheduler() const { return taskScheduler_; }
   Ptr< Task > const & containerSmTask() const { return containerSmTask_; }

   std::map< String, Ptr< ContainerSm > > const & containerSm() const { return containerSm_; }
   Ptr< ContainerSm > containerSm( String const & name ) const;
   Ptr< ContainerSm > containerSmIs( Ptr< ContainerConfig const > const & config,
                                     Ptr< ContainerStatus > const & status,
                                     Ptr< ContainerRuntimeInterface > const & runtime,
                                     Ptr< TaskScheduler > const & taskScheduler );
   void containerSmDel( String const & name );
   // The machine of a container no longer configured is gone: so is its
   // status entry, unless the container could not be removed.
   void containerGone( String const & name, ContainerStatus const & status );

   void handleEnabled();
   void handleDisabled();
   void handleContainerConfig( String const & name );
   void handleContainerSm();
   void handleContainerEvent( ContainerEvent const & event );

   QUAYD_QUEUE( String, pendingContainer )
   // Between two attempts to remove a container that is no longer configured.
   static constexpr Seconds kLeftoverRetry{ 30 };

 private:
   void handleInitState();
   // Tries again to remove the containers whose removal failed.
   void handleLeftovers();
   // Gives a status to each container of ours the runtime holds that has
   // neither configuration nor status, so that it is removed. False when
   // the runtime could not list them (a retry is scheduled).
   bool recordUnknownContainers();

   Ptr< RegistryStatusDir const > registryStatusDir_;
   Ptr< ContainerConfigDir const > containerConfigDir_;
   Ptr< ContainerStatusDir > containerStatusDir_;
   Ptr< ContainerRuntimeInterface > runtime_;
   Ptr< TaskScheduler > taskScheduler_;
   ProcessRunner & processes_;
   Seconds startupConditionTimeout_;
   std::map< String, Ptr< ContainerSm > > containerSm_;
   Ptr< Task > containerSmTask_;
   Ptr< TimerTask > leftoverTask_;
   uint64_t eventSubscription_ = 0;
   Reactor reactor_;
   Sinks sinks_;
   TraceHandle trace_;
};

Ptr< ContainerDirSm > containerDirSmFactory(
   Ptr< RegistryStatusDir const > registryStatusDir,
   Ptr< ContainerConfigDir const > containerConfigDir, Ptr< ContainerStatusDir > containerStatusDir,
   Ptr< ContainerRuntimeInterface > runtime, Ptr< TaskScheduler > taskScheduler,
   ProcessRunner & processes, Sinks sinks,
   Seconds startupConditionTimeout = ContainerSm::kDefaultStartupConditionTimeout );

} // namespace Quayd
