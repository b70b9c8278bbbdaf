#pragma once
// The agent the host creates: mounts the profile "Quayd", creates the one
// runtime object and the top-level state machines, and from then on is
// driven by entity changes and tasks only.
#include "model/Model.h"
#include "platform/Agent.h"
#include "platform/Reactor.h"
#include "platform/Trace.h"

namespace Quayd {

bool toggleOCGNOIContainerzEnabled();
bool toggleQuaydAgentEnabled();

// Decides which sub-agent is configured (from configuration) and which runs
// (from status), and publishes both in the candidate. When nothing runs, the
// configured sub-agent is named as running: a pending start-up.
class SubAgentCandidateSm : public PtrInterface {
 public:
   SubAgentCandidateSm( Ptr< QuaydConfig const > quaydConfig,
                        Ptr< QuaydStatus const > quaydStatus,
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

class Agent : public CAgent {
 public:
   explicit Agent( String const & name );
   ~Agent() override;

   char const * typeData() const override { return "Quayd::Agent"; }
   void doMountsComplete( MountStatus mountStatus, Ptr< EntityManager > const & em ) override;
   void doInit() override;

   Ptr< SubAgentCandidate > subAgentCandidateIs();
   Ptr< SubAgentCandidateSm > subAgentCandidateSmIs();
   Ptr< SubAgentCandidate > subAgentCandidateDel();
   Ptr< SubAgentCandidateSm > subAgentCandidateSmDel();

   Ptr< QuaydConfig const > const & quaydConfig() const { return quaydConfig_; }
   Ptr< QuaydStatus > const & quaydStatus() const { return quaydStatus_; }
   Ptr< QuaydStatus > const & quaydGlobalStatus() const { return quaydGlobalStatus_; }
   Ptr< Gnoi::Config const > const & gnoiConfig() const { return gnoiConfig_; }
   Ptr< Gnoi::Containerz::ContainerRuntimeStatus > const & crtStatus() const {
      return crtStatus_;
   }
   Ptr< Ip::AllVrfStatusLocal const > const & allVrfStatusLocal() const {
      return allVrfStatusLocal_;
   }
   Ptr< SubAgentCandidate > const & subAgentCandidate() const { return subAgentCandidate_; }
   Ptr< SubAgentCandidateSm > const & subAgentCandidateSm() const {
      return subAgentCandidateSm_;
   }
   Ptr< TaskScheduler > const & taskScheduler() const { return taskScheduler_; }

 private:
   Ptr< QuaydConfig const > quaydConfig_;
   Ptr< QuaydStatus > quaydStatus_;
   Ptr< QuaydStatus > quaydGlobalStatus_;
   Ptr< Gnoi::Config const > gnoiConfig_;
   Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crtStatus_;
   Ptr< Ip::AllVrfStatusLocal const > allVrfStatusLocal_;
   Ptr< SubAgentCandidate > subAgentCandidate_;
   Ptr< SubAgentCandidateSm > subAgentCandidateSm_;
   Ptr< TaskScheduler > taskScheduler_;
   bool candidatePublished_ = false;
};

Ptr< CAgent > agentFactory( String const & name );
Ptr< Agent > AgentIs( String const & name );

} // namespace Quayd
