#include "agent/SubAgentCandidateSm.h"

#include "platform/Exception.h"

namespace Quayd {

SubAgentCandidateSm::SubAgentCandidateSm(
   Ptr< QuaydConfig const > quaydConfig, Ptr< QuaydStatus const > quaydStatus,
   Ptr< QuaydStatus const > quaydGlobalStatus, Ptr< Gnoi::Config const > gnoiConfig,
   Ptr< Gnoi::Containerz::ContainerRuntimeStatus const > crtStatus,
   Ptr< SubAgentCandidate > subAgentCandidate, Sinks sinks, Toggles toggles )
    : quaydConfig_( std::move( quaydConfig ) ), quaydStatus_( std::move( quaydStatus ) ),
      quaydGlobalStatus_( std::move( quaydGlobalStatus ) ), gnoiConfig_( std::move( gnoiConfig ) ),
      crtStatus_( std::move( crtStatus ) ), subAgentCandidate_( std::move( subAgentCandidate ) ),
      toggles_( toggles ), trace_( sinks.trace, "QuaydAgent" ) {
   QUAYD_ASSERT( quaydConfig_ );
   QUAYD_ASSERT( quaydStatus_ );
   QUAYD_ASSERT( quaydGlobalStatus_ );
   QUAYD_ASSERT( gnoiConfig_ );
   QUAYD_ASSERT( crtStatus_ );
   QUAYD_ASSERT( subAgentCandidate_ );
   reactor_.notificationsIs( false );
   auto configured = [ this ] { resolveConfiguredSubAgent(); };
   auto running = [ this ] { resolveRunningSubAgent(); };
   reactor_.on( quaydConfig_, QuaydConfig::Attr::enabled, configured );
   reactor_.on( quaydConfig_, QuaydConfig::Attr::onFlash, configured );
   reactor_.on( quaydConfig_, QuaydConfig::Attr::flashLimit, configured );
   reactor_.onKey( gnoiConfig_, Gnoi::Config::Attr::member, [ this ]( String const & key ) {
      if ( key == Gnoi::kContainerzMember ) {
         resolveConfiguredSubAgent();
      }
   } );
   reactor_.on( subAgentCandidate_, SubAgentCandidate::Attr::subAgentConfigured, running );
   reactor_.on( crtStatus_, Gnoi::Containerz::ContainerRuntimeStatus::Attr::enabled, running );
   reactor_.on( quaydStatus_, QuaydStatus::Attr::state, running );
   reactor_.on( quaydGlobalStatus_, QuaydStatus::Attr::state, running );
   reactor_.onInitial( subAgentCandidate_, [ this ] {
      resolveConfiguredSubAgent();
      resolveRunningSubAgent();
   } );
}

void SubAgentCandidateSm::notificationsIs( bool on ) {
   reactor_.notificationsIs( on );
   if ( on ) {
      reactor_.start();
   }
}

void SubAgentCandidateSm::resolveConfiguredSubAgent() {
   bool const containerzEnabled = bool( Gnoi::containerzConfig( *gnoiConfig_ ) );
   bool const quyEnabled = toggles_.quaydAgent && quaydConfig_->enabled();
   bool const quyOnFlash = quaydConfig_->onFlash();
   QTRACE( trace_, 2, "containerzEnabled: {}, quyEnabled: {} quyOnFlash {}", containerzEnabled,
           quyEnabled, quyOnFlash );
   SubAgentInstance configured;
   if ( containerzEnabled ) {
      configured.subAgentType = SubAgentType::subAgentContainerz;
   } else if ( !quyEnabled ) {
      configured.subAgentType = SubAgentType::subAgentNone;
   } else if ( !quyOnFlash ) {
      configured.subAgentType = SubAgentType::subAgentQuy;
   } else {
      configured = { SubAgentType::subAgentQuyOnFlash, quaydConfig_->flashLimit() };
   }
   QTRACE( trace_, 2, "Resolved configured subagent as: {}", configured.subAgentType );
   subAgentCandidate_->subAgentConfiguredIs( configured );
   QTRACE( trace_, 2, "Exiting" );
}

void SubAgentCandidateSm::resolveRunningSubAgent() {
   SubAgentInstance const configured = subAgentCandidate_->subAgentConfigured();
   bool const containerzActive = crtStatus_->enabled();
   SmState const quyState =
      toggles_.quaydAgent ? quaydStatus_->state() : quaydGlobalStatus_->state();
   QTRACE( trace_, 2, "configuredSubAgent: {}, containerzActive: {}, quyState: {}",
           configured.subAgentType, containerzActive, quyState );
   SubAgentInstance running{ SubAgentType::subAgentNone, quaydStatus_->flashLimit() };
   if ( containerzActive ) {
      running.subAgentType = SubAgentType::subAgentContainerz;
   } else if ( quyState == SmState::stopped_ ) {
      running.subAgentType = SubAgentType::subAgentNone;
   } else if ( quaydStatus_->runningOnFlash() ) {
      running.subAgentType = SubAgentType::subAgentQuyOnFlash;
   } else {
      running.subAgentType = SubAgentType::subAgentQuy;
   }
   QTRACE( trace_, 2, "Resolved running subagent as: {}", running.subAgentType );
   subAgentCandidate_->subAgentRunningIs( running );
   if ( running.subAgentType == SubAgentType::subAgentNone &&
        configured.subAgentType != SubAgentType::subAgentNone ) {
      QTRACE( trace_, 2, "Pending subagent startup: {}", configured.subAgentType );
      subAgentCandidate_->subAgentRunningIs( configured );
   }
   QTRACE( trace_, 2, "Exiting" );
}

Ptr< SubAgentCandidateSm > subAgentCandidateSmFactory(
   Ptr< QuaydConfig const > quaydConfig, Ptr< QuaydStatus const > quaydStatus,
   Ptr< QuaydStatus const > quaydGlobalStatus, Ptr< Gnoi::Config const > gnoiConfig,
   Ptr< Gnoi::Containerz::ContainerRuntimeStatus const > crtStatus,
   Ptr< SubAgentCandidate > subAgentCandidate, Sinks sinks, Toggles toggles ) {
   return makePtr< SubAgentCandidateSm >( std::move( quaydConfig ), std::move( quaydStatus ),
                                          std::move( quaydGlobalStatus ), std::move( gnoiConfig ),
                                          std::move( crtStatus ), std::move( subAgentCandidate ),
                                          sinks, toggles );
}

} // namespace Quayd
