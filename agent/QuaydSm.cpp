#include "agent/QuaydSm.h"

#include "platform/Exception.h"
#include "platform/FileSystem.h"

namespace Quayd {

LogDescriptor const QUAYD_FLASH_WAIT{
   "QUAYD_FLASH_WAIT", "Waiting for /mnt/flash to be mounted; trying again every %lld seconds.",
   "The data root on flash needs the flash file system, which is not mounted yet; the "
   "sub-agent starts once it is.",
   "Check that /mnt/flash gets mounted, or set QUAYD_NO_FLASH_MOUNT for quayd where flash is "
   "part of the root file system.",
   4
};

LogDescriptor const QUAYD_CONTAINER_SERVICE_START_FAILED{
   "QUAYD_CONTAINER_SERVICE_START_FAILED",
   "Quayd failed to start due to insufficient space on flash (%u megabytes)",
   "The data-root directory couldn't be mounted due to limited space available on /mnt/flash",
   "Please check the available space on flash and modify the data-root configuration "
   "accordingly.",
   3
};

// ------------------------------------------------------------ runtime manager

QuaydSm::QuaydSm( QuaydSmParts parts )
    : quaydConfig_( std::move( parts.quaydConfig ) ),
      quaydStatus_( std::move( parts.quaydStatus ) ),
      quaydGlobalStatus_( std::move( parts.quaydGlobalStatus ) ),
      persistentPathConfig_( std::move( parts.persistentPathConfig ) ),
      persistentPathStatus_( std::move( parts.persistentPathStatus ) ),
      imageLoadConfig_( std::move( parts.imageLoadConfig ) ),
      imageLoadStatus_( std::move( parts.imageLoadStatus ) ),
      registryConfig_( std::move( parts.registryConfig ) ),
      registryStatus_( std::move( parts.registryStatus ) ),
      containerProfileConfig_( std::move( parts.containerProfileConfig ) ),
      containerConfig_( std::move( parts.containerConfig ) ),
      containerStatus_( std::move( parts.containerStatus ) ),
      runtime_( std::move( parts.runtime ) ), taskScheduler_( std::move( parts.taskScheduler ) ),
      files_( parts.files ), processes_( parts.processes ), secrets_( parts.secrets ),
      flash_( parts.flash ), startupConditionTimeout_( parts.startupConditionTimeout ),
      sinks_( parts.sinks ), trace_( sinks_.trace, "QuaydSm" ), log_( sinks_.log ) {
   QUAYD_ASSERT( taskScheduler_ );
   QUAYD_ASSERT( files_ && processes_ );
   runtimeCheckTask_ = makePtr< TimerTask >( taskScheduler_, TaskPriority( 3 ), "RuntimeCheck",
                                             [ this ] { checkRuntime(); } );
   registriesRetryTask_ =
      makePtr< TimerTask >( taskScheduler_, TaskPriority( 3 ), "InsecureRegistriesRetry",
                            [ this ] { handleRegistries(); } );
   flashCleanupTask_ =
      makePtr< TimerTask >( taskScheduler_, TaskPriority( 3 ), "FlashCleanup", [ this ] {
         if ( !quaydStatus_->runningOnFlash() ) {
            releaseDataRootOnFlash();
         }
      } );
   // A data root on flash that no status claims was left by an agent that
   // stopped before it could let it go (or whose mount failed).
   if ( quaydStatus_ && !quaydStatus_->runningOnFlash() &&
        files_->isDirectory( datarootOnFlash() ) ) {
      flashCleanupTask_->scheduleTaskDelay( Duration( 0 ) );
   }
   if ( runtime_ && quaydStatus_ ) {
      // Why the daemon does not answer, for the operator; not while this
      // sub-agent is stopped, when a daemon that is down is meant to be.
      runtime_->answerObserverIs( [ this ]( String const & why ) {
         quaydStatus_->runtimeErrorIs( quaydStatus_->state() == SmState::stopped_ ? String()
                                                                                  : why );
      } );
   }
   reactor_.notificationsIs( false );
   if ( persistentPathStatus_ ) {
      reactor_.on( persistentPathStatus_, PersistentPathStatus::Attr::state,
                   [ this ] { handleDisabled(); } );
   }
   if ( registryStatus_ ) {
      reactor_.on( registryStatus_, RegistryStatusDir::Attr::insecureRegistriesDone,
                   [ this ] { handleRegistries(); } );
   }
   if ( quaydConfig_ ) {
      // Also while the other sub-agent is configured, which leaves this one
      // stopped whatever its own configuration says.
      reactor_.on( quaydConfig_, QuaydConfig::Attr::enabled, [ this ] { dropUnwantedFlash(); } );
      reactor_.on( quaydConfig_, QuaydConfig::Attr::onFlash, [ this ] { dropUnwantedFlash(); } );
   }
}

QuaydSm::StopInProgress::StopInProgress( QuaydSm & sm ) : sm_( sm ) { ++sm_.stopsInProgress_; }

QuaydSm::StopInProgress::~StopInProgress() { --sm_.stopsInProgress_; }

QuaydSm::~QuaydSm() {
   if ( runtime_ ) {
      runtime_->answerObserverIs( nullptr );
   }
   reactor_.notificationsIs( false );
   stopSms();
}

QuaydSmParts QuaydSm::parts() const {
   return { quaydConfig_,
            quaydStatus_,
            quaydGlobalStatus_,
            persistentPathConfig_,
            persistentPathStatus_,
            imageLoadConfig_,
            imageLoadStatus_,
            registryConfig_,
            registryStatus_,
            containerProfileConfig_,
            containerConfig_,
            containerStatus_,
            runtime_,
            taskScheduler_,
            files_,
            processes_,
            secrets_,
            flash_,
            startupConditionTimeout_,
            sinks_ };
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
   each( usageSampler_ );
}

void QuaydSm::stateIs( SmState s ) {
   quaydStatus_->stateIs( s );
   quaydGlobalStatus_->stateIs( s );
}

void QuaydSm::stoppingStateIs( SmState s ) {
   quaydGlobalStatus_->stateIs( s );
   quaydStatus_->stateIs( s );
   if ( s == SmState::stopped_ ) {
      quaydStatus_->runtimeErrorIs( "" );
   }
}

String QuaydSm::dataRoot() const {
   return quaydStatus_->runningOnFlash() ? datarootOnFlash() : String();
}

void QuaydSm::applyConfig() {
   runtime_->applyConfig( dataRoot(), "", nullptr, true, registryStatus_->insecureRegistries() );
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
   QTRACE( trace_, 2, "state: {}", quaydStatus_->state() );
   startDeferred_ = stopsInProgress_ > 0;
   mountFailed_ = false;
   if ( startDeferred_ ) {
      // Asked for by a notification of the stop's own states: the start
      // follows the stop, over a clean chain.
      QTRACE( trace_, 2, "A stop is in progress; starting once it is done" );
      return;
   }
   if ( quaydConfig_ && quaydConfig_->onFlash() && !flashPresent() ) {
      // Nothing is touched meanwhile: what an earlier run left on flash is
      // taken over once flash is there.
      QTRACE( trace_, 0, "Waiting for {} to be mounted", kFlashMountPoint );
      if ( !waitingForFlash_ ) {
         log( log_, QUAYD_FLASH_WAIT, (long long)kFlashRetry.count() );
      }
      waitingForFlash_ = true;
      // What an earlier agent left started_ cannot run without its data
      // root: the runtime is to be started again, and the status says so.
      if ( quaydStatus_->state() == SmState::started_ && !chainPresent() && !runtimeActive() ) {
         stateIs( SmState::starting_ );
      }
      return;
   }
   waitingForFlash_ = false;
   if ( !quaydConfig_ || !quaydConfig_->onFlash() ) {
      quaydStatus_->mountErrorIs( "" );
   } else {
      bool const inherited = quaydStatus_->state() != SmState::stopped_ && !chainPresent();
      bool const wasOnFlash = quaydStatus_->runningOnFlash();
      uint64_t const wasLimit = quaydStatus_->flashLimit();
      try {
         maybeCreateLoopBackMount();
      } catch ( RuntimeException const & e ) {
         QTRACE( trace_, 0, "{}", e.what() );
         clearFlashStatus();
      }
      if ( !quaydStatus_->runningOnFlash() ) {
         QTRACE( trace_, 0, "Cannot start quy on flash!" );
         log( log_, QUAYD_CONTAINER_SERVICE_START_FAILED, getAvailableSpaceOnFlash() );
         if ( inherited ) {
            // What an earlier agent left running cannot be taken over
            // without its data root: it goes down as it was.
            quaydStatus_->runningOnFlashIs( wasOnFlash );
            quaydStatus_->flashLimitIs( wasLimit );
            hardStop();
         }
         quaydStatus_->stateIs( SmState::stopped_ );
         return;
      }
   }
   crashRecovery_ = quaydStatus_->state() == SmState::started_ && runsOwnConfig();
   configApplied_ = crashRecovery_;
   stateIs( SmState::starting_ );
   startSms();
   if ( crashRecovery_ ) {
      QTRACE( trace_, 0, "Quayd is recovered after crash" );
      stateIs( SmState::started_ );
      // A registry list that the daemon did not take before the restart
      // would otherwise wait for the next registry change.
      handleRegistries();
      return;
   }
   startRuntimeAgain();
}

bool QuaydSm::configureRuntime() {
   lastStartAttempt_ = taskScheduler_->now();
   configApplied_ = false;
   try {
      // A daemon that runs already was started by someone else (the other
      // sub-agent, which could not stop it): it takes this configuration
      // only when started anew.
      if ( runtime_->runtimeActive() ) {
         QTRACE( trace_, 0, "The runtime runs already; restarting it with this configuration" );
         runtime_->disableRuntime();
      }
      applyConfig();
      configApplied_ = true;
      runtime_->enableRuntime();
   } catch ( Unitctl::SdbusJobException const & e ) {
      QTRACE( trace_, 2, "Failed to enable runtime: {}", e.what() );
      return false;
   }
   return true;
}

void QuaydSm::startRuntimeAgain() {
   bool started = false;
   try {
      started = configureRuntime();
   } catch ( Exception const & e ) {
      // Not a service job failure, but handled like one: the check keeps
      // looking for the runtime and disable() still stops everything.
      QTRACE( trace_, 0, "Failed to configure runtime: {}: {}", e.name(), e.what() );
   }
   if ( started ) {
      stateIs( SmState::started_ );
   } else {
      runtimeCheckTask_->scheduleTaskDelay( runtimeCheckDelay_ );
   }
}

bool QuaydSm::runtimeActive() {
   try {
      return runtime_->runtimeActive();
   } catch ( Exception const & e ) {
      QTRACE( trace_, 0, "Checking the runtime failed: {}: {}", e.name(), e.what() );
      return false;
   }
}

bool QuaydSm::runsOwnConfig() {
   // A status older than the daemon (a database that lost its tail) may say
   // started_ of a daemon the other sub-agent started since: only one on
   // this sub-agent's own data root and settings is taken over.
   try {
      return runtime_->runtimeRunsWith( dataRoot(), "", nullptr,
                                        registryStatus_->insecureRegistries() );
   } catch ( Exception const & e ) {
      QTRACE( trace_, 0, "Checking the runtime failed: {}: {}", e.name(), e.what() );
      return false;
   }
}

void QuaydSm::checkRuntime() {
   // A runtime that answers counts only when it runs with this configuration.
   if ( configApplied_ && runtimeActive() ) {
      stateIs( SmState::started_ );
   } else if ( taskScheduler_->now() - lastStartAttempt_ >= kStartRetryDelay ) {
      // Nothing else would start a runtime whose start failed.
      startRuntimeAgain();
   } else {
      runtimeCheckTask_->scheduleTaskDelay( runtimeCheckDelay_ );
   }
}

void QuaydSm::startSms() {
   QTRACE( trace_, 8, "" );
   if ( !consolidatedContainerConfig_ ) {
      consolidatedContainerConfig_ = makePtr< ContainerConfigDir >();
      consolidatedContainerConfig_->pathIs( "consolidatedContainerConfigDir" );
   }
   // Each link waits for the one before it to start, and for the one after
   // it to stop.
   if ( !persistentPathSm_ ) {
      persistentPathSm_ =
         persistentPathSmFactory( quaydStatus_, persistentPathConfig_, persistentPathStatus_,
                                  imageLoadStatus_, runtime_, taskScheduler_, *files_, sinks_ );
   }
   if ( !imageLoadSm_ ) {
      imageLoadSm_ = imageLoadSmFactory( persistentPathStatus_, imageLoadConfig_, imageLoadStatus_,
                                         registryStatus_, runtime_, taskScheduler_, sinks_ );
   }
   if ( !registrySm_ ) {
      registrySm_ =
         registrySmFactory( imageLoadStatus_, registryConfig_, registryStatus_, containerStatus_,
                            runtime_, taskScheduler_, secrets_, sinks_ );
   }
   if ( !containerDirSm_ ) {
      containerDirSm_ = containerDirSmFactory( registryStatus_, consolidatedContainerConfig_,
                                               containerStatus_, runtime_, taskScheduler_,
                                               *processes_, sinks_, startupConditionTimeout_ );
   }
   if ( !containerProfileDirSm_ ) {
      containerProfileDirSm_ =
         makePtr< ContainerProfileDirSm >( containerProfileConfig_, containerConfig_,
                                           consolidatedContainerConfig_ );
      containerProfileDirSm_->notificationsIs( true );
   }
   if ( !usageSampler_ && quaydConfig_ ) {
      usageSampler_ = makePtr< UsageSampler >( quaydConfig_, consolidatedContainerConfig_,
                                               containerStatus_, runtime_, taskScheduler_, sinks_ );
   }
}

void QuaydSm::stopSms() {
   QTRACE( trace_, 8, "" );
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
   drop( usageSampler_ );
   consolidatedContainerConfig_ = nullptr;
}

void QuaydSm::disable() {
   QTRACE( trace_, 2, "" );
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
   hardStop();
}

void QuaydSm::hardStop() {
   StopInProgress const stop( *this );
   stoppingStateIs( SmState::stopping_ );
   runtimeCheckTask_->stopTimerTask();
   doRuntimeHardStop();
   stoppingStateIs( SmState::stopped_ );
}

void QuaydSm::handleDisabled() {
   QTRACE( trace_, 2, "state: {}, persistentPathSm state: {}", quaydStatus_->state(),
           persistentPathStatus_->state() );
   // Without children this is not the end of a chain going down (a hard
   // stop resets the status itself).
   if ( persistentPathStatus_->state() != SmState::stopped_ || !persistentPathSm_ ) {
      return;
   }
   StopInProgress const stop( *this );
   stoppingStateIs( SmState::stopping_ );
   try {
      runtime_->disableRuntime();
      runtime_->resetConfig();
   } catch ( Exception const & e ) {
      // A daemon that will not stop must not keep the sub-agent from
      // stopping: whatever comes next needs stopped_ to start, and restarts
      // the daemon with its own configuration.
      QTRACE( trace_, 0, "Failed to disable runtime: {}: {}", e.name(), e.what() );
   }
   if ( quaydStatus_->runningOnFlash() ) {
      releaseDataRootOnFlash();
      clearFlashStatus();
      // Containers that could not be removed went with their data root.
      containerStatus_->containerDelAll();
   } else {
      eraseDefaultDataRoot(); // left to do by a hard stop before
   }
   // The children go before stopped_ is published: its notification may
   // start this machine again, and the new start needs a clean chain.
   stopSms();
   stoppingStateIs( SmState::stopped_ );
}

void QuaydSm::handleRegistries() {
   QTRACE( trace_, 2, "state: {}", quaydStatus_->state() );
   SmState const s = quaydStatus_->state();
   try {
      if ( s == SmState::started_ || ( s == SmState::starting_ && crashRecovery_ ) ) {
         configureInsecureRegistries();
      } else if ( s == SmState::starting_ && runtimeCheckTask_->armed() ) {
         configureRuntime();
      }
   } catch ( Exception const & e ) {
      QTRACE( trace_, 0, "Failed to reconfigure runtime: {}: {}", e.name(), e.what() );
      // Nothing else would bring the registry list to the daemon.
      registriesRetryTask_->scheduleTaskDelay( kStartRetryDelay );
   }
}

void QuaydSm::configureInsecureRegistries() {
   applyConfig();
   runtime_->reloadConfig();
}

void QuaydSm::doRuntimeHardStop() {
   QTRACE( trace_, 2, "" );
   try {
      if ( runtime_->runtimeInstalled() ) {
         runtime_->disableRuntime();
         runtime_->resetConfig();
      }
   } catch ( Exception const & e ) {
      QTRACE( trace_, 0, "Failed to disable runtime: {}: {}", e.name(), e.what() );
   }
   if ( quaydStatus_->runningOnFlash() ) {
      releaseDataRootOnFlash();
      clearFlashStatus();
   } else {
      eraseDefaultDataRootPending_ = true;
      eraseDefaultDataRoot();
   }
   containerStatus_->containerDelAll();
   // What the chain of an earlier agent published is gone with its runtime.
   containerStatus_->stateIs( SmState::stopped_ );
   // The logins outlive the daemon in the runtime's store: nobody would
   // remove them once their status is gone.
   for ( auto const & [ name, r ] : registryStatus_->registry() ) {
      if ( r->state() != RegistryState::loggedIn ) {
         continue;
      }
      try {
         runtime_->logout( r->params().server );
      } catch ( Exception const & e ) {
         QTRACE( trace_, 0, "Failed to logout from registry: {}: {}", e.name(), e.what() );
      }
   }
   registryStatus_->registryDelAll();
   registryStatus_->stateIs( SmState::stopped_ );
   if ( !eraseDefaultDataRootPending_ ) {
      // Otherwise the images are still in the data root left to erase: their
      // records stay, so that the next start unloads them even if this agent
      // is gone before the erase.
      imageLoadStatus_->statusDelAll();
   }
   imageLoadStatus_->stateIs( SmState::stopped_ );
   persistentPathStatus_->imageDelAll();
   persistentPathStatus_->stateIs( SmState::stopped_ );
}

void QuaydSm::eraseDefaultDataRoot() {
   if ( !eraseDefaultDataRootPending_ ) {
      return;
   }
   bool gone = false;
   try {
      gone = runtime_->runtimeGone();
   } catch ( Exception const & e ) {
      QTRACE( trace_, 0, "Checking that the runtime is gone failed: {}: {}", e.name(), e.what() );
   }
   if ( !gone ) {
      // Erased under a live daemon, what it has mounted there would go too.
      QTRACE( trace_, 0, "The runtime did not stop; {} is erased at the next stop",
              kDefaultDataRoot );
      return;
   }
   try {
      files_->eraseOwnFileSystem( kDefaultDataRoot );
      eraseDefaultDataRootPending_ = false;
      // Containers that could not be removed, and images, went with it.
      containerStatus_->containerDelAll();
      imageLoadStatus_->statusDelAll();
   } catch ( RuntimeException const & e ) {
      QTRACE( trace_, 0, "Failed to erase runtime data-root after agent crash: {}", e.what() );
   }
}

void QuaydSm::clearFlashStatus() {
   quaydStatus_->runningOnFlashIs( false );
   quaydStatus_->flashLimitIs( 0 );
}

Ptr< QuaydSm > quaydSmFactory( QuaydSmParts parts ) {
   return makePtr< QuaydSm >( std::move( parts ) );
}

} // namespace Quayd
