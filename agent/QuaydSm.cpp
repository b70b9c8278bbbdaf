#include "agent/QuaydSm.h"

#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "platform/Exception.h"
#include "platform/Process.h"
#include "platform/Trace.h"

namespace Quayd {

namespace {
TraceHandle const trace( "QuaydSm" );

bool skipLbMount() { return std::getenv( "QUY_BTEST_SKIPLBMOUNT" ) != nullptr; }
} // namespace

LogHandle const QUAYD_CONTAINER_SERVICE_START_FAILED( {
   "QUAYD_CONTAINER_SERVICE_START_FAILED",
   "Quayd failed to start due to insufficient space on flash (%u megabytes)",
   "The data-root directory couldn't be mounted due to limited space available on /mnt/flash",
   "Please check the available space on flash and modify the data-root configuration "
   "accordingly.",
   3 } );

// ------------------------------------------------------------ profile merger

ContainerProfileDirSm::ContainerProfileDirSm(
   Ptr< ContainerProfileConfigDir const > profileConfig,
   Ptr< ContainerConfigDir const > containerConfig, Ptr< ContainerConfigDir > consolidated )
      : profileConfig_( std::move( profileConfig ) ),
        containerConfig_( std::move( containerConfig ) ),
        consolidated_( std::move( consolidated ) ) {
   QUAYD_ASSERT( containerConfig_ );
   QUAYD_ASSERT( consolidated_ );
   reactor_.notificationsIs( false );
   reactor_.onKey( containerConfig_, ContainerConfigDir::Attr::container,
                   [ this ]( String const & name ) {
                      watchContainer( name );
                      sync( name );
                   } );
   if ( profileConfig_ ) {
      reactor_.onKey( profileConfig_, ContainerProfileConfigDir::Attr::profile,
                      [ this ]( String const & profile ) {
                         watchProfile( profile );
                         syncProfile( profile );
                      } );
   }
   reactor_.onInitial( containerConfig_, [ this ] {
      if ( profileConfig_ ) {
         for ( auto const & [ name, p ] : profileConfig_->profile() ) {
            watchProfile( name );
         }
      }
      for ( auto const & [ name, c ] : containerConfig_->container() ) {
         watchContainer( name );
      }
      for ( auto const & [ name, c ] : consolidated_->container() ) {
         if ( !containerConfig_->container( name ) ) {
            sync( name );
         }
      }
      for ( auto const & [ name, c ] : containerConfig_->container() ) {
         sync( name );
      }
   } );
}

void ContainerProfileDirSm::notificationsIs( bool on ) {
   reactor_.notificationsIs( on );
   if ( on ) {
      reactor_.start();
   }
}

void ContainerProfileDirSm::watchContainer( String const & name ) {
   if ( auto c = containerConfig_->container( name ) ) {
      reactor_.watch( c, [ this, name ]( AttrId, String const * ) { sync( name ); } );
      reactor_.start();
   }
}

void ContainerProfileDirSm::watchProfile( String const & profile ) {
   if ( auto p = profileConfig_->profile( profile ) ) {
      reactor_.watch( p, [ this, profile ]( AttrId, String const * ) { syncProfile( profile ); } );
      reactor_.start();
   }
}

void ContainerProfileDirSm::syncProfile( String const & profile ) {
   for ( auto const & [ name, c ] : containerConfig_->container() ) {
      if ( c->profile() == profile ) {
         sync( name );
      }
   }
}

void ContainerProfileDirSm::sync( String const & name ) {
   auto c = containerConfig_->container( name );
   if ( !c ) {
      consolidated_->containerDel( name );
      return;
   }
   auto profile = profileConfig_ && !c->profile().empty()
                     ? profileConfig_->profile( c->profile() )
                     : Ptr< ContainerConfig >();
   ContainerParams params = c->params();
   std::map< String, BindMountEntry > binds = c->bindMount();
   if ( profile ) {
      // Field by field: what the container leaves at the default comes from
      // the profile.
      nlohmann::json const defaults = ContainerParams{};
      nlohmann::json merged = profile->params();
      nlohmann::json const own = c->params();
      for ( auto const & [ field, value ] : own.items() ) {
         if ( value != defaults[ field ] ) {
            merged[ field ] = value;
         }
      }
      params = merged.get< ContainerParams >();
      for ( auto const & [ path, b ] : profile->bindMount() ) {
         binds.emplace( path, b );
      }
   }
   auto out = consolidated_->containerIs( name );
   out->profileIs( c->profile() );
   out->paramsIs( params );
   for ( auto it = out->bindMount().begin(); it != out->bindMount().end(); ) {
      String const path = it->first;
      ++it;
      if ( !binds.count( path ) ) {
         out->bindMountDel( path );
      }
   }
   for ( auto const & [ path, b ] : binds ) {
      out->bindMountIs( path, b );
   }
   out->enabledIs( c->enabled() );
}

// ------------------------------------------------------------ runtime manager

QuaydSm::QuaydSm( Ptr< QuaydConfig const > quaydConfig, Ptr< QuaydStatus > quaydStatus,
                  Ptr< QuaydStatus > quaydGlobalStatus,
                  Ptr< PersistentPathConfig const > persistentPathConfig,
                  Ptr< PersistentPathStatus > persistentPathStatus,
                  Ptr< ImageLoadConfigDir const > imageLoadConfig,
                  Ptr< ImageLoadStatusDir > imageLoadStatus,
                  Ptr< RegistryConfigDir const > registryConfig,
                  Ptr< RegistryStatusDir > registryStatus,
                  Ptr< ContainerProfileConfigDir const > containerProfileConfig,
                  Ptr< ContainerConfigDir const > containerConfig,
                  Ptr< ContainerStatusDir > containerStatus,
                  Ptr< ContainerRuntimeInterface > runtime,
                  Ptr< TaskScheduler > taskScheduler )
      : quaydConfig_( std::move( quaydConfig ) ), quaydStatus_( std::move( quaydStatus ) ),
        quaydGlobalStatus_( std::move( quaydGlobalStatus ) ),
        persistentPathConfig_( std::move( persistentPathConfig ) ),
        persistentPathStatus_( std::move( persistentPathStatus ) ),
        imageLoadConfig_( std::move( imageLoadConfig ) ),
        imageLoadStatus_( std::move( imageLoadStatus ) ),
        registryConfig_( std::move( registryConfig ) ),
        registryStatus_( std::move( registryStatus ) ),
        containerProfileConfig_( std::move( containerProfileConfig ) ),
        containerConfig_( std::move( containerConfig ) ),
        containerStatus_( std::move( containerStatus ) ), runtime_( std::move( runtime ) ),
        taskScheduler_( std::move( taskScheduler ) ) {
   QUAYD_ASSERT( taskScheduler_ );
   runtimeCheckTask_ = makePtr< TimerTask >( taskScheduler_, TaskPriority( 3 ), "RuntimeCheck",
                                             [ this ] { checkRuntime(); } );
   reactor_.notificationsIs( false );
   if ( persistentPathStatus_ ) {
      reactor_.on( persistentPathStatus_, PersistentPathStatus::Attr::state,
                   [ this ] { handleDisabled(); } );
   }
   if ( registryStatus_ ) {
      reactor_.on( registryStatus_, RegistryStatusDir::Attr::insecureRegistriesDone,
                   [ this ] { handleRegistries(); } );
   }
}

QuaydSm::~QuaydSm() {
   reactor_.notificationsIs( false );
   stopSms();
}

QuaydSm::Args QuaydSm::args() const {
   return { quaydConfig_,      quaydStatus_,           quaydGlobalStatus_, persistentPathConfig_,
            persistentPathStatus_, imageLoadConfig_,   imageLoadStatus_,   registryConfig_,
            registryStatus_,   containerProfileConfig_, containerConfig_,  containerStatus_,
            runtime_,          taskScheduler_ };
}

void QuaydSm::notificationsIs( bool on ) {
   reactor_.notificationsIs( on );
   if ( on ) {
      reactor_.start();
   }
   auto each = [ on ]( auto const & child ) {
      if ( child ) {
         child->notificationsIs( on );
      }
   };
   each( persistentPathSm_ );
   each( imageLoadSm_ );
   each( registrySm_ );
   each( containerDirSm_ );
   each( containerProfileDirSm_ );
}

void QuaydSm::stateIs( SmState s ) {
   quaydStatus_->stateIs( s );
   quaydGlobalStatus_->stateIs( s );
}

void QuaydSm::stoppingStateIs( SmState s ) {
   quaydGlobalStatus_->stateIs( s );
   quaydStatus_->stateIs( s );
}

void QuaydSm::applyConfig() {
   String const dataRoot = quaydStatus_->runningOnFlash() ? datarootOnFlash() : String();
   runtime_->applyConfig( dataRoot, "", nullptr, true, registryStatus_->insecureRegistries() );
}

void QuaydSm::enable() {
   QUAYD_ASSERT( quaydStatus() );
   QUAYD_ASSERT( quaydGlobalStatus() );
   QUAYD_ASSERT( persistentPathConfig() );
   QUAYD_ASSERT( persistentPathStatus() );
   QUAYD_ASSERT( imageLoadConfig() );
   QUAYD_ASSERT( imageLoadStatus() );
   QUAYD_ASSERT( registryConfig() );
   QUAYD_ASSERT( registryStatus() );
   QUAYD_ASSERT( containerConfig() );
   QUAYD_ASSERT( containerStatus() );
   QUAYD_ASSERT( runtime() );
   QUAYD_ASSERT( taskScheduler() );
   QTRACE( trace, 2, "state: {}", quaydStatus_->state() );
   if ( quaydConfig_ && quaydConfig_->onFlash() ) {
      try {
         maybeCreateLoopBackMount();
      } catch ( RuntimeException const & e ) {
         QTRACE( trace, 0, "{}", e.what() );
         clearFlashStatus();
      }
      if ( !quaydStatus_->runningOnFlash() ) {
         QTRACE( trace, 0, "Cannot start quy on flash!" );
         log( QUAYD_CONTAINER_SERVICE_START_FAILED, getAvailableSpaceOnFlash() );
         quaydStatus_->stateIs( SmState::stopped_ );
         return;
      }
   }
   crashRecovery_ = quaydStatus_->state() == SmState::started_ && runtime_->runtimeActive();
   stateIs( SmState::starting_ );
   startSms();
   if ( crashRecovery_ ) {
      QTRACE( trace, 0, "Quayd is recovered after crash" );
      stateIs( SmState::started_ );
      return;
   }
   bool started = false;
   try {
      started = configureRuntime();
   } catch ( RuntimeException const & e ) {
      // Not a service job failure, but handled like one: the check keeps
      // looking for the runtime and disable() still stops everything.
      QTRACE( trace, 0, "Failed to configure runtime: {}", e.what() );
   }
   if ( started ) {
      stateIs( SmState::started_ );
   } else {
      runtimeCheckTask_->scheduleTaskDelay( runtimeCheckDelay_ );
   }
}

bool QuaydSm::configureRuntime() {
   try {
      applyConfig();
      runtime_->enableRuntime();
   } catch ( Unitctl::SdbusJobException const & e ) {
      QTRACE( trace, 2, "Failed to enable runtime: {}", e.what() );
      return false;
   }
   return true;
}

void QuaydSm::checkRuntime() {
   if ( runtime_->runtimeActive() ) {
      stateIs( SmState::started_ );
   } else {
      runtimeCheckTask_->scheduleTaskDelay( runtimeCheckDelay_ );
   }
}

void QuaydSm::startSms() {
   QTRACE( trace, 8, "" );
   if ( !consolidatedContainerConfig_ ) {
      consolidatedContainerConfig_ = makePtr< ContainerConfigDir >();
      consolidatedContainerConfig_->pathIs( "consolidatedContainerConfigDir" );
   }
   // Each link waits for the one before it to start, and for the one after
   // it to stop.
   if ( !persistentPathSm_ ) {
      persistentPathSm_ = persistentPathSmFactory( quaydStatus_, persistentPathConfig_,
                                                   persistentPathStatus_, imageLoadStatus_,
                                                   runtime_, taskScheduler_ );
   }
   if ( !imageLoadSm_ ) {
      imageLoadSm_ = imageLoadSmFactory( persistentPathStatus_, imageLoadConfig_,
                                         imageLoadStatus_, registryStatus_, runtime_,
                                         taskScheduler_ );
   }
   if ( !registrySm_ ) {
      registrySm_ = registrySmFactory( imageLoadStatus_, registryConfig_, registryStatus_,
                                       containerStatus_, runtime_, taskScheduler_ );
   }
   if ( !containerDirSm_ ) {
      containerDirSm_ = containerDirSmFactory( registryStatus_, consolidatedContainerConfig_,
                                               containerStatus_, runtime_, taskScheduler_ );
   }
   if ( !containerProfileDirSm_ ) {
      containerProfileDirSm_ = makePtr< ContainerProfileDirSm >(
         containerProfileConfig_, containerConfig_, consolidatedContainerConfig_ );
      containerProfileDirSm_->notificationsIs( true );
   }
}

void QuaydSm::stopSms() {
   QTRACE( trace, 8, "" );
   auto drop = []( auto & child ) {
      if ( auto sm = std::exchange( child, nullptr ) ) {
         sm->notificationsIs( false );
      }
   };
   drop( persistentPathSm_ );
   drop( imageLoadSm_ );
   drop( registrySm_ );
   drop( containerDirSm_ );
   drop( containerProfileDirSm_ );
   consolidatedContainerConfig_ = nullptr;
}

void QuaydSm::disable() {
   QTRACE( trace, 2, "" );
   if ( quaydStatus_->state() == SmState::stopped_ ) {
      return;
   }
   if ( persistentPathSm_ ) {
      // The chain goes down link by link, containers first; its last link
      // reaching stopped_ ends in handleDisabled().
      runtimeCheckTask_->stopTimerTask();
      containerStatus_->stateIs( SmState::stopping_ );
      return;
   }
   // Without children nothing has to go down first: a hard stop.
   stoppingStateIs( SmState::stopping_ );
   runtimeCheckTask_->stopTimerTask();
   doRuntimeHardStop();
   stoppingStateIs( SmState::stopped_ );
}

void QuaydSm::handleDisabled() {
   QTRACE( trace, 2, "state: {}, persistentPathSm state: {}", quaydStatus_->state(),
           persistentPathStatus_->state() );
   if ( persistentPathStatus_->state() != SmState::stopped_ ) {
      return;
   }
   stoppingStateIs( SmState::stopping_ );
   try {
      runtime_->disableRuntime();
      runtime_->resetConfig();
   } catch ( RuntimeException const & e ) {
      QTRACE( trace, 0, "Failed to disable runtime: {}", e.what() );
   }
   if ( quaydStatus_->runningOnFlash() ) {
      removeDataRootOnFlash();
      clearFlashStatus();
   }
   stoppingStateIs( SmState::stopped_ );
   stopSms();
}

void QuaydSm::handleRegistries() {
   QTRACE( trace, 2, "state: {}", quaydStatus_->state() );
   SmState const s = quaydStatus_->state();
   try {
      if ( s == SmState::started_ || ( s == SmState::starting_ && crashRecovery_ ) ) {
         configureInsecureRegistries();
      } else if ( s == SmState::starting_ && runtimeCheckTask_->armed() ) {
         configureRuntime();
      }
   } catch ( RuntimeException const & e ) {
      QTRACE( trace, 0, "Failed to reconfigure runtime: {}", e.what() );
   }
}

void QuaydSm::configureInsecureRegistries() {
   applyConfig();
   runtime_->reloadConfig();
}

void QuaydSm::doRuntimeHardStop() {
   QTRACE( trace, 2, "" );
   if ( runtime_->runtimeInstalled() ) {
      runtime_->disableRuntime();
      runtime_->resetConfig();
   }
   if ( quaydStatus_->runningOnFlash() ) {
      removeDataRootOnFlash();
      clearFlashStatus();
   } else {
      namespace fs = std::filesystem;
      try {
         for ( auto const & entry : fs::directory_iterator( kDefaultDataRoot ) ) {
            fs::remove_all( entry.path() );
         }
      } catch ( fs::filesystem_error const & e ) {
         QTRACE( trace, 0, "Failed to erase runtime data-root after agent crash: {}",
                 e.what() );
      }
   }
   containerStatus_->containerDelAll();
}

void QuaydSm::clearFlashStatus() {
   quaydStatus_->runningOnFlashIs( false );
   quaydStatus_->flashLimitIs( 0 );
}

// ------------------------------------------------------------ data root on flash

uint32_t QuaydSm::getAvailableSpaceOnFlash() const {
   QTRACE( trace, 8, "" );
   struct statvfs st {};
   uint32_t mb = 0;
   if ( ::statvfs( kFlashMountPoint, &st ) == 0 ) {
      mb = uint32_t( ( uint64_t( st.f_bavail ) * st.f_frsize ) >> 20 );
   }
   QTRACE( trace, 2, "Total available space on /mnt/flash: {} MB", mb );
   return mb;
}

uint32_t QuaydSm::getDefaultDataRootSize() const {
   uint32_t const mb = getAvailableSpaceOnFlash() * 12 / 100;
   QTRACE( trace, 2, "Default space for data root on /mnt/flash: {} MB", mb );
   return mb;
}

void QuaydSm::maybeCreateLoopBackMount() {
   QTRACE( trace, 8, "" );
   uint64_t const limit = quaydConfig_->flashLimit();
   if ( skipLbMount() ) {
      quaydStatus_->runningOnFlashIs( true );
      quaydStatus_->flashLimitIs( limit );
      return;
   }
   uint32_t size = 0;
   if ( limit == 0 ) {
      size = getDefaultDataRootSize();
      if ( size == 0 ) {
         QTRACE( trace, 0, "No space available on flash" );
         clearFlashStatus();
         return;
      }
   } else {
      size = uint32_t( limit >> 20 );
      uint32_t const available = getAvailableSpaceOnFlash();
      if ( size > available ) {
         QTRACE( trace, 0, "Only {}M left on flash, required {}M", available, size );
         clearFlashStatus();
         return;
      }
   }
   if ( createDataRootOnFlash( size ) ) {
      quaydStatus_->runningOnFlashIs( true );
      quaydStatus_->flashLimitIs( limit );
   } else {
      clearFlashStatus();
   }
}

Ptr< ChildSiginfo > QuaydSm::runMountTool( std::vector< String > const & args, int stderrFd ) {
   auto * processes = taskScheduler_->processRunner();
   QUAYD_ASSERT( processes );
   std::vector< String > argv{ "quylbmount" };
   argv.insert( argv.end(), args.begin(), args.end() );
   auto child = processes->run( argv, -1, -1, stderrFd, -1 );
   if ( child ) {
      processes->wait( child );
   }
   return child;
}

bool QuaydSm::createDataRootOnFlash( uint32_t sizeMb ) {
   QTRACE( trace, 8, "" );
   int fds[ 2 ];
   if ( ::pipe( fds ) != 0 ) {
      throw RuntimeException( "Failed to create pipe" );
   }
   auto child = runMountTool( { kLbMountPath, std::to_string( sizeMb ) }, fds[ 1 ] );
   ::close( fds[ 1 ] );
   bool ok = true;
   if ( !child ) {
      QTRACE( trace, 0, "Couldn't create loopback mount" );
      ok = false;
   } else if ( child->signalCode() == kChildSignaled ) {
      QTRACE( trace, 0, "Couldn't create loopback mount" );
      ok = false;
   } else if ( child->exitStatus() == 2 ) {
      QTRACE( trace, 0, "Loopback mount already exists!, treating this as a no-op" );
   } else if ( child->exitStatus() == 1 ) {
      QTRACE( trace, 0, "Couldn't create loopback mount" );
      ok = false;
   }
   if ( !ok ) {
      String err;
      char buf[ 256 ];
      ssize_t n;
      while ( ( n = ::read( fds[ 0 ], buf, sizeof buf ) ) > 0 ) {
         err.append( buf, size_t( n ) );
      }
      QTRACE( trace, 0, "STDERR from quylbmount: {}", err );
   }
   ::close( fds[ 0 ] );
   return ok;
}

void QuaydSm::removeDataRootOnFlash() {
   QTRACE( trace, 8, "" );
   if ( skipLbMount() ) {
      return;
   }
   auto child = runMountTool( { kLbMountPath, "--delete" }, -1 );
   if ( !child || child->signalCode() != kChildExited || child->exitStatus() != 0 ) {
      QTRACE( trace, 0, "Couldn't delete loopback mount" );
   }
}

Ptr< QuaydSm > quaydSmFactory(
   Ptr< QuaydConfig const > quaydConfig, Ptr< QuaydStatus > quaydStatus,
   Ptr< QuaydStatus > quaydGlobalStatus, Ptr< PersistentPathConfig const > persistentPathConfig,
   Ptr< PersistentPathStatus > persistentPathStatus,
   Ptr< ImageLoadConfigDir const > imageLoadConfig, Ptr< ImageLoadStatusDir > imageLoadStatus,
   Ptr< RegistryConfigDir const > registryConfig, Ptr< RegistryStatusDir > registryStatus,
   Ptr< ContainerProfileConfigDir const > containerProfileConfig,
   Ptr< ContainerConfigDir const > containerConfig, Ptr< ContainerStatusDir > containerStatus,
   Ptr< ContainerRuntimeInterface > runtime, Ptr< TaskScheduler > taskScheduler ) {
   return makePtr< QuaydSm >(
      std::move( quaydConfig ), std::move( quaydStatus ), std::move( quaydGlobalStatus ),
      std::move( persistentPathConfig ), std::move( persistentPathStatus ),
      std::move( imageLoadConfig ), std::move( imageLoadStatus ), std::move( registryConfig ),
      std::move( registryStatus ), std::move( containerProfileConfig ),
      std::move( containerConfig ), std::move( containerStatus ), std::move( runtime ),
      std::move( taskScheduler ) );
}

} // namespace Quayd
