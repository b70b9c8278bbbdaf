#include "agent/SubAgents.h"

namespace Quayd {

Ptr< QuaydSm > SubAgents::quySmIs( QuaydSmParts parts ) {
   if ( quySm_ && quySm_->parts() == parts ) {
      return quySm_;
   }
   auto old = quySmDel();
   quySm_ = quaydSmFactory( std::move( parts ) );
   quySm_->notificationsIs( true );
   return quySm_;
}

Ptr< QuaydSm > SubAgents::quySmDel() {
   auto sm = std::exchange( quySm_, nullptr );
   if ( sm ) {
      sm->notificationsIs( false );
   }
   return sm;
}

Ptr< ContainerzSm >
SubAgents::containerzSmIs( Ptr< Gnoi::Containerz::Config const > containerzConfig,
                           Ptr< Ip::AllVrfStatusLocal const > allVrfStatusLocal,
                           Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crtStatus,
                           Ptr< ContainerRuntimeInterface > runtime,
                           Ptr< TaskScheduler > taskScheduler ) {
   ContainerzSm::Args const args{ containerzConfig, allVrfStatusLocal, crtStatus, runtime,
                                  taskScheduler,    serverStatus_,     server_ };
   if ( containerzSm_ && containerzSm_->args() == args ) {
      return containerzSm_;
   }
   // The old machine takes its runtime down before the new one brings it up.
   containerzSmDel();
   containerzSm_ =
      containerzSmFactory( std::move( containerzConfig ), std::move( allVrfStatusLocal ),
                           std::move( crtStatus ), std::move( runtime ), std::move( taskScheduler ),
                           files_, processes_, nullptr, serverStatus_, server_ );
   return containerzSm_;
}

void SubAgents::containerzServerIs( Ptr< Gnoi::Containerz::ServerStatus > status,
                                    Ptr< ContainerzServerInterface > server ) {
   serverStatus_ = std::move( status );
   server_ = std::move( server );
}

Ptr< ContainerzSm > SubAgents::containerzSmDel() { return std::exchange( containerzSm_, nullptr ); }

} // namespace Quayd
