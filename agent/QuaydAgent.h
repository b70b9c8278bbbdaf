#pragma once
// The agent the host creates: mounts the profile "Quayd", creates the one
// runtime object and the top-level state machines, and from then on is
// driven by entity changes and tasks only.
#include "agent/ContainerzSm.h"
#include "agent/QuaydSm.h"
#include "model/Model.h"
#include "platform/Agent.h"
#include "platform/Log.h"
#include "platform/Reactor.h"
#include "platform/Trace.h"

namespace Quayd {

bool toggleOCGNOIContainerzEnabled();
bool toggleQuaydAgentEnabled();

extern LogHandle const QUAYD_DOCKER_NOT_INSTALLED;

// Decides which sub-agent is configured (from configuration) and which runs
// (from status), and publishes both in the candidate. When nothing runs, the
// configured sub-agent is named as running: a pending start-up.
class SubAgentCandidateSm : public PtrInterface {
 public:
   SubAgentCandidateSm( Ptr< QuaydConfig const > quaydConfig, Ptr< QuaydStatus const > quaydStatus,
                        Ptr< QuaydStatus const > quaydGlobalStatus,
                        Ptr< Gnoi::Config const > gnoiConfig,
                        Ptr< Gnoi::Containerz::ContainerRuntimeStatus const > crtStatus,
                        Ptr< SubAgentCandidate > subAgentCandidate );

   void notificationsIs( bool on );
   void resolveConfiguredSubAgent();
   void resolveRunningSubAgent();

 private:
   Ptr< QuaydConfig const > quaydConfig_;
   Ptr< QuaydStatus const > quaydStatus_;
   Ptr< QuaydStatus const > quaydGlobalStatus_;
   Ptr< Gnoi::Config const > gnoiConfig_;
   Ptr< Gnoi::Containerz::ContainerRuntimeStatus const > crtStatus_;
   Ptr< SubAgentCandidate > subAgentCandidate_;
   Reactor reactor_;
};

Ptr< SubAgentCandidateSm > subAgentCandidateSmFactory(
   Ptr< QuaydConfig const > quaydConfig, Ptr< QuaydStatus const > quaydStatus,
   Ptr< QuaydStatus const > quaydGlobalStatus, Ptr< Gnoi::Config const > gnoiConfig,
   Ptr< Gnoi::Containerz::ContainerRuntimeStatus const > crtStatus,
   Ptr< SubAgentCandidate > subAgentCandidate );

// The two sub-agent state machines: the runtime manager of the quy sub-agent,
// kept for the life of the agent, and the Containerz machine, present only
// while that sub-agent runs. A creating call with the arguments the present
// child was built with returns it unchanged.
class SubAgents : public PtrInterface {
 public:
   Ptr< QuaydSm > const & quySm() const { return quySm_; }
   Ptr< ContainerzSm > const & containerzSm() const { return containerzSm_; }

   Ptr< QuaydSm > quySmIs(
      Ptr< QuaydConfig const > quaydConfig, Ptr< QuaydStatus > quaydStatus,
      Ptr< QuaydStatus > quaydGlobalStatus, Ptr< PersistentPathConfig const > persistentPathConfig,
      Ptr< PersistentPathStatus > persistentPathStatus,
      Ptr< ImageLoadConfigDir const > imageLoadConfig, Ptr< ImageLoadStatusDir > imageLoadStatus,
      Ptr< RegistryConfigDir const > registryConfig, Ptr< RegistryStatusDir > registryStatus,
      Ptr< ContainerProfileConfigDir const > containerProfileConfig,
      Ptr< ContainerConfigDir const > containerConfig, Ptr< ContainerStatusDir > containerStatus,
      Ptr< ContainerRuntimeInterface > runtime, Ptr< TaskScheduler > taskScheduler );
   Ptr< QuaydSm > quySmDel();
   Ptr< ContainerzSm > containerzSmIs( Ptr< Gnoi::Containerz::Config const > containerzConfig,
                                       Ptr< Ip::AllVrfStatusLocal const > allVrfStatusLocal,
                                       Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crtStatus,
                                       Ptr< ContainerRuntimeInterface > runtime,
                                       Ptr< TaskScheduler > taskScheduler );
   Ptr< ContainerzSm > containerzSmDel();
   // The gRPC service the Containerz sub-agent runs beside its runtime, and
   // its status; without them it runs none.
   void containerzServerIs( Ptr< Gnoi::Containerz::ServerStatus > status,
                            Ptr< ContainerzServerInterface > server );

