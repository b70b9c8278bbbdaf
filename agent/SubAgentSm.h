#pragma once
#include "agent/SubAgents.h"
#include "model/Model.h"
#include "platform/Host.h"
#include "platform/Reactor.h"
#include "platform/Sinks.h"
#include "platform/Task.h"

namespace Quayd {

extern LogDescriptor const QUAYD_DOCKER_NOT_INSTALLED;

// Acts on the resolver's two values: stops the sub-agent that is no longer
// configured, and starts the one named as running when it is also the
// configured one, polling once a minute while the runtime is not installed.
class SubAgentSm : public PtrInterface {
 public:
   SubAgentSm( Ptr< SubAgentCandidate const > subAgentCandidate, Ptr< SubAgents > subAgents,
               Ptr< Gnoi::Config const > gnoiConfig, Ptr< QuaydConfig const > quaydConfig,
               Ptr< QuaydStatus const > quaydStatus, Ptr< QuaydStatus const > quaydGlobalStatus,
               Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crtStatus,
               Ptr< ContainerRuntimeInterface > runtime,
               Ptr< Ip::AllVrfStatusLocal const > allVrfStatusLocal,
               Ptr< TaskScheduler > taskScheduler, Sinks sinks, Toggles toggles = {} );
   ~SubAgentSm() override;

   void notificationsIs( bool on );
   void pollTaskIs( Ptr< TaskScheduler > const & scheduler, TaskPriority priority,
                    String const & name );
   void pollTaskDel();

   void startConfiguredSubAgent();
   bool maybeDisableQuySubAgent() const;
   // With no sub-agent configured or running the runtime must be down.
   void ensureRuntimeDown();
   static constexpr Seconds kStopRetry{ 30 };
   void stopUnconfiguredSubAgent();

   Ptr< SubAgentCandidate const > const & subAgentCandidate() const { return subAgentCandidate_; }
   Ptr< SubAgents > const & subAgents() const { return subAgents_; }
   Ptr< ContainerRuntimeInterface > const & runtime() const { return runtime_; }
   Ptr< TaskScheduler > const & taskScheduler() const { return taskScheduler_; }
   Duration pollInterval() const { return pollInterval_; }
   Ptr< TimerTask > const & pollTask() const { return pollTask_; }
   Ptr< Gnoi::Config const > const & gnoiConfig() const { return gnoiConfig_; }
   Ptr< Gnoi::Containerz::ContainerRuntimeStatus > const & crtStatus() const { return crtStatus_; }
   Ptr< Ip::AllVrfStatusLocal const > const & allVrfStatusLocal() const {
      return allVrfStatusLocal_;
   }
   Ptr< QuaydConfig const > const & quaydConfig() const { return quaydConfig_; }
   Ptr< QuaydStatus const > const & quaydStatus() const { return quaydStatus_; }
   Ptr< QuaydStatus const > const & quaydGlobalStatus() const { return quaydGlobalStatus_; }

 private:
   Ptr< SubAgentCandidate const > subAgentCandidate_;
   Ptr< SubAgents > subAgents_;
   Ptr< ContainerRuntimeInterface > runtime_;
   Ptr< TaskScheduler > taskScheduler_;
   Duration pollInterval_ = std::chrono::seconds( 60 );
   Ptr< TimerTask > pollTask_;
   Ptr< TimerTask > stopRetryTask_;
   Ptr< Gnoi::Config const > gnoiConfig_;
   Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crtStatus_;
   Ptr< Ip::AllVrfStatusLocal const > allVrfStatusLocal_;
   Ptr< QuaydConfig const > quaydConfig_;
   Ptr< QuaydStatus const > quaydStatus_;
   Ptr< QuaydStatus const > quaydGlobalStatus_;
   Toggles toggles_;
   Reactor reactor_;
   TraceHandle trace_;
   LogSink * log_;
};

Ptr< SubAgentSm >
subAgentSmFactory( Ptr< SubAgentCandidate const > subAgentCandidate, Ptr< SubAgents > subAgents,
                   Ptr< Gnoi::Config const > gnoiConfig, Ptr< QuaydConfig const > quaydConfig,
                   Ptr< QuaydStatus const > quaydStatus, Ptr< QuaydStatus const > quaydGlobalStatus,
                   Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crtStatus,
                   Ptr< ContainerRuntimeInterface > runtime,
                   Ptr< Ip::AllVrfStatusLocal const > allVrfStatusLocal,
                   Ptr< TaskScheduler > taskScheduler, Sinks sinks, Toggles toggles = {} );
inline constexpr auto SubAgentSmIs = subAgentSmFactory;

} // namespace Quayd
