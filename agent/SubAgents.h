#pragma once
#include "agent/ContainerzSm.h"
#include "agent/QuaydSm.h"
#include "model/Model.h"

namespace Quayd {

// The two sub-agent state machines: the runtime manager of the quy sub-agent,
// kept for the life of the agent, and the Containerz machine, present only
// while that sub-agent runs. A creating call with the arguments the present
// child was built with returns it unchanged.
class SubAgents : public PtrInterface {
 public:
   // The Containerz machine's data root and URL probes use the host's.
   SubAgents( FileSystem & files, ProcessRunner & processes )
       : files_( files ), processes_( processes ) {}

   Ptr< QuaydSm > const & quySm() const { return quySm_; }
   Ptr< ContainerzSm > const & containerzSm() const { return containerzSm_; }

   Ptr< QuaydSm > quySmIs( QuaydSmParts parts );
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
   FileSystem & files_;
   ProcessRunner & processes_;
   Ptr< QuaydSm > quySm_;
   Ptr< ContainerzSm > containerzSm_;
   Ptr< Gnoi::Containerz::ServerStatus > serverStatus_;
   Ptr< ContainerzServerInterface > server_;
};

} // namespace Quayd
