#include "agent/QuaydAgent.h"

#include "platform/Exception.h"
#include "platform/Trace.h"

namespace Quayd {

namespace {
TraceHandle const trace( "QuaydAgent" );

template < typename T >
Ptr< T > lookup( EntityManager const & em, String const & path ) {
   return getEntityAs< T >( em, path );
}
} // namespace

Agent::Agent( String const & name, Host host, RuntimeFactory runtimeFactory,
              ContainerzServerFactory serverFactory )
    : CAgent( name ), host_( std::move( host ) ), runtimeFactory_( std::move( runtimeFactory ) ),
      serverFactory_( std::move( serverFactory ) ) {
   QUAYD_ASSERT( runtimeFactory_ );
   QUAYD_ASSERT( host_.files && host_.processes );
   subAgentCandidateIs();
   subAgentsIs();
}

Agent::~Agent() {
   subAgentCandidateSmDel();
   subAgentSmDel();
}

Ptr< SubAgents > Agent::subAgentsIs() {
   if ( !subAgents_ ) {
      subAgents_ = makePtr< SubAgents >( *host_.files, *host_.processes );
   }
   return subAgents_;
}

Ptr< SubAgents > Agent::subAgentsDel() { return std::exchange( subAgents_, nullptr ); }

Ptr< SubAgentSm > Agent::subAgentSmIs() {
   if ( !subAgentSm_ ) {
      subAgentSm_ = subAgentSmFactory( subAgentCandidate_, subAgents_, gnoiConfig_, quaydConfig_,
                                       quaydStatus_, quaydGlobalStatus_, crtStatus_, runtime_,
                                       allVrfStatusLocal_, taskScheduler_, host_.settings.toggles );
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
                                     crtStatus_, subAgentCandidate_, host_.settings.toggles );
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
   HostSettings const & settings = host_.settings;
   QUAYD_ASSERT( settings.toggles.ocGnoiContainerz || settings.toggles.quaydAgent );
   if ( settings.ringlogEnabled && host_.ringlog ) {
      String fileName = agentName();
      if ( !settings.ringlogDirFixed ) {
         fileName += "-%d"; // the ring buffer puts the process id here
      }
      fileName += ".rlog";
      host_.ringlog(
         { fileName, { 64, 8, 64, 8, 8, 128, 8, 8, 256, 256 }, "", 0, 24, 0, true, 512 } );
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
      { quaydConfig_, quaydStatus_, quaydGlobalStatus_,
        lookup< PersistentPathConfig >( *em, "quayd/image/persistentPathConfig" ),
        lookup< PersistentPathStatus >( *em, Cell::path( "quayd/image/persistentPathStatus", 0 ) ),
        lookup< ImageLoadConfigDir >( *em, "quayd/image/config" ),
        lookup< ImageLoadStatusDir >( *em, Cell::path( "quayd/image/status", 0 ) ),
        lookup< RegistryConfigDir >( *em, "quayd/registry/config" ),
        lookup< RegistryStatusDir >( *em, Cell::path( "quayd/registry/status", 0 ) ),
        lookup< ContainerProfileConfigDir >( *em, "quayd/container/profileConfig" ),
        lookup< ContainerConfigDir >( *em, "quayd/container/config" ),
        lookup< ContainerStatusDir >( *em, Cell::path( "quayd/container/status", 0 ) ), runtime_,
        taskScheduler_, host_.files, host_.processes, host_.secrets, host_.settings.flash,
        host_.settings.startupConditionTimeout.value_or(
           ContainerSm::kDefaultStartupConditionTimeout ) } );

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

Ptr< Agent > AgentIs( String const & name, Host host, RuntimeFactory runtimeFactory,
                      ContainerzServerFactory serverFactory ) {
   return makePtr< Agent >( name, std::move( host ), std::move( runtimeFactory ),
                            std::move( serverFactory ) );
}

Ptr< CAgent > agentFactory( String const & name, Host host, RuntimeFactory runtimeFactory,
                            ContainerzServerFactory serverFactory ) {
   return AgentIs( name, std::move( host ), std::move( runtimeFactory ),
                   std::move( serverFactory ) );
}

} // namespace Quayd
