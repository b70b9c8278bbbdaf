#pragma once
// The agent the host creates: mounts the profile "Quayd", creates the one
// runtime object and the top-level state machines, and from then on is
// driven by entity changes and tasks only.
#include "agent/SubAgentCandidateSm.h"
#include "agent/SubAgentSm.h"
#include "agent/SubAgents.h"
#include "model/Model.h"
#include "platform/Agent.h"
#include "platform/Host.h"

namespace Quayd {

class Agent : public CAgent {
 public:
   Agent( String const & name, Host host, RuntimeFactory runtimeFactory,
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
   Host host_;
   RuntimeFactory runtimeFactory_;
   ContainerzServerFactory serverFactory_;
   Ptr< ContainerzServerInterface > server_;
   TraceHandle trace_;
};

Ptr< CAgent > agentFactory( String const & name, Host host, RuntimeFactory runtimeFactory,
                            ContainerzServerFactory serverFactory = nullptr );
Ptr< Agent > AgentIs( String const & name, Host host, RuntimeFactory runtimeFactory,
                      ContainerzServerFactory serverFactory = nullptr );

} // namespace Quayd
