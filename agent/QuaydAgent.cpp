#include "agent/QuaydAgent.h"

#include <cstdlib>

#include "platform/Exception.h"
#include "platform/Ringlog.h"
#include "platform/Toggle.h"

namespace Quayd {

namespace {
TraceHandle const trace( "QuaydAgent" );

template < typename T >
Ptr< T > lookup( EntityManager const & em, String const & path ) {
   return getEntityAs< T >( em, path );
}
} // namespace

bool toggleOCGNOIContainerzEnabled() {
   static bool const on = getToggleState( "OCGNOIContainerz", "Trellis.json", true );
   return on;
}

bool toggleQuaydAgentEnabled() {
   static bool const on = getToggleState( "QuaydAgent", "Quayd.json", true );
   return on;
}

// ------------------------------------------------------------ resolver

SubAgentCandidateSm::SubAgentCandidateSm(
   Ptr< QuaydConfig const > quaydConfig, Ptr< QuaydStatus const > quaydStatus,
   Ptr< QuaydStatus const > quaydGlobalStatus, Ptr< Gnoi::Config const > gnoiConfig,
   Ptr< Gnoi::Containerz::ContainerRuntimeStatus const > crtStatus,
   Ptr< SubAgentCandidate > subAgentCandidate )
    : quaydConfig_( std::move( quaydConfig ) ), quaydStatus_( std::move( quaydStatus ) ),
      quaydGlobalStatus_( std::move( quaydGlobalStatus ) ), gnoiConfig_( std::move( gnoiConfig ) ),
      crtStatus_( std::move( crtStatus ) ), subAgentCandidate_( std::move( subAgentCandidate ) ) {
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
   bool const quyEnabled = toggleQuaydAgentEnabled() && quaydConfig_->enabled();
   bool const quyOnFlash = quaydConfig_->onFlash();
   QTRACE( trace, 2, "containerzEnabled: {}, quyEnabled: {} quyOnFlash {}", containerzEnabled,
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
   QTRACE( trace, 2, "Resolved configured subagent as: {}", configured.subAgentType );
   subAgentCandidate_->subAgentConfiguredIs( configured );
   QTRACE( trace, 2, "Exiting" );
}

void SubAgentCandidateSm::resolveRunningSubAgent() {
   SubAgentInstance const configured = subAgentCandidate_->subAgentConfigured();
   bool const containerzActive = crtStatus_->enabled();
   SmState const quyState =
      toggleQuaydAgentEnabled() ? quaydStatus_->state() : quaydGlobalStatus_->state();
   QTRACE( trace, 2, "configuredSubAgent: {}, containerzActive: {}, quyState: {}",
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
   QTRACE( trace, 2, "Resolved running subagent as: {}", running.subAgentType );
   subAgentCandidate_->subAgentRunningIs( running );
   if ( running.subAgentType == SubAgentType::subAgentNone &&
        configured.subAgentType != SubAgentType::subAgentNone ) {
      QTRACE( trace, 2, "Pending subagent startup: {}", configured.subAgentType );
      subAgentCandidate_->subAgentRunningIs( configured );
   }
   QTRACE( trace, 2, "Exiting" );
}

Ptr< SubAgentCandidateSm > subAgentCandidateSmFactory(
   Ptr< QuaydConfig const > quaydConfig, Ptr< QuaydStatus const > quaydStatus,
   Ptr< QuaydStatus const > quaydGlobalStatus, Ptr< Gnoi::Config const > gnoiConfig,
   Ptr< Gnoi::Containerz::ContainerRuntimeStatus const > crtStatus,
   Ptr< SubAgentCandidate > subAgentCandidate ) {
   return makePtr< SubAgentCandidateSm >( std::move( quaydConfig ), std::move( quaydStatus ),
                                          std::move( quaydGlobalStatus ), std::move( gnoiConfig ),
                                          std::move( crtStatus ), std::move( subAgentCandidate ) );
}

// ------------------------------------------------------------ sub-agents

LogHandle const QUAYD_DOCKER_NOT_INSTALLED(
   { "QUAYD_DOCKER_NOT_INSTALLED", "Docker is not installed",
     "Quayd and Containerz depend on Docker to work properly. Docker RPM is not packaged with "
     "Velmo.swi. Docker Velmo Extension needs to be installed before Quayd or Containerz is "
     "configured.",
     "Install Docker Velmo Extension, and then reconfigure Quayd/Containerz.", 3 } );

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
                           nullptr, serverStatus_, server_ );
   return containerzSm_;
}

void SubAgents::containerzServerIs( Ptr< Gnoi::Containerz::ServerStatus > status,
                                    Ptr< ContainerzServerInterface > server ) {
   serverStatus_ = std::move( status );
   server_ = std::move( server );
}

Ptr< ContainerzSm > SubAgents::containerzSmDel() { return std::exchange( containerzSm_, nullptr ); }

SubAgentSm::SubAgentSm( Ptr< SubAgentCandidate const > subAgentCandidate,
                        Ptr< SubAgents > subAgents, Ptr< Gnoi::Config const > gnoiConfig,
                        Ptr< QuaydConfig const > quaydConfig, Ptr< QuaydStatus const > quaydStatus,
                        Ptr< QuaydStatus const > quaydGlobalStatus,
                        Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crtStatus,
                        Ptr< ContainerRuntimeInterface > runtime,
                        Ptr< Ip::AllVrfStatusLocal const > allVrfStatusLocal,
                        Ptr< TaskScheduler > taskScheduler )
    : subAgentCandidate_( std::move( subAgentCandidate ) ), subAgents_( std::move( subAgents ) ),
      runtime_( std::move( runtime ) ), taskScheduler_( std::move( taskScheduler ) ),
      gnoiConfig_( std::move( gnoiConfig ) ), crtStatus_( std::move( crtStatus ) ),
      allVrfStatusLocal_( std::move( allVrfStatusLocal ) ),
      quaydConfig_( std::move( quaydConfig ) ), quaydStatus_( std::move( quaydStatus ) ),
      quaydGlobalStatus_( std::move( quaydGlobalStatus ) ) {
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
   QTRACE( trace, 2, "runningSubAgent: {}", running );
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
      QTRACE( trace, 0, "Checking for the runtime failed: {}", e.what() );
   }
   if ( !installed ) {
      QTRACE( trace, 5, "Runtime is not installed yet" );
      pollTask_->scheduleTaskDelay( pollInterval_ );
      log( QUAYD_DOCKER_NOT_INSTALLED );
      return;
   }
   if ( running == SubAgentType::subAgentQuy || running == SubAgentType::subAgentQuyOnFlash ) {
      if ( toggleQuaydAgentEnabled() ) {
         QTRACE( trace, 2, "quySm is starting now" );
         QUAYD_ASSERT( !crtStatus()->enabled() );
         QUAYD_ASSERT( subAgents()->quySm() );
         auto const & quySm = subAgents_->quySm();
         if ( quySm->chainPresent() ) {
            QTRACE( trace, 2, "quySm is started already" );
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
         QTRACE( trace, 2, "containerzSm is already started" );
      } else {
         QTRACE( trace, 2, "containerzSm is not started yet" );
         subAgents_->containerzSmIs( Gnoi::containerzConfig( *gnoiConfig_ ), allVrfStatusLocal_,
                                     crtStatus_, runtime_, taskScheduler_ );
      }
      QUAYD_ASSERT( quaydStatus()->state() == SmState::stopped_ );
   }
   QTRACE( trace, 2, "Exiting" );
}

void SubAgentSm::ensureRuntimeDown() {
   try {
      // Also when it does not answer: a daemon left by a sub-agent whose
      // stop failed may be restarted by its supervisor.
      runtime_->disableRuntime();
      runtime_->resetConfig();
   } catch ( Exception const & e ) {
      QTRACE( trace, 0, "Stopping the runtime failed: {}: {}; trying again in {}s", e.name(),
              e.what(), kStopRetry.count() );
      stopRetryTask_->scheduleTaskDelay( kStopRetry );
      return;
   }
   if ( auto const & quySm = subAgents_->quySm() ) {
      quySm->eraseDefaultDataRoot(); // what a hard stop under a live daemon left
   }
}

bool SubAgentSm::maybeDisableQuySubAgent() const {
   if ( !toggleQuaydAgentEnabled() ) {
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
   QTRACE( trace, 2, "configuredSubAgent: {}", configured );
   if ( configured != SubAgentType::subAgentContainerz ) {
      if ( subAgents_->containerzSm() ) {
         QTRACE( trace, 2, "Deleting containerzSm as configured subagent changed" );
         subAgents_->containerzSmDel();
      } else {
         // A runtime left enabled for Containerz, by an agent that was
         // restarted for example.
         try {
            if ( crtStatus_->enabled() && runtime_->runtimeInstalled() ) {
               QTRACE( trace, 2, "Disabling runtime" );
               runtime_->disableRuntime();
               runtime_->resetConfig();
            }
         } catch ( Exception const & e ) {
            QTRACE( trace, 0, "Disabling runtime failed: {}", e.what() );
         }
         crtStatus_->enabledIs( false );
      }
   }
   if ( maybeDisableQuySubAgent() && subAgents_->quySm() ) {
      subAgents_->quySm()->disable();
   }
   QTRACE( trace, 2, "Exiting" );
}

Ptr< SubAgentSm >
subAgentSmFactory( Ptr< SubAgentCandidate const > subAgentCandidate, Ptr< SubAgents > subAgents,
                   Ptr< Gnoi::Config const > gnoiConfig, Ptr< QuaydConfig const > quaydConfig,
                   Ptr< QuaydStatus const > quaydStatus, Ptr< QuaydStatus const > quaydGlobalStatus,
                   Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crtStatus,
                   Ptr< ContainerRuntimeInterface > runtime,
                   Ptr< Ip::AllVrfStatusLocal const > allVrfStatusLocal,
                   Ptr< TaskScheduler > taskScheduler ) {
   return makePtr< SubAgentSm >( std::move( subAgentCandidate ), std::move( subAgents ),
                                 std::move( gnoiConfig ), std::move( quaydConfig ),
                                 std::move( quaydStatus ), std::move( quaydGlobalStatus ),
                                 std::move( crtStatus ), std::move( runtime ),
                                 std::move( allVrfStatusLocal ), std::move( taskScheduler ) );
}

// ---------------------------------------------------------------- agent

Agent::Agent( String const & name, RuntimeFactory runtimeFactory,
              ContainerzServerFactory serverFactory )
    : CAgent( name ), runtimeFactory_( std::move( runtimeFactory ) ),
      serverFactory_( std::move( serverFactory ) ) {
   QUAYD_ASSERT( runtimeFactory_ );
   subAgentCandidateIs();
   subAgentsIs();
}

Agent::~Agent() {
   subAgentCandidateSmDel();
   subAgentSmDel();
}

Ptr< SubAgents > Agent::subAgentsIs() {
   if ( !subAgents_ ) {
      subAgents_ = makePtr< SubAgents >();
   }
   return subAgents_;
}

Ptr< SubAgents > Agent::subAgentsDel() { return std::exchange( subAgents_, nullptr ); }

Ptr< SubAgentSm > Agent::subAgentSmIs() {
   if ( !subAgentSm_ ) {
      subAgentSm_ = subAgentSmFactory( subAgentCandidate_, subAgents_, gnoiConfig_, quaydConfig_,
                                       quaydStatus_, quaydGlobalStatus_, crtStatus_, runtime_,
                                       allVrfStatusLocal_, taskScheduler_ );
      subAgentSm_->notificationsIs( true );
   }
   return subAgentSm_;
}

Ptr< SubAgentSm > Agent::subAgentSmDel() {
   auto sm = std::exchange( subAgentSm_, nullptr );
   if ( sm ) {
      sm->notificationsIs( false );
   }
   return sm;
}

Ptr< SubAgentCandidate > Agent::subAgentCandidateIs() {
   if ( !subAgentCandidate_ ) {
      subAgentCandidate_ = makePtr< SubAgentCandidate >();
   }
   return subAgentCandidate_;
}

Ptr< SubAgentCandidate > Agent::subAgentCandidateDel() {
   return std::exchange( subAgentCandidate_, nullptr );
}

Ptr< SubAgentCandidateSm > Agent::subAgentCandidateSmIs() {
   if ( !subAgentCandidateSm_ ) {
      subAgentCandidateSm_ =
         subAgentCandidateSmFactory( quaydConfig_, quaydStatus_, quaydGlobalStatus_, gnoiConfig_,
                                     crtStatus_, subAgentCandidate_ );
      subAgentCandidateSm_->notificationsIs( true );
   }
   return subAgentCandidateSm_;
}

Ptr< SubAgentCandidateSm > Agent::subAgentCandidateSmDel() {
   auto sm = std::exchange( subAgentCandidateSm_, nullptr );
   if ( sm ) {
      sm->notificationsIs( false );
   }
   return sm;
}

void Agent::doInit() {
   QTRACE( trace, 2, "" );
   QUAYD_ASSERT( toggleOCGNOIContainerzEnabled() || toggleQuaydAgentEnabled() );
   if ( !std::getenv( "RINGLOG_DISABLE" ) ) {
      String fileName = agentName();
      if ( !std::getenv( "RINGLOGDIR" ) ) {
         fileName += "-%d"; // the ring buffer puts the process id here
      }
      fileName += ".rlog";
      Ringlog::initialize( fileName, { 64, 8, 64, 8, 8, 128, 8, 8, 256, 256 }, nullptr, 0, 24, 0,
                           true, 512 );
   }
   auto group = entityManager()->mountGroup();
   group->doMountProfile( "Quayd" );
   group->doClose( false, "", Duration( 0 ) );
}

void Agent::doMountsComplete( MountStatus mountStatus, Ptr< EntityManager > const & em ) {
   QTRACE( trace, 2, "" );
   if ( mountStatus != MountStatus::mountSuccess ) {
      QTRACE( trace, 0, "Mounting the state database failed; waiting for the next mount" );
      return;
   }
   quaydConfig_ = lookup< QuaydConfig >( *em, "quayd/config" );
   quaydStatus_ = lookup< QuaydStatus >( *em, Cell::path( "quayd/status", 0 ) );
   quaydGlobalStatus_ = lookup< QuaydStatus >( *em, "quayd/status" );
   gnoiConfig_ = lookup< Gnoi::Config >( *em, "mgmt/gnoi/config" );
   crtStatus_ =
      lookup< Gnoi::Containerz::ContainerRuntimeStatus >( *em, "mgmt/gnoi/containerz/crtStatus" );
   allVrfStatusLocal_ =
      lookup< Ip::AllVrfStatusLocal >( *em, Cell::path( "ip/vrf/status/local", 0 ) );
   if ( !runtime_ ) {
      runtime_ = runtimeFactory_(
         lookup< KernelRoutingOverrideStatus >( *em, "l3/intf/kernelRoutingOverride" ) );
      QUAYD_ASSERT( runtime_ );
   }
   if ( serverFactory_ && !server_ ) {
      server_ = serverFactory_();
   }
   if ( server_ ) {
      subAgents_->containerzServerIs(
         lookup< Gnoi::Containerz::ServerStatus >( *em, "mgmt/gnoi/containerz/serverStatus" ),
         server_ );
   }
   taskScheduler_ = findOrCreateScheduler();
   subAgents_->quySmIs(
      quaydConfig_, quaydStatus_, quaydGlobalStatus_,
      lookup< PersistentPathConfig >( *em, "quayd/image/persistentPathConfig" ),
      lookup< PersistentPathStatus >( *em, Cell::path( "quayd/image/persistentPathStatus", 0 ) ),
      lookup< ImageLoadConfigDir >( *em, "quayd/image/config" ),
      lookup< ImageLoadStatusDir >( *em, Cell::path( "quayd/image/status", 0 ) ),
      lookup< RegistryConfigDir >( *em, "quayd/registry/config" ),
      lookup< RegistryStatusDir >( *em, Cell::path( "quayd/registry/status", 0 ) ),
      lookup< ContainerProfileConfigDir >( *em, "quayd/container/profileConfig" ),
      lookup< ContainerConfigDir >( *em, "quayd/container/config" ),
      lookup< ContainerStatusDir >( *em, Cell::path( "quayd/container/status", 0 ) ), runtime_,
      taskScheduler_ );

   // The candidate is published at a status path of its own so that operators
   // see it; the first mount swaps the in-memory one for the mounted one
   // before anything watches it.
   if ( !candidatePublished_ ) {
      if ( auto published = lookup< SubAgentCandidate >( *em, kSubAgentCandidatePath ) ) {
         if ( !subAgentCandidateSm_ ) {
            published->subAgentConfiguredIs( subAgentCandidate_->subAgentConfigured() );
            published->subAgentRunningIs( subAgentCandidate_->subAgentRunning() );
            subAgentCandidate_ = published;
         }
      }
      candidatePublished_ = true;
   }
   subAgentCandidateSmIs();
   subAgentSmIs();
}

Ptr< Agent > AgentIs( String const & name, RuntimeFactory runtimeFactory,
                      ContainerzServerFactory serverFactory ) {
   return makePtr< Agent >( name, std::move( runtimeFactory ), std::move( serverFactory ) );
}

Ptr< CAgent > agentFactory( String const & name, RuntimeFactory runtimeFactory,
                            ContainerzServerFactory serverFactory ) {
   return AgentIs( name, std::move( runtimeFactory ), std::move( serverFactory ) );
}

} // namespace Quayd
