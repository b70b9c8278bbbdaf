#include "agent/ContainerDirSm.h"

#include "platform/Exception.h"

namespace Quayd {

ContainerDirSm::ContainerDirSm( Ptr< RegistryStatusDir const > registryStatusDir,
                                Ptr< ContainerConfigDir const > containerConfigDir,
                                Ptr< ContainerStatusDir > containerStatusDir,
                                Ptr< ContainerRuntimeInterface > runtime,
                                Ptr< TaskScheduler > taskScheduler, ProcessRunner & processes,
                                Sinks sinks, Seconds startupConditionTimeout )
    : registryStatusDir_( std::move( registryStatusDir ) ),
      containerConfigDir_( std::move( containerConfigDir ) ),
      containerStatusDir_( std::move( containerStatusDir ) ), runtime_( std::move( runtime ) ),
      taskScheduler_( std::move( taskScheduler ) ), processes_( processes ),
      startupConditionTimeout_( startupConditionTimeout ), sinks_( sinks ),
      trace_( sinks.trace, "ContainerDirSm" ) {
   QUAYD_ASSERT( registryStatusDir_ );
   QUAYD_ASSERT( containerConfigDir_ );
   QUAYD_ASSERT( containerStatusDir_ );
   QUAYD_ASSERT( runtime_ );
   QUAYD_ASSERT( taskScheduler_ );
   containerSmTask_ = makePtr< Task >( taskScheduler_, TaskPriority( 3 ), "HandleContainerSm",
                                       [ this ] { handleContainerSm(); } );
   leftoverTask_ = makePtr< TimerTask >( taskScheduler_, TaskPriority( 3 ), "RemoveLeftovers",
                                         [ this ] { handleLeftovers(); } );
   reactor_.on( registryStatusDir_, RegistryStatusDir::Attr::state, [ this ] { handleEnabled(); } );
   reactor_.onKey( containerConfigDir_, ContainerConfigDir::Attr::container,
                   [ this ]( String const & name ) { handleContainerConfig( name ); } );
   reactor_.on( containerStatusDir_, ContainerStatusDir::Attr::state,
                [ this ] { handleDisabled(); } );
   reactor_.onInitial( containerStatusDir_, [ this ] { handleInitState(); } );
   reactor_.start();
   eventSubscription_ = runtime_->containerEventsSubscribe(
      [ this ]( ContainerEvent const & e ) { handleContainerEvent( e ); } );
}

ContainerDirSm::~ContainerDirSm() {
   runtime_->containerEventsUnsubscribe( eventSubscription_ );
   reactor_.notificationsIs( false );
   containerSmTask_->unscheduleTask();
   leftoverTask_->stopTimerTask();
   // Each machine stops and removes the container it runs.
   containerSm_.clear();
}

void ContainerDirSm::handleInitState() {
   if ( containerStatusDir_->state() != SmState::stopped_ ) {
      containerStatusDir_->stateIs( SmState::inherited_ );
   }
}

Ptr< ContainerSm > ContainerDirSm::containerSm( String const & name ) const {
   auto it = containerSm_.find( name );
   return it == containerSm_.end() ? Ptr< ContainerSm >() : it->second;
}

Ptr< ContainerSm > ContainerDirSm::containerSmIs( Ptr< ContainerConfig const > const & config,
                                                  Ptr< ContainerStatus > const & status,
                                                  Ptr< ContainerRuntimeInterface > const & runtime,
                                                  Ptr< TaskScheduler > const & taskScheduler ) {
   QUAYD_ASSERT( status );
   String const name = status->name();
   if ( auto existing = containerSm( name ) ) {
      return existing;
   }
   auto sm = containerSmFactory( config, status, runtime, taskScheduler, processes_, sinks_,
                                 startupConditionTimeout_ );
   containerSm_[ name ] = sm;
   return sm;
}

void ContainerDirSm::containerSmDel( String const & name ) {
   auto it = containerSm_.find( name );
   if ( it == containerSm_.end() ) {
      return;
   }
   Ptr< ContainerSm > sm = std::move( it->second );
   containerSm_.erase( it );
   sm = nullptr; // its destructor cleans the container up
}

void ContainerDirSm::handleEnabled() {
   QTRACE( trace_, 2, "state: {}, registrySm state {}", containerStatusDir_->state(),
           registryStatusDir_->state() );
   if ( registryStatusDir_->state() != SmState::started_ ) {
      return;
   }
   containerStatusDir_->stateIs( SmState::starting_ );
   // A stop still draining its queue is overtaken by the bring-up, which
   // looks at every name again.
   pendingContainerDelAll();
   for ( auto const & [ name, config ] : containerConfigDir_->container() ) {
      pendingContainerEnq( name );
   }
   recordUnknownContainers();
   // Left-overs of containers no longer configured, after the configured ones.
   for ( auto const & [ name, status ] : containerStatusDir_->container() ) {
      if ( !containerConfigDir_->container( name ) ) {
         pendingContainerEnq( name );
      }
   }
   containerSmTask_->scheduleTask();
}

bool ContainerDirSm::recordUnknownContainers() {
   std::vector< String > own;
   try {
      own = runtime_->listOwnContainers();
   } catch ( RuntimeException const & e ) {
      QTRACE( trace_, 0, "Failed to list the runtime's containers: {}", e.what() );
      leftoverTask_->scheduleTaskLowestDelay( kLeftoverRetry );
      return false;
   }
   for ( auto const & name : own ) {
      auto status = containerStatusDir_->container( name );
      if ( status && status->state() == ContainerRunState::containerRunning_ ) {
         continue;
      }
      // Ours, but not recorded as there (left in a data root that was not
      // in use, or that could not be erased, when its removal failed):
      // recorded as there with no parameters, so that it is removed, and
      // run again as configured.
      QTRACE( trace_, 0, "Container {} is in the runtime unrecorded; replacing it", name );
      if ( auto sm = containerSm( name ) ) {
         sm->handleFound();
         continue;
      }
      if ( !status ) {
         status = containerStatusDir_->containerIs( name );
         status->nameIs( name );
      }
      status->paramsIs( {} );
      status->stateIs( ContainerRunState::containerRunning_ );
   }
   return true;
}

void ContainerDirSm::handleDisabled() {
   QTRACE( trace_, 2, "state: {}", containerStatusDir_->state() );
   if ( containerStatusDir_->state() != SmState::stopping_ ) {
      return;
   }
   pendingContainerDelAll();
   for ( auto const & [ name, status ] : containerStatusDir_->container() ) {
      pendingContainerEnq( name );
   }
   // Taken down one per turn of the loop: a retry that falls due meanwhile
   // must not run what is about to go.
   for ( auto const & [ name, sm ] : containerSm_ ) {
      sm->standDown();
   }
   handleContainerSm();
}

void ContainerDirSm::handleContainerSm() {
   QTRACE( trace_, 8, "" );
   if ( !pendingContainerEmpty() ) {
      handleContainerConfig( pendingContainerDeq() );
      if ( !pendingContainerEmpty() ) {
         containerSmTask_->scheduleTask();
         return;
      }
   }
   SmState const state = containerStatusDir_->state();
   if ( state == SmState::starting_ ) {
      containerStatusDir_->stateIs( SmState::started_ );
   } else if ( state == SmState::stopping_ ) {
      containerStatusDir_->stateIs( SmState::stopped_ );
   }
}

void ContainerDirSm::handleContainerEvent( ContainerEvent const & event ) {
   QTRACE( trace_, 8, "container: '{}', action: {}", event.name, event.action );
   if ( !event.name.empty() ) {
      if ( auto sm = containerSm( event.name ) ) {
         // One removed behind our back while the containers run is run
         // again at once (a removal of our own finds it stopped; a start
         // that failed removes what it created, and its retry is timed).
         ContainerRunState const s = sm->containerStatus()->state();
         if ( event.action == "destroy" && containerStatusDir_->state() == SmState::started_ &&
              s == ContainerRunState::containerRunning_ ) {
            sm->handleEnabled();
         } else if ( event.action == "create" ) {
            // Created by a start that failed, and its removal with it: held,
            // though nothing records it. The listing never takes what a
            // start in flight made; that machine looks once its start ends.
            if ( s == ContainerRunState::containerStartFailed_ ) {
               recordUnknownContainers();
            } else {
               sm->handleCreatedInFlight();
            }
         } else {
            sm->handleDaemonEvent( event );
         }
      }
      return;
   }
   SmState const state = containerStatusDir_->state();
   if ( state != SmState::starting_ && state != SmState::started_ ) {
      return; // a stop takes every container down anyway
   }
   // The stream starts again after the daemon restarted, which may have left
   // containers exited: each is evaluated again, and what was created
   // meanwhile is looked for.
   handleLeftovers();
   std::vector< Ptr< ContainerSm > > machines;
   for ( auto const & [ name, sm ] : containerSm_ ) {
      machines.push_back( sm );
   }
   for ( auto const & sm : machines ) {
      sm->handleEnabled();
   }
}

void ContainerDirSm::handleContainerConfig( String const & name ) {
   SmState const state = containerStatusDir_->state();
   QTRACE( trace_, 2, "container: {}, state: {}", name, state );
   if ( state == SmState::stopped_ || state == SmState::inherited_ ) {
      return;
   }
   Ptr< ContainerConfig const > const config =
      state == SmState::stopping_ ? nullptr : containerConfigDir_->container( name );
   Ptr< ContainerStatus > status = containerStatusDir_->container( name );
   // Not held here: the machine must be gone, and its container with it,
   // before its status entry goes, or an agent killed in between would leave
   // a container that no status records.
   Ptr< ContainerSm > sm = containerSm( name );
   if ( !config && !status ) {
      QUAYD_ASSERT( !sm );
      return;
   }
   if ( sm && sm->retiring() ) {
      if ( state != SmState::stopping_ && !sm->retired() ) {
         return; // it calls back once its container is gone
      }
      // A configuration made again meanwhile gets a machine of its own.
      sm = nullptr; // the last hold on it is the directory's
      containerSmDel( name );
      if ( !config ) {
         containerGone( name, *status );
         return;
      }
   }
   if ( sm ) {
      QUAYD_ASSERT( status );
   } else {
      status = containerStatusDir_->containerIs( name );
      status->nameIs( name );
      sm = containerSmIs( config, status, runtime_, taskScheduler_ );
   }
   if ( !config ) {
      QTRACE( trace_, 2, "Delete containerSm: {}", name );
      if ( state == SmState::stopping_ ) {
         sm = nullptr;
         containerSmDel( name );
         containerGone( name, *status );
         return;
      }
      // Taken down in flight, beside the other containers' calls.
      sm->retire( [ this, name ] {
         pendingContainerEnq( name );
         containerSmTask_->scheduleTask();
      } );
   }
}

void ContainerDirSm::containerGone( String const & name, ContainerStatus const & status ) {
   if ( status.state() == ContainerRunState::containerRunning_ ) {
      // Its container could not be removed: the entry stays, so that
      // neither this agent nor the next forgets the container.
      QTRACE( trace_, 0, "Container {} is still in the runtime; removing it again in {}s", name,
              kLeftoverRetry.count() );
      leftoverTask_->scheduleTaskLowestDelay( kLeftoverRetry );
      return;
   }
   containerStatusDir_->containerDel( name );
}

void ContainerDirSm::handleLeftovers() {
   SmState const state = containerStatusDir_->state();
   if ( state == SmState::starting_ ) {
      leftoverTask_->scheduleTaskLowestDelay( kLeftoverRetry ); // after the bring-up
      return;
   }
   if ( state != SmState::started_ ) {
      return; // a stop, or the next start, takes them
   }
   if ( !recordUnknownContainers() ) {
      // A daemon that cannot list them would hold up each removal as
      // long: the retry takes them all.
      return;
   }
   std::vector< String > names;
   for ( auto const & [ name, status ] : containerStatusDir_->container() ) {
      if ( !containerConfigDir_->container( name ) && !containerSm( name ) ) {
         names.push_back( name );
      }
   }
   for ( auto const & name : names ) {
      handleContainerConfig( name );
   }
}

Ptr< ContainerDirSm > containerDirSmFactory( Ptr< RegistryStatusDir const > registryStatusDir,
                                             Ptr< ContainerConfigDir const > containerConfigDir,
                                             Ptr< ContainerStatusDir > containerStatusDir,
                                             Ptr< ContainerRuntimeInterface > runtime,
                                             Ptr< TaskScheduler > taskScheduler,
                                             ProcessRunner & processes, Sinks sinks,
                                             Seconds startupConditionTimeout ) {
   return makePtr< ContainerDirSm >( std::move( registryStatusDir ),
                                     std::move( containerConfigDir ),
                                     std::move( containerStatusDir ), std::move( runtime ),
                                     std::move( taskScheduler ), processes, sinks,
                                     startupConditionTimeout );
}

} // namespace Quayd