 private:
   Ptr< QuaydSm > quySm_;
   Ptr< ContainerzSm > containerzSm_;
   Ptr< Gnoi::Containerz::ServerStatus > serverStatus_;
   Ptr< ContainerzServerInterface > server_;
};

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
               Ptr< TaskScheduler > taskScheduler );
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
   Reactor reactor_;
};

Ptr< SubAgentSm >
subAgentSmFactory( Ptr< SubAgentCandidate const > subAgentCandidate, Ptr< SubAgents > subAgents,
                   Ptr< Gnoi::Config const > gnoiConfig, Ptr< QuaydConfig const > quaydConfig,
                   Ptr< QuaydStatus const > quaydStatus, Ptr< QuaydStatus const > quaydGlobalStatus,
                   Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crtStatus,
                   Ptr< ContainerRuntimeInterface > runtime,
                   Ptr< Ip::AllVrfStatusLocal const > allVrfStatusLocal,
                   Ptr< TaskScheduler > taskScheduler );
inline constexpr auto SubAgentSmIs = subAgentSmFactory;

class Agent : public CAgent {
 public:
   Agent( String const & name, RuntimeFactory runtimeFactory,
          ContainerzServerFactory serverFactory = nullptr );
   ~Agent() override;

   char const * typeData() const override { return "Quayd::Agent"; }
   void doMountsComplete( MountStatus mountStatus, Ptr< EntityManager > const & em ) override;
   void doInit() override;

   Ptr< SubAgentCandidate > subAgentCandidateIs();
   Ptr< SubAgents > subAgentsIs();
   Ptr< SubAgentCandidateSm > subAgentCandidateSmIs();
   Ptr< SubAgentSm > subAgentSmIs();
   Ptr< SubAgentCandidate > subAgentCandidateDel();
   Ptr< SubAgents > subAgentsDel();
   Ptr< SubAgentCandidateSm > subAgentCandidateSmDel();
   Ptr< SubAgentSm > subAgentSmDel();

   Ptr< QuaydConfig const > const & quaydConfig() const { return quaydConfig_; }
   Ptr< QuaydStatus > const & quaydStatus() const { return quaydStatus_; }
   Ptr< QuaydStatus > const & quaydGlobalStatus() const { return quaydGlobalStatus_; }
   Ptr< Gnoi::Config const > const & gnoiConfig() const { return gnoiConfig_; }
   Ptr< Gnoi::Containerz::ContainerRuntimeStatus > const & crtStatus() const { return crtStatus_; }
   Ptr< Ip::AllVrfStatusLocal const > const & allVrfStatusLocal() const {
      return allVrfStatusLocal_;
   }
   Ptr< SubAgentCandidate > const & subAgentCandidate() const { return subAgentCandidate_; }
   Ptr< SubAgentCandidateSm > const & subAgentCandidateSm() const { return subAgentCandidateSm_; }
   Ptr< ContainerRuntimeInterface > const & runtime() const { return runtime_; }
   Ptr< TaskScheduler > const & taskScheduler() const { return taskScheduler_; }
   Ptr< SubAgents > const & subAgents() const { return subAgents_; }
   Ptr< SubAgentSm > const & subAgentSm() const { return subAgentSm_; }

 private:
   Ptr< QuaydConfig const > quaydConfig_;
   Ptr< QuaydStatus > quaydStatus_;
   Ptr< QuaydStatus > quaydGlobalStatus_;
   Ptr< Gnoi::Config const > gnoiConfig_;
   Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crtStatus_;
   Ptr< Ip::AllVrfStatusLocal const > allVrfStatusLocal_;
   Ptr< SubAgentCandidate > subAgentCandidate_;
   Ptr< SubAgentCandidateSm > subAgentCandidateSm_;
   Ptr< ContainerRuntimeInterface > runtime_;
   Ptr< TaskScheduler > taskScheduler_;
   Ptr< SubAgents > subAgents_;
   Ptr< SubAgentSm > subAgentSm_;
   bool candidatePublished_ = false;
   RuntimeFactory runtimeFactory_;
   ContainerzServerFactory serverFactory_;
   Ptr< ContainerzServerInterface > server_;
};

Ptr< CAgent > agentFactory( String const & name, RuntimeFactory runtimeFactory,
                            ContainerzServerFactory serverFactory = nullptr );
Ptr< Agent > AgentIs( String const & name, RuntimeFactory runtimeFactory,
                      ContainerzServerFactory serverFactory = nullptr );

} // namespace Quayd
