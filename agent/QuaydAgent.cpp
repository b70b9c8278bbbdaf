#include "agent/QuaydAgent.h"

#include <cstdlib>

#include "platform/Ringlog.h"
#include "platform/Toggle.h"

namespace Quayd {

namespace {
TraceHandle const trace( "QuaydAgent" );

template< typename T >
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
        quaydGlobalStatus_( std::move( quaydGlobalStatus ) ),
        gnoiConfig_( std::move( gnoiConfig ) ), crtStatus_( std::move( crtStatus ) ),
        subAgentCandidate_( std::move( subAgentCandidate ) ) {
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
   reactor_.onKey( gnoiConfig_, Gnoi::Config::Attr::member,
                   [ this ]( String const & key ) {
                      if ( key == Gnoi::kContainerzMember ) {
                         resolveConfiguredSubAgent();
                      }
                   } );
   reactor_.on( subAgentCandidate_, SubAgentCandidate::Attr::subAgentConfigured, running );
   reactor_.on( crtStatus_, Gnoi::Containerz::ContainerRuntimeStatus::Attr::enabled,
                running );
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
   QTRACE( trace, 2, "containerzEnabled: {}, quyEnabled: {} quyOnFlash {}",
           containerzEnabled, quyEnabled, quyOnFlash );
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
                                          std::move( quaydGlobalStatus ),
                                          std::move( gnoiConfig ), std::move( crtStatus ),
                                          std::move( subAgentCandidate ) );
}

// ---------------------------------------------------------------- agent

Agent::Agent( String const & name ) : CAgent( name ) {
   subAgentCandidateIs();
}

Agent::~Agent() {
   if ( subAgentCandidateSm_ ) {
      subAgentCandidateSmDel();
   }
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
      subAgentCandidateSm_ = subAgentCandidateSmFactory( quaydConfig_, quaydStatus_,
                                                         quaydGlobalStatus_, gnoiConfig_,
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
         fileName += "-%d";  // the ring buffer puts the process id here
      }
      fileName += ".rlog";
      Ringlog::initialize( fileName, { 64, 8, 64, 8, 8, 128, 8, 8, 256, 256 }, nullptr, 0,
                           24, 0, true, 512 );
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
   taskScheduler_ = findOrCreateScheduler();

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
}

Ptr< Agent > AgentIs( String const & name ) { return makePtr< Agent >( name ); }

Ptr< CAgent > agentFactory( String const & name ) { return AgentIs( name ); }

} // namespace Quayd
