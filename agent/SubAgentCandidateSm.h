#pragma once
#include "model/Model.h"
#include "platform/Host.h"
#include "platform/Reactor.h"

namespace Quayd {

// Decides which sub-agent is configured (from configuration) and which runs
// (from status), and publishes both in the candidate. When nothing runs, the
// configured sub-agent is named as running: a pending start-up.
class SubAgentCandidateSm : public PtrInterface {
 public:
   SubAgentCandidateSm( Ptr< QuaydConfig const > quaydConfig, Ptr< QuaydStatus const > quaydStatus,
                        Ptr< QuaydStatus const > quaydGlobalStatus,
                        Ptr< Gnoi::Config const > gnoiConfig,
                        Ptr< Gnoi::Containerz::ContainerRuntimeStatus const > crtStatus,
                        Ptr< SubAgentCandidate > subAgentCandidate, Sinks sinks,
                        Toggles toggles = {} );

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
   Toggles toggles_;
   Reactor reactor_;
   TraceHandle trace_;
};

Ptr< SubAgentCandidateSm > subAgentCandidateSmFactory(
   Ptr< QuaydConfig const > quaydConfig, Ptr< QuaydStatus const > quaydStatus,
   Ptr< QuaydStatus const > quaydGlobalStatus, Ptr< Gnoi::Config const > gnoiConfig,
   Ptr< Gnoi::Containerz::ContainerRuntimeStatus const > crtStatus,
   Ptr< SubAgentCandidate > subAgentCandidate, Sinks sinks, Toggles toggles = {} );

} // namespace Quayd
