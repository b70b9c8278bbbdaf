#include "agent/SubAgents.h"

namespace Quayd {

Ptr< QuaydSm > SubAgents::quySmIs(
   Ptr< QuaydConfig const > quaydConfig, Ptr< QuaydStatus > quaydStatus,
   Ptr< QuaydStatus > quaydGlobalStatus, Ptr< PersistentPathConfig const > persistentPathConfig,
   Ptr< PersistentPathStatus > persistentPathStatus,
   Ptr< ImageLoadConfigDir const > imageLoadConfig, Ptr< ImageLoadStatusDir > imageLoadStatus,
   Ptr< RegistryConfigDir const > registryConfig, Ptr< RegistryStatusDir > registryStatus,
   Ptr< ContainerProfileConfigDir const > containerProfileConfig,
   Ptr< ContainerConfigDir const > containerConfig, Ptr< ContainerStatusDir > containerStatus,
   Ptr< ContainerRuntimeInterface > runtime, Ptr< TaskScheduler > taskScheduler ) {
   QuaydSm::Args const args{ quaydConfig,
                             quaydStatus,
                             quaydGlobalStatus,
                             persistentPathConfig,
                             persistentPathStatus,
                             imageLoadConfig,
                             imageLoadStatus,
                             registryConfig,
                             registryStatus,
                             containerProfileConfig,
                             containerConfig,
                             containerStatus,
                             runtime,
                             taskScheduler };
   if ( quySm_ && quySm_->args() == args ) {
      return quySm_;
   }
   auto old = quySmDel();
   quySm_ = quaydSmFactory( std::move( quaydConfig ), std::move( quaydStatus ),
                            std::move( quaydGlobalStatus ), std::move( persistentPathConfig ),
                            std::move( persistentPathStatus ), std::move( imageLoadConfig ),
                            std::move( imageLoadStatus ), std::move( registryConfig ),
                            std::move( registryStatus ), std::move( containerProfileConfig ),
                            std::move( containerConfig ), std::move( containerStatus ),
                            std::move( runtime ), std::move( taskScheduler ) );
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
                           Ptr< TaskScheduler > taskScheduler, bool mockUrlReachabilitySm ) {
   ContainerzSm::Args const args{ containerzConfig, allVrfStatusLocal,     crtStatus,     runtime,
                                  taskScheduler,    mockUrlReachabilitySm, serverStatus_, server_ };
   if ( containerzSm_ && containerzSm_->args() == args ) {
      return containerzSm_;
   }
   // The old machine takes its runtime down before the new one brings it up.
   containerzSmDel();
   containerzSm_ =
      containerzSmFactory( std::move( containerzConfig ), std::move( allVrfStatusLocal ),
                           std::move( crtStatus ), std::move( runtime ), std::move( taskScheduler ),
                           mockUrlReachabilitySm, serverStatus_, server_ );
   return containerzSm_;
}

void SubAgents::containerzServerIs( Ptr< Gnoi::Containerz::ServerStatus > status,
                                    Ptr< ContainerzServerInterface > server ) {
   serverStatus_ = std::move( status );
   server_ = std::move( server );
}

Ptr< ContainerzSm > SubAgents::containerzSmDel() { return std::exchange( containerzSm_, nullptr ); }

} // namespace Quayd
