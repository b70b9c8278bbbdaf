#include "agent/SubAgentSm.h"

#include "platform/Exception.h"

namespace Quayd {

LogDescriptor const QUAYD_DOCKER_NOT_INSTALLED{
   "QUAYD_DOCKER_NOT_INSTALLED", "Docker is not installed",
   "Quayd and Containerz depend on Docker to work properly. Docker RPM is not packaged with "
   "Velmo.swi. Docker Velmo Extension needs to be installed before Quayd or Containerz is "
   "configured.",
   "Install Docker Velmo Extension, and then reconfigure Quayd/Containerz.", 3
};

SubAgentSm::SubAgentSm( Ptr< SubAgentCandidate const > subAgentCandidate,
                        Ptr< SubAgents > subAgents, Ptr< Gnoi::Config const > gnoiConfig,
                        Ptr< QuaydConfig const > quaydConfig, Ptr< QuaydStatus const > quaydStatus,
                        Ptr< QuaydStatus const > quaydGlobalStatus,
                        Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crtStatus,
                        Ptr< ContainerRuntimeInterface > runtime,
                        Ptr< Ip::AllVrfStatusLocal const > allVrfStatusLocal,
                        Ptr< TaskScheduler > taskScheduler, Sinks sinks, Toggles toggles )
    : subAgentCandidate_( std::move( subAgentCandidate ) ), subAgents_( std::move( subAgents ) ),
      runtime_( std::move( runtime ) ), taskScheduler_( std::move( taskScheduler ) ),
      gnoiConfig_( std::move( gnoiConfig ) ), crtStatus_( std::move( crtStatus ) ),
      allVrfStatusLocal_( std::move( allVrfStatusLocal ) ),
      quaydConfig_( std::move( quaydConfig ) ), quaydStatus_( std::move( quaydStatus ) ),
      quaydGlobalStatus_( std::move( quaydGlobalStatus ) ), toggles_( toggles ),
      trace_( sinks.trace, "QuaydAgent" ), log_( sinks.log ) {
   if ( taskScheduler_ ) {
      pollTaskIs( taskScheduler_, TaskPriority( 3 ), "SubAgentSmPollerTask" );
   }
   reactor_.notificationsIs( false );
   if ( subAgentCandidate_ ) {
      reactor_.on( subAgentCandidate_, SubAgentCandidate::Attr::subAgentConfigured,
                   [ this ] { stopUnconfiguredSubAgent(); } );
      reactor_.on( subAgentCandidate_, SubAgentCandidate::Attr::subAgentRunning,
                   [ this ] { startConfiguredSubAgent(); } );
      reactor_.onInitial( subAgentCandidate_, [ this ] {
         stopUnconfiguredSubAgent();
         startConfiguredSubAgent();
      } );
   }
}

SubAgentSm::~SubAgentSm() { pollTaskDel(); }

void SubAgentSm::notificationsIs( bool on ) {
   reactor_.notificationsIs( on );
   if ( on ) {
      reactor_.start();
   }
}

void SubAgentSm::pollTaskIs( Ptr< TaskScheduler > const & scheduler, TaskPriority priority,
                             String const & name ) {
   pollTask_ =
      makePtr< TimerTask >( scheduler, priority, name, [ this ] { startConfiguredSubAgent(); } );
   stopRetryTask_ = makePtr< TimerTask >( scheduler, priority, "RuntimeStopRetry",
                                          [ this ] { startConfiguredSubAgent(); } );
}

void SubAgentSm::pollTaskDel() {
   pollTask_ = nullptr;
   stopRetryTask_ = nullptr;
}

void SubAgentSm::startConfiguredSubAgent() {
   QUAYD_ASSERT( subAgentCandidate() );
   QUAYD_ASSERT( subAgents() );
   QUAYD_ASSERT( quaydConfig() );
   QUAYD_ASSERT( quaydStatus() );
   QUAYD_ASSERT( quaydGlobalStatus() );
   QUAYD_ASSERT( gnoiConfig() );
   QUAYD_ASSERT( crtStatus() );
   QUAYD_ASSERT( runtime() );
   QUAYD_ASSERT( allVrfStatusLocal() );
   QUAYD_ASSERT( pollTask() );
   pollTask_->stopTimerTask();
   stopRetryTask_->stopTimerTask();
   SubAgentType const running = subAgentCandidate_->subAgentRunning().subAgentType;
   QTRACE( trace_, 2, "runningSubAgent: {}", running );
   if ( running == SubAgentType::subAgentNone &&
        subAgentCandidate_->subAgentConfigured().subAgentType == SubAgentType::subAgentNone ) {
      ensureRuntimeDown();
      return;
   }
   if ( running == SubAgentType::subAgentNone ||
        running != subAgentCandidate_->subAgentConfigured().subAgentType ) {
      return;
   }
   bool installed = false;
   try {
      installed = runtime_->runtimeInstalled();
   } catch ( Exception const & e ) {
      QTRACE( trace_, 0, "Checking for the runtime failed: {}", e.what() );
   }
   if ( !installed ) {
      QTRACE( trace_, 5, "Runtime is not installed yet" );
      pollTask_->scheduleTaskDelay( pollInterval_ );
      log( log_, QUAYD_DOCKER_NOT_INSTALLED );
      return;
   }
   if ( running == SubAgentType::subAgentQuy || running == SubAgentType::subAgentQuyOnFlash ) {
      if ( toggles_.quaydAgent ) {
         QTRACE( trace_, 2, "quySm is starting now" );
         QUAYD_ASSERT( !crtStatus()->enabled() );
         QUAYD_ASSERT( subAgents()->quySm() );
         auto const & quySm = subAgents_->quySm();
         if ( quySm->chainPresent() ) {
            QTRACE( trace_, 2, "quySm is started already" );
            return;
         }
         quySm->enable();
         if ( quySm->startDeferred() ) {
            pollTask_->scheduleTaskDelay( Duration( 0 ) );
         } else if ( quySm->waitingForFlash() ) {
            pollTask_->scheduleTaskDelay( QuaydSm::kFlashRetry );
         } else if ( quySm->mountFailed() ) {
            pollTask_->scheduleTaskDelay( pollInterval_ );
         }
         if ( quaydStatus_->state() == SmState::stopped_ ) {
            // Refused (no room on flash): nothing may run meanwhile.
            ensureRuntimeDown();
         }
      }
   } else if ( running == SubAgentType::subAgentContainerz ) {
      if ( subAgents_->containerzSm() ) {
         QTRACE( trace_, 2, "containerzSm is already started" );
      } else {
         QTRACE( trace_, 2, "containerzSm is not started yet" );
         subAgents_->containerzSmIs( Gnoi::containerzConfig( *gnoiConfig_ ), allVrfStatusLocal_,
                                     crtStatus_, runtime_, taskScheduler_ );
      }
      QUAYD_ASSERT( quaydStatus()->state() == SmState::stopped_ );
   }
   QTRACE( trace_, 2, "Exiting" );
}

void SubAgentSm::ensureRuntimeDown() {
   try {
      // Also when it does not answer: a daemon left by a sub-agent whose
      // stop failed may be restarted by its supervisor.
      runtime_->disableRuntime();
      runtime_->resetConfig();
   } catch ( Exception const & e ) {
      QTRACE( trace_, 0, "Stopping the runtime failed: {}: {}; trying again in {}s", e.name(),
              e.what(), kStopRetry.count() );
      stopRetryTask_->scheduleTaskDelay( kStopRetry );
      return;
   }
   if ( auto const & quySm = subAgents_->quySm() ) {
      quySm->eraseDefaultDataRoot(); // what a hard stop under a live daemon left
   }
}

bool SubAgentSm::maybeDisableQuySubAgent() const {
   if ( !toggles_.quaydAgent ) {
      return false;
   }
   SubAgentInstance const configured = subAgentCandidate_->subAgentConfigured();
   bool const onFlash = quaydStatus_->runningOnFlash();
   switch ( configured.subAgentType ) {
   case SubAgentType::subAgentQuy:
      return onFlash || quaydStatus_->flashLimit() != configured.flashLimit;
   case SubAgentType::subAgentQuyOnFlash:
      return !onFlash || quaydStatus_->flashLimit() != configured.flashLimit;
   default:
      return true;
   }
}

void SubAgentSm::stopUnconfiguredSubAgent() {
   QUAYD_ASSERT( subAgentCandidate() );
   QUAYD_ASSERT( subAgents() );
   QUAYD_ASSERT( quaydStatus() );
   QUAYD_ASSERT( quaydGlobalStatus() );
   QUAYD_ASSERT( crtStatus() );
   QUAYD_ASSERT( runtime() );
   SubAgentType const configured = subAgentCandidate_->subAgentConfigured().subAgentType;
   QTRACE( trace_, 2, "configuredSubAgent: {}", configured );
   if ( configured != SubAgentType::subAgentContainerz ) {
      if ( subAgents_->containerzSm() ) {
         QTRACE( trace_, 2, "Deleting containerzSm as configured subagent changed" );
         subAgents_->containerzSmDel();
      } else {
         // A runtime left enabled for Containerz, by an agent that was
         // restarted for example.
         try {
            if ( crtStatus_->enabled() && runtime_->runtimeInstalled() ) {
               QTRACE( trace_, 2, "Disabling runtime" );
               runtime_->disableRuntime();
               runtime_->resetConfig();
            }
         } catch ( Exception const & e ) {
            QTRACE( trace_, 0, "Disabling runtime failed: {}", e.what() );
         }
         crtStatus_->enabledIs( false );
      }
   }
   if ( maybeDisableQuySubAgent() && subAgents_->quySm() ) {
      subAgents_->quySm()->disable();
   }
   QTRACE( trace_, 2, "Exiting" );
}

Ptr< SubAgentSm >
subAgentSmFactory( Ptr< SubAgentCandidate const > subAgentCandidate, Ptr< SubAgents > subAgents,
                   Ptr< Gnoi::Config const > gnoiConfig, Ptr< QuaydConfig const > quaydConfig,
                   Ptr< QuaydStatus const > quaydStatus, Ptr< QuaydStatus const > quaydGlobalStatus,
                   Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crtStatus,
                   Ptr< ContainerRuntimeInterface > runtime,
                   Ptr< Ip::AllVrfStatusLocal const > allVrfStatusLocal,
                   Ptr< TaskScheduler > taskScheduler, Sinks sinks, Toggles toggles ) {
   return makePtr< SubAgentSm >( std::move( subAgentCandidate ), std::move( subAgents ),
                                 std::move( gnoiConfig ), std::move( quaydConfig ),
                                 std::move( quaydStatus ), std::move( quaydGlobalStatus ),
                                 std::move( crtStatus ), std::move( runtime ),
                                 std::move( allVrfStatusLocal ), std::move( taskScheduler ), sinks,
                                 toggles );
}

} // namespace Quayd
