#include "agent/ContainerzSm.h"

#include "platform/Exception.h"
#include "platform/FileSystem.h"
#include "platform/Log.h"
#include "platform/Trace.h"

namespace Quayd {

QUAYD_ENTITY_TABLE( VrfEnabledStatus, VRF_ENABLED_STATUS_FIELDS )

LogHandle const QUAYD_VRF_NAMESPACE_WAIT(
   { "QUAYD_VRF_NAMESPACE_WAIT",
     "Waiting for the network namespace %s of VRF %s; trying again every %lld seconds.",
     "The container runtime is to run in the VRF's network namespace, which does not exist "
     "yet; the runtime starts once it does.",
     "Check that the VRF is configured and its namespace created.", 4 } );

namespace {
TraceHandle const trace( "ContainerzSm" );

bool active( Ip::VrfStatusLocal const & s ) {
   return s.vrfState() == Ip::kVrfStateActive && s.vrfReady();
}

// A runtime failure leaves the machine where it was; the next configuration
// or VRF change tries again.
template < typename F >
bool tryRuntime( char const * what, F && f ) {
   try {
      f();
      return true;
   } catch ( Exception const & e ) {
      QTRACE( trace, 0, "{} failed: {}: {}", what, e.name(), e.what() );
      return false;
   }
}
} // namespace

// ------------------------------------------------------------------ VrfSm

VrfSm::VrfSm( Ptr< Ip::VrfStatusLocal const > vrfStatusLocal,
              Ptr< VrfEnabledStatus > vrfEnabledStatus )
    : vrfStatusLocal_( std::move( vrfStatusLocal ) ),
      vrfEnabledStatus_( std::move( vrfEnabledStatus ) ) {
   QUAYD_ASSERT( vrfStatusLocal_ );
   QUAYD_ASSERT( vrfEnabledStatus_ );
   vrfName_ = L3::VrfName( vrfStatusLocal_->key() );
   reactor_.on( vrfStatusLocal_, Ip::VrfStatusLocal::Attr::vrfState, [ this ] { handleVrf(); } );
   reactor_.on( vrfStatusLocal_, Ip::VrfStatusLocal::Attr::vrfReady, [ this ] { handleVrf(); } );
   reactor_.start();
   handleVrf();
}

VrfSm::~VrfSm() {
   reactor_.unwatchAll();
   handleDel();
}

Ptr< VrfSm > VrfSm::VrfSmIs( Ptr< Ip::VrfStatusLocal const > vrfStatusLocal,
                             Ptr< VrfEnabledStatus > vrfEnabledStatus ) {
   return makePtr< VrfSm >( std::move( vrfStatusLocal ), std::move( vrfEnabledStatus ) );
}

void VrfSm::handleVrf() {
   QTRACE( trace, 2, "vrfName: {}", vrfName_ );
   if ( active( *vrfStatusLocal_ ) ) {
      QTRACE( trace, 2, "vrf {} is active, setting vrf enabled", vrfName_ );
      vrfEnabledStatus_->enabledIs( true );
   } else {
      QTRACE( trace, 2, "vrf {} is not active, clearing vrf enabled", vrfName_ );
      vrfEnabledStatus_->enabledIs( false );
   }
   QTRACE( trace, 2, "vrfName: {} Exiting", vrfName_ );
}

void VrfSm::handleDel() {
   QTRACE( trace, 2, "vrfName: {}", vrfName_ );
   vrfEnabledStatus_->enabledIs( false );
   QTRACE( trace, 2, "vrfName: {} Exiting", vrfName_ );
}

// ----------------------------------------------------------- ContainerzSm

ContainerzSm::ContainerzSm( Ptr< Gnoi::Containerz::Config const > containerzConfig,
                            Ptr< Ip::AllVrfStatusLocal const > allVrfStatusLocal,
                            Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crtStatus,
                            Ptr< ContainerRuntimeInterface > runtime,
                            Ptr< TaskScheduler > taskScheduler, FileSystem & files,
                            ProcessRunner & processes, UrlReachabilityFactory urlReachability,
                            Ptr< Gnoi::Containerz::ServerStatus > serverStatus,
                            Ptr< ContainerzServerInterface > server )
    : containerzConfig_( std::move( containerzConfig ) ),
      allVrfStatusLocal_( std::move( allVrfStatusLocal ) ), crtStatus_( std::move( crtStatus ) ),
      runtime_( std::move( runtime ) ), taskScheduler_( std::move( taskScheduler ) ),
      files_( files ), urlReachability_( std::move( urlReachability ) ),
      serverStatus_( std::move( serverStatus ) ), server_( std::move( server ) ) {
   QUAYD_ASSERT( crtStatus_ );
   QUAYD_ASSERT( taskScheduler_ );
   if ( !urlReachability_ ) {
      urlReachability_ = [ scheduler = taskScheduler_,
                           &processes ]( String const & url, NamespaceName const & netNs,
                                         Ptr< UrlReachabilityStatus > status ) {
         return urlReachabilitySmFactory( url, netNs, std::move( status ), scheduler, processes,
                                          kUrlProbeInterval, kUrlProbeWatchdogTimeout,
                                          kUrlProbeConnectTimeout, kUrlProbeUdpIdleTimeout );
      };
   }
   if ( serverStatus_ && server_ ) {
      serverSm_ = makePtr< ContainerzServerSm >( containerzConfig_, serverStatus_, server_,
                                                 taskScheduler_, kStagingDir );
   }
   retryTask_ = makePtr< TimerTask >( taskScheduler_, TaskPriority( 3 ), "ContainerzRuntimeRetry",
                                      [ this ] { handleRuntimeRetry(); } );
   if ( containerzConfig_ ) {
      reactor_.on( containerzConfig_, Gnoi::Containerz::Config::Attr::crtConfig,
                   [ this ] { handleCrtConfig(); } );
   }
   if ( allVrfStatusLocal_ ) {
      reactor_.onKey( allVrfStatusLocal_, Ip::AllVrfStatusLocal::Attr::vrf,
                      [ this ]( String const & name ) { handleVrfStatusLocal( name ); } );
   }
   reactor_.start();
   vrfEnabledStatusIs();
   urlReachabilityStatusIs();
   handleInitialized();
}

ContainerzSm::~ContainerzSm() {
   handleDel();
   serverSm_ = nullptr;
   retryTask_ = nullptr;
   reactor_.unwatchAll();
   vrfEnabledStatusDel();
   vrfSm_ = nullptr;
   urlReachabilityStatusDel();
   urlReachabilitySm_ = nullptr;
}

ContainerzSm::Args ContainerzSm::args() const {
   return { containerzConfig_, allVrfStatusLocal_, crtStatus_, runtime_,
            taskScheduler_,    serverStatus_,      server_ };
}

void ContainerzSm::vrfEnabledStatusIs() {
   vrfEnabledStatus_ = makePtr< VrfEnabledStatus >();
   vrfEnabledReactor_.on( vrfEnabledStatus_, VrfEnabledStatus::Attr::enabled,
                          [ this ] { handleVrfEnabled(); } );
   vrfEnabledReactor_.onInitial( vrfEnabledStatus_, [ this ] { handleVrfEnabled(); } );
   vrfEnabledReactor_.start();
}

void ContainerzSm::vrfEnabledStatusDel() {
   vrfEnabledReactor_.unwatchAll();
   vrfEnabledStatus_ = nullptr;
}

void ContainerzSm::urlReachabilityStatusIs() {
   urlReachabilityStatus_ = urlReachabilityStatusFactory();
   urlReachabilityReactor_.on( urlReachabilityStatus_, UrlReachabilityStatus::Attr::reachable,
                               [ this ] { handleSyslogServerUrlReachable(); } );
   urlReachabilityReactor_.onInitial( urlReachabilityStatus_,
                                      [ this ] { handleSyslogServerUrlReachable(); } );
   urlReachabilityReactor_.start();
}

void ContainerzSm::urlReachabilityStatusDel() {
   urlReachabilityReactor_.unwatchAll();
   urlReachabilityStatus_ = nullptr;
}

void ContainerzSm::vrfSmIs( Ptr< Ip::VrfStatusLocal const > const & entry ) {
   if ( vrfSm_ && vrfSm_->vrfStatusLocal() == entry ) {
      return;
   }
   // The old machine goes first, so that its clearing of the flag comes
   // before the new one sets it.
   vrfSm_ = nullptr;
   vrfSm_ = VrfSm::VrfSmIs( entry, vrfEnabledStatus_ );
}

void ContainerzSm::vrfSmDel() { vrfSm_ = nullptr; }

void ContainerzSm::handleInitialized() {
   QTRACE( trace, 2, "" );
   QUAYD_ASSERT( containerzConfig() );
   QUAYD_ASSERT( allVrfStatusLocal() );
   QUAYD_ASSERT( runtime() );
   QUAYD_ASSERT( taskScheduler() );
   initialized_ = true;
   try {
      createDataRoot();
   } catch ( RuntimeException const & e ) {
      // The runtime's own start reports the missing directory again.
      QTRACE( trace, 0, "creating data root failed: {}", e.what() );
   }
   if ( !adoptRuntime() ) {
      handleCrtConfig();
   }
   crtStatus_->enabledIs( true );
   QTRACE( trace, 2, "Exiting" );
}

void ContainerzSm::createDataRoot() {
   QTRACE( trace, 8, "creating data root {}", kDataRoot );
   files_.makeDirs( kDataRoot );
}

void ContainerzSm::cleanupDataRoot() {
   QTRACE( trace, 8, "cleaning up data root {}", kDataRoot );
   files_.removeAll( kDataRoot );
}

bool ContainerzSm::adoptRuntime() {
   L3::VrfName const & vrfName = crtConfig().vrfName;
   if ( !vrfName.isDefault() ) {
      auto const entry = allVrfStatusLocal_->vrf( vrfName.str() );
      if ( !entry || !active( *entry ) ) {
         return false;
      }
   }
   bool runs = false;
   tryRuntime( "Looking for a runtime left running", [ & ] {
      runs = runtime_->runtimeRunsWith( kDataRoot, netNsPath(), logDriver(), nullptr );
   } );
   if ( !runs ) {
      return false;
   }
   QTRACE( trace, 0, "Adopting the container runtime left running for VRF {}", vrfName );
   adopting_ = true;
   handleVrfConfig();
   adopting_ = false;
   return true;
}

void ContainerzSm::runtimeAdopted() {
   // The syslog server answered when it started; the gate is once per
   // usable period of the VRF, which has not ended.
   runtimeWanted_ = true;
   crtStatus_->lastErrorIs( "" );
   if ( serverSm_ ) {
      serverSm_->runtimeIs( netNsPath() );
   }
}

String ContainerzSm::netNsPath() const {
   L3::VrfName const & vrfName = crtConfig().vrfName;
   return vrfName.isDefault() ? String() : "/run/netns/" + vrfName.nsName();
}

Ptr< SyslogDriver const > ContainerzSm::logDriver() const {
   // Without a server the driver logs to the host's own syslog.
   return crtConfig().logDriver == 1
             ? syslogDriverFactory( crtConfig().syslogServer, LogTag( 1 ), SyslogFacility( 1 ) )
             : nullptr;
}

void ContainerzSm::handleCrtConfig() {
   QTRACE( trace, 2, "" );
   QUAYD_ASSERT( containerzConfig() );
   QUAYD_ASSERT( allVrfStatusLocal() );
   QUAYD_ASSERT( runtime() );
   if ( !initialized_ ) {
      QTRACE( trace, 2, "Not initialized yet, exiting" );
      return;
   }
   inHandleCrtConfig_ = true;
   crtStatus_->lastErrorIs( "" );
   cleanupStaleState( true );
   handleVrfConfig();
   inHandleCrtConfig_ = false;
   QTRACE( trace, 2, "Exiting" );
}

void ContainerzSm::cleanupStaleState( bool cleanupVrfState ) {
   QTRACE( trace, 2, " cleanupVrfState: {}", cleanupVrfState );
   urlReachabilitySm_ = nullptr;
   urlReachabilityStatus_->reachableIs( false );
   stopRuntime();
   if ( cleanupVrfState ) {
      vrfSmDel();
      vrfEnabledStatus_->enabledIs( false );
   }
   QTRACE( trace, 2, "Exiting" );
}

void ContainerzSm::handleVrfConfig() {
   QTRACE( trace, 2, "" );
   QUAYD_ASSERT_MSG( initialized_,
                     "handleVrfConfig isn't expected to be called before SM is initialized" );
   L3::VrfName const & vrfName = crtConfig().vrfName;
   if ( vrfName.isDefault() ) {
      vrfSmDel();
      QTRACE( trace, 2, "Default VRF configured, setting vrf enabled" );
      vrfEnabledStatus_->enabledIs( true );
   } else {
      QTRACE( trace, 2, "non default VRF {} configured", vrfName );
      if ( !vrfSm_ && vrfEnabledStatus_->enabled() ) {
         QTRACE( trace, 2, "Cleaning up stale vrfEnabled status set by default VRF" );
         vrfEnabledStatus_->enabledIs( false );
      }
      if ( auto entry = allVrfStatusLocal_->vrf( vrfName.str() ) ) {
         QTRACE( trace, 2, "vrfStatusLocal for {} present", vrfName );
         if ( vrfSm_ && vrfSm_->vrfName() != vrfName ) {
            vrfSmDel();
         }
         vrfSmIs( entry );
      } else {
         QTRACE( trace, 2, "vrfStatusLocal for {} absent", vrfName );
         vrfSmDel();
      }
   }
   QTRACE( trace, 2, "Exiting" );
}

void ContainerzSm::handleVrfStatusLocal( String const & name ) {
   // Compared as text: a key of any length from the database is just not
   // the configured VRF.
   if ( !initialized_ || name != crtConfig().vrfName.str() ) {
      return;
   }
   if ( allVrfStatusLocal_->vrf( name ) ) {
      QTRACE( trace, 2, "vrfName: {} added", name );
   } else {
      QTRACE( trace, 2, "vrfName: {} removed", name );
   }
   handleVrfConfig();
}

void ContainerzSm::handleVrfEnabled() {
   QTRACE( trace, 2, "" );
   if ( !initialized_ ) {
      QTRACE( trace, 2, "Not initialized yet, exiting" );
      return;
   }
   if ( inHandleCrtConfig_ ) {
      QTRACE( trace, 2, "called from handleCrtConfig" );
   } else if ( !adopting_ ) {
      cleanupStaleState( false );
   }
   if ( vrfEnabledStatus_->enabled() ) {
      if ( adopting_ ) {
         runtimeAdopted();
      } else {
         handleSyslogServer();
      }
   }
   QTRACE( trace, 2, "Exiting" );
}

void ContainerzSm::handleSyslogServer() {
   QTRACE( trace, 2, "" );
   String const url = crtConfig().logDriver == 1 ? crtConfig().syslogServer : String();
   if ( url.empty() ) {
      QTRACE( trace, 2, "No syslog server configured, starting runtime" );
      startRuntime();
      return;
   }
   try {
      UrlInfo::urlInfo( url );
   } catch ( std::invalid_argument const & e ) {
      // Probing cannot succeed, and starting without the gate would log to
      // nowhere: the runtime stays down until the configuration changes.
      QTRACE( trace, 0, "Syslog server {} cannot be used: {}", url, e.what() );
      crtStatus_->lastErrorIs(
         fmt::format( "syslog server '{}' cannot be used: {}", url, e.what() ) );
      return;
   }
   QTRACE( trace, 2, "Syslog server {} is configured, starting urlReachabilitySm", url );
   L3::VrfName const & vrfName = crtConfig().vrfName;
   createUrlReachabilitySm( url, vrfName.isDefault() ? NamespaceName()
                                                     : NamespaceName( vrfName.nsName() ) );
}

void ContainerzSm::createUrlReachabilitySm( String const & serverUrl,
                                            NamespaceName const & netNs ) {
   QTRACE( trace, 2, "serverUrl: {} netNs: {}", serverUrl, netNs );
   QUAYD_ASSERT_MSG( !urlReachabilitySm_,
                     "createUrlReachabilitySm called when one already exists" );
   urlReachabilitySm_ = urlReachability_( serverUrl, netNs, urlReachabilityStatus_ );
}

void ContainerzSm::handleSyslogServerUrlReachable() {
   QTRACE( trace, 2, "" );
   if ( !initialized_ ) {
      QTRACE( trace, 2, "Not initialized yet, exiting" );
      return;
   }
   if ( !urlReachabilityStatus_->reachable() ) {
      QTRACE( trace, 2, "ignoring reachable=false notification, exiting" );
      return;
   }
   QUAYD_ASSERT_MSG( urlReachabilitySm_, "urlReachabilitySm is expected to be present on "
                                         "receiving URL reachable notification" );
   QTRACE( trace, 2, "Syslog server {} has become reachable", urlReachabilitySm_->url() );
   // The probe that told us is still on the stack; it tolerates this.
   urlReachabilitySm_ = nullptr;
   startRuntime();
   QTRACE( trace, 2, "Exiting" );
}

void ContainerzSm::stopRuntime() {
   runtimeWanted_ = false;
   if ( tryRuntime( "Disabling runtime", [ this ] {
           // The service goes first: it drives the runtime.
           if ( serverSm_ ) {
              serverSm_->runtimeDel();
           }
           runtime_->disableRuntime();
           runtime_->resetConfig();
        } ) ) {
      retryTask_->stopTimerTask();
   } else {
      retryTask_->scheduleTaskDelay( kRuntimeRetry );
   }
}

void ContainerzSm::handleRuntimeRetry() {
   QTRACE( trace, 2, "runtime wanted: {}", runtimeWanted_ );
   if ( runtimeWanted_ ) {
      startRuntime();
   } else {
      stopRuntime();
   }
}

void ContainerzSm::startRuntime() {
   QTRACE( trace, 2, "Starting runtime" );
   QUAYD_ASSERT_MSG( vrfEnabledStatus_->enabled(),
                     "VRF has to be enabled before calling startRuntime" );
   L3::VrfName const & vrfName = crtConfig().vrfName;
   String const netNsPath = this->netNsPath();
   Ptr< SyslogDriver const > const logDriver = this->logDriver();
   QUAYD_ASSERT_MSG( !logDriver || logDriver->url().empty() || urlReachabilityStatus_->reachable(),
                     "URL has to be reachable before calling startRuntime" );
   runtimeWanted_ = true;
   if ( !netNsPath.empty() && !files_.exists( netNsPath ) ) {
      // The VRF may be active before its namespace is there (at boot).
      QTRACE( trace, 0, "Waiting for the network namespace {}", netNsPath );
      if ( !waitingForNamespace_ ) {
         log( QUAYD_VRF_NAMESPACE_WAIT, netNsPath, vrfName.str(),
              (long long)kRuntimeRetry.count() );
      }
      waitingForNamespace_ = true;
      crtStatus_->lastErrorIs( "waiting for the network namespace " + netNsPath );
      retryTask_->scheduleTaskDelay( kRuntimeRetry );
      return;
   }
   waitingForNamespace_ = false;
   bool const started = tryRuntime( "Starting runtime", [ & ] {
      // Left running by a stop that failed: it takes this configuration
      // only when started anew.
      if ( runtime_->runtimeActive() ) {
         if ( serverSm_ ) {
            serverSm_->runtimeDel();
         }
         runtime_->disableRuntime();
      }
      runtime_->applyConfig( kDataRoot, netNsPath, logDriver, false, nullptr );
      runtime_->enableRuntime();
   } );
   if ( started && serverSm_ ) {
      serverSm_->runtimeIs( netNsPath );
   }
   crtStatus_->lastErrorIs( started ? String() : String( "the container runtime did not start" ) );
   if ( started ) {
      retryTask_->stopTimerTask();
   } else {
      retryTask_->scheduleTaskDelay( kRuntimeRetry );
   }
}

void ContainerzSm::handleDel() {
   QTRACE( trace, 2, "" );
   stopRuntime();
   crtStatus_->enabledIs( false );
}

Ptr< ContainerzSm > containerzSmFactory( Ptr< Gnoi::Containerz::Config const > containerzConfig,
                                         Ptr< Ip::AllVrfStatusLocal const > allVrfStatusLocal,
                                         Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crtStatus,
                                         Ptr< ContainerRuntimeInterface > runtime,
                                         Ptr< TaskScheduler > taskScheduler, FileSystem & files,
                                         ProcessRunner & processes,
                                         UrlReachabilityFactory urlReachability,
                                         Ptr< Gnoi::Containerz::ServerStatus > serverStatus,
                                         Ptr< ContainerzServerInterface > server ) {
   return makePtr< ContainerzSm >( std::move( containerzConfig ), std::move( allVrfStatusLocal ),
                                   std::move( crtStatus ), std::move( runtime ),
                                   std::move( taskScheduler ), files, processes,
                                   std::move( urlReachability ), std::move( serverStatus ),
                                   std::move( server ) );
}

} // namespace Quayd
