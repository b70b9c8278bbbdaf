#include "agent/ContainerSm.h"

#include "agent/ContainerPlan.h"

#include <boost/program_options/parsers.hpp>
#include <boost/token_functions.hpp>

#include "platform/ContainerOptions.h"
#include "platform/Exception.h"

namespace Quayd {

std::vector< String > splitWords( String const & text, char const * what ) {
   try {
      return boost::program_options::split_unix( text );
   } catch ( boost::escaped_list_error const & e ) {
      throw RuntimeException( fmt::format( "cannot split {} '{}': {}", what, text, e.what() ) );
   }
}

LogDescriptor const QUAYD_CONTAINER_START_FAILED{
   "QUAYD_CONTAINER_START_FAILED",
   "Container %s failed to run, container-runtime reported error \"%s\" while running \"%s\".",
   "Configured container didn't start successfully.",
   "If the problem persists, please check container configuration. Otherwise, no action "
   "required.",
   3
};

LogDescriptor const QUAYD_CONTAINER_STARTED{ "QUAYD_CONTAINER_STARTED", "Container %s started.",
                                             "Configured container started successfully.", "", 6 };

LogDescriptor const QUAYD_CONTAINER_REMOVED{
   "QUAYD_CONTAINER_REMOVED", "Container %s stopped and removed on configuration change.",
   "Running container was stopped and removed due to configuration change.", "", 6
};

LogDescriptor const QUAYD_CONTAINER_STARTUP_CONDITION_BASH_TIMEOUT{
   "QUAYD_CONTAINER_STARTUP_CONDITION_BASH_TIMEOUT",
   "Startup condition bash commands for Container %s timed out after %d seconds",
   "Startup condition bash commands didn't exit immediately as expected",
   "If the problem persists, please check the startup condition bash configuration. "
   "Otherwise, no action required.",
   3
};

ContainerSm::ContainerSm( Ptr< ContainerConfig const > containerConfig,
                          Ptr< ContainerStatus > containerStatus,
                          Ptr< ContainerRuntimeInterface > runtime,
                          Ptr< TaskScheduler > taskScheduler, ProcessRunner & processes,
                          Sinks sinks, Seconds startupConditionTimeout )
    : containerConfig_( std::move( containerConfig ) ),
      containerStatus_( std::move( containerStatus ) ), runtime_( std::move( runtime ) ),
      taskScheduler_( std::move( taskScheduler ) ), processes_( processes ),
      startupConditionTimeout_( startupConditionTimeout ), history_( containerStatus_ ),
      backoff_( taskScheduler_, [ this ] { return presence() == Presence::present; } ),
      health_( *runtime_, *containerStatus_, history_, sinks ), sinks_( sinks ),
      trace_( sinks.trace, "ContainerSm" ), log_( sinks.log ) {
   QUAYD_ASSERT( containerStatus_ );
   QUAYD_ASSERT( !containerStatus_->name().empty() );
   QUAYD_ASSERT( runtime_ );
   QUAYD_ASSERT( taskScheduler_ );
   startAttemptTask_ =
      makePtr< TimerTask >( taskScheduler_, TaskPriority( 3 ), "StartContainerAttempt",
                            [ this ] { handleEnabled(); } );
   daemonStateTask_ = makePtr< TimerTask >( taskScheduler_, TaskPriority( 3 ), "ReadDaemonState",
                                            [ this ] { handleDaemonEvent(); } );
   // An edit arrives field by field (parameters, bind mounts, enabled): the
   // container reacts once to the whole of it, so that it never runs what
   // the edit only passes through.
   evaluateTask_ = makePtr< Task >( taskScheduler_, TaskPriority( 3 ), "EvaluateContainer",
                                    [ this ] { handleParams(); } );
   if ( containerConfig_ ) {
      for ( auto attr : { ContainerConfig::Attr::params, ContainerConfig::Attr::bindMount,
                          ContainerConfig::Attr::enabled } ) {
         reactor_.on( containerConfig_, attr, [ this ] { evaluateTask_->scheduleTask(); } );
      }
      reactor_.onInitial( containerConfig_, [ this ] { handleParams(); } );
      reactor_.start();
   }
}

ContainerSm::~ContainerSm() {
   reactor_.notificationsIs( false );
   if ( std::exchange( startCall_, nullptr ) ) {
      // Abandoned: what it may have made is removed as a running one is.
      containerStatus_->stateIs( ContainerRunState::containerRunning_ );
   }
   // A removal in flight goes with this machine, and is made here at once:
   // nothing would be left to hear its answer.
   cleanup( false );
   startAttemptTask_ = nullptr;
   daemonStateTask_ = nullptr;
   evaluateTask_ = nullptr;
   retireTask_ = nullptr;
   startupConditionProbeDel();
   startupConditionStatusDel();
}

void ContainerSm::handleFound() {
   if ( startCall_ ) {
      return; // what the start in flight made
   }
   // Recorded as there with no parameters, it is out of date: removed, then
   // run as configured.
   startAttemptTask_->stopTimerTask();
   startupConditionProbeDel();
   startupConditionStatusDel();
   containerStatus_->paramsIs( {} );
   containerStatus_->stateIs( ContainerRunState::containerRunning_ );
   handleEnabled();
}

void ContainerSm::standDown() {
   stoodDown_ = true;
   startAttemptTask_->stopTimerTask();
   startupConditionProbeDel();
   startupConditionStatusDel();
}

void ContainerSm::retire( std::function< void() > retired ) {
   retired_ = std::move( retired );
   retireTask_ = makePtr< Task >( taskScheduler_, TaskPriority( 3 ), "RetireContainer",
                                  [ this ] { retired_(); } );
   reactor_.notificationsIs( false );
   evaluateTask_->unscheduleTask();
   containerConfig_ = nullptr;
   handleEnabled();
   checkRetired();
}

bool ContainerSm::retired() const {
   ContainerRunState const s = containerStatus_->state();
   return retiring() && !startCall_ && !stopCall_ && !removeCall_ &&
          s != ContainerRunState::containerRunning_ && s != ContainerRunState::containerStarting_;
}

void ContainerSm::checkRetired() {
   if ( retired() ) {
      retireTask_->scheduleTask();
   }
}

void ContainerSm::startAttemptCountIs( uint32_t n ) {
   startAttemptCount_ = n;
   containerStatus_->startAttemptsIs( n );
}

void ContainerSm::handleParams() {
   QTRACE( trace_, 2, "container: {}", name() );
   if ( startCall_ || removeCall_ ) {
      return; // taken up once the call ends
   }
   if ( !statusUpToDate() ) {
      handleCleanup();
      if ( containerStatus_->state() == ContainerRunState::containerRunning_ ) {
         // The old container is being removed, or could not be: the status
         // goes on describing it until it is gone.
         return;
      }
      containerStatus_->paramsIs( containerConfig_->params() );
      containerStatus_->bindMountDelAll();
      // Same keys as the configuration, so that the next comparison matches.
      for ( auto const & [ key, entry ] : containerConfig_->bindMount() ) {
         containerStatus_->bindMountIs( key, entry );
      }
   }
   handleEnabled();
}

bool ContainerSm::statusUpToDate() const {
   QUAYD_ASSERT( containerConfig_ );
   return Quayd::statusUpToDate( containerConfig_->params(), containerConfig_->bindMount(),
                                 *containerStatus_ );
}

void ContainerSm::handleEnabled() {
   if ( stoodDown_ ) {
      return; // its destruction takes the container down
   }
   if ( startCall_ || removeCall_ ) {
      QTRACE( trace_, 8, "container: {}, a call is in flight", name() );
      return; // taken up once it ends
   }
   if ( containerConfig_ && !statusUpToDate() ) {
      // A change that a failed removal held back is taken up first.
      handleParams();
      return;
   }
   bool const enabled = containerConfig_ && containerConfig_->enabled();
   QTRACE( trace_, 8, "container: {}, enabled: {}", name(), enabled );
   if ( !enabled || containerConfig_->params().image.empty() ) {
      handleCleanup();
      return;
   }
   switch ( containerStatus_->state() ) {
   case ContainerRunState::containerRunning_:
      switch ( presence() ) {
      case Presence::present:
         // It runs as its status says: a removal that failed is no longer due.
         containerStatus_->lastErrorIs( "" );
         return;
      case Presence::unknown:
         // The daemon cannot tell now; a run would only fail on the name.
         startAttemptTask_->scheduleTaskDelay( startAttemptDelay_ );
         return;
      case Presence::stale:
         QTRACE( trace_, 0, "Container {} is {} in the runtime; running it again", name(),
                 containerStatus_->daemonState() );
         // In flight: the stale ones a daemon restart leaves go out together.
         removeCall_ =
            runtime_->removeContainerAsync( name(), true, [ this ]( std::exception_ptr failure ) {
               removeCall_ = nullptr;
               if ( !removedOwn( failure ) ) {
                  startAttemptTask_->scheduleTaskDelay( startAttemptDelay_ );
                  return;
               }
               containerStatus_->stateIs( ContainerRunState::containerStopped_ );
               handleEnabled();
            } );
         return;
      case Presence::absent:
         QTRACE( trace_, 0, "Container {} not found despite being created before", name() );
         break;
      }
      // Started again as a new one, its startup condition first.
      containerStatus_->stateIs( ContainerRunState::containerStopped_ );
      handleEnabled();
      return;
   case ContainerRunState::containerStopped_:
      if ( containerStatus_->params().startupConditionBash.empty() ) {
         break;
      }
      containerStatus_->stateIs( ContainerRunState::containerWaiting_ );
      [[fallthrough]];
   case ContainerRunState::containerWaiting_:
      manageStartupCondition();
      if ( startupConditionStatus_ ) {
         return; // the condition has not succeeded yet
      }
      break;
   case ContainerRunState::containerStartFailed_:
   // A start cut short with an earlier agent: the runtime finishes it.
   case ContainerRunState::containerStarting_:
      break;
   }
   startContainer();
}

void ContainerSm::startFailed( String const & why ) {
   log( log_, QUAYD_CONTAINER_START_FAILED, name(), why, String( "container run ..." ) );
   QTRACE( trace_, 0, "Failed to run container {}: {}", name(), why );
   containerStatus_->lastErrorIs( why );
   startAttemptCountIs( startAttemptCount_ + 1 );
   containerStatus_->stateIs( ContainerRunState::containerStartFailed_ );
   Seconds const delay = backoff_.failed();
   startAttemptTask_->scheduleTaskDelay( delay );
   containerStatus_->backingOffIs( wallClockText( std::chrono::system_clock::now() + delay ) );
   QTRACE( trace_, 1, "Container {} failed to start {} times; next attempt in {}s", name(),
           startAttemptCount_, delay.count() );
}

bool ContainerSm::startContainer() {
   QTRACE( trace_, 8, "container: {}", name() );
   ContainerParams const & params = containerStatus_->params();
   Ptr< RunContainerParams > request;
   try {
      request = runContainerParamsFactory();
      request->name = name();
      request->image = params.image;
      for ( auto const & [ option, value ] : fieldSettings( nlohmann::json( params ) ) ) {
         request->settingIs( option, value );
      }
      for ( auto const & word : splitWords( params.command, "command" ) ) {
         request->commandPush( word );
      }
      for ( auto const & [ key, entry ] : containerStatus_->bindMount() ) {
         request->bindsIs( entry );
      }
      for ( auto const & word : splitWords( params.options, "options" ) ) {
         request->optionsPush( word );
      }
   } catch ( RuntimeException const & e ) {
      startFailed( e.what() );
      return false;
   }
   containerStatus_->stateIs( ContainerRunState::containerStarting_ );
   // A retry still due would take the container, should it end by itself,
   // for one to run again.
   startAttemptTask_->stopTimerTask();
   createdInFlight_ = false;
   startCall_ = runtime_->runContainerAsync( request, [ this ]( RunOutcome const & outcome,
                                                                std::exception_ptr failure ) {
      handleStarted( outcome, std::move( failure ) );
   } );
   return true;
}

void ContainerSm::handleStarted( RunOutcome const & outcome, std::exception_ptr failure ) {
   startCall_ = nullptr;
   try {
      if ( failure ) {
         std::rethrow_exception( failure );
      }
      if ( !outcome.clientFlag.empty() ) {
         containerStatus_->clientRunsInc( 1 );
      }
      log( log_, QUAYD_CONTAINER_STARTED, name() );
      containerStatus_->lastErrorIs( "" );
      containerStatus_->stateIs( ContainerRunState::containerRunning_ );
      startAttemptCountIs( 0 );
      containerStatus_->backingOffIs( "" );
      backoff_.started();
   } catch ( std::exception const & e ) {
      startFailed( e.what() );
      // What the failed start left, or may have: a daemon that cannot tell
      // is asked again as for a container it holds.
      if ( std::exchange( createdInFlight_, false ) && presence() != Presence::absent ) {
         handleFound();
         return;
      }
   }
   // What the configuration became meanwhile.
   if ( !containerConfig_ || !statusUpToDate() || !containerConfig_->enabled() ) {
      handleEnabled();
   }
   checkRetired();
}

bool ContainerSm::removeOwn() {
   std::exception_ptr failure;
   try {
      runtime_->removeContainer( name(), true );
   } catch ( RuntimeException const & ) {
      failure = std::current_exception();
   }
   return removedOwn( failure );
}

bool ContainerSm::removedOwn( std::exception_ptr failure ) {
   try {
      if ( failure ) {
         std::rethrow_exception( failure );
      }
   } catch ( std::exception const & e ) {
      QTRACE( trace_, 0, "Failed to remove container {}: {}", name(), e.what() );
      if ( presence() != Presence::absent ) {
         // The status goes on saying that the container is there, so
         // that a later attempt, or the next agent, removes it.
         containerStatus_->lastErrorIs( fmt::format( "cannot remove: {}", e.what() ) );
         return false;
      }
   }
   daemonRecordIs( nullptr );
   return true;
}

void ContainerSm::handleCleanup() { cleanup( true ); }

void ContainerSm::cleanup( bool inFlight ) {
   ContainerRunState const state = containerStatus_->state();
   QTRACE( trace_, 2, "container: {}, state: {}", name(), state );
   startAttemptCountIs( 0 );
   backoff_.reset();
   containerStatus_->backingOffIs( "" );
   startupConditionProbeDel();
   startupConditionStatusDel();
   startAttemptTask_->stopTimerTask();
   if ( state == ContainerRunState::containerRunning_ && inFlight ) {
      // The removal waits for the stop: one container's calls go in order.
      stopCall_ = runtime_->stopContainerAsync( name(), [ this ]( std::exception_ptr failure ) {
         stopCall_ = nullptr;
         try {
            if ( failure ) {
               std::rethrow_exception( failure );
            }
         } catch ( std::exception const & e ) {
            QTRACE( trace_, 0, "Failed to stop container {}: {}", name(), e.what() );
         }
      } );
      removeCall_ =
         runtime_->removeContainerAsync( name(), true, [ this ]( std::exception_ptr failure ) {
            handleRemoved( failure );
         } );
      return;
   }
   if ( state == ContainerRunState::containerRunning_ ) {
      try {
         runtime_->stopContainer( name() );
      } catch ( RuntimeException const & e ) {
         QTRACE( trace_, 0, "Failed to stop container {}: {}", name(), e.what() );
      }
      if ( !removeOwn() ) {
         return; // the status keeps it for the next clean-up
      }
      log( log_, QUAYD_CONTAINER_REMOVED, name() );
      history_.add( ContainerHistory::kRemoved );
   }
   containerStatus_->lastErrorIs( "" );
   containerStatus_->stateIs( ContainerRunState::containerStopped_ );
}

void ContainerSm::handleRemoved( std::exception_ptr failure ) {
   removeCall_ = nullptr;
   if ( !removedOwn( failure ) ) {
      startAttemptTask_->scheduleTaskDelay( startAttemptDelay_ );
      return;
   }
   log( log_, QUAYD_CONTAINER_REMOVED, name() );
   history_.add( ContainerHistory::kRemoved );
   containerStatus_->lastErrorIs( "" );
   containerStatus_->stateIs( ContainerRunState::containerStopped_ );
   // What the configuration became meanwhile.
   handleEnabled();
   checkRetired();
}

// ------------------------------------------------------------ startup condition

void ContainerSm::manageStartupCondition() {
   if ( !startupConditionProbe_ ) {
      auto command = probeCmdFactory();
      command->argPush( kStartupConditionShell );
      command->argPush( "-c" );
      command->argPush( containerStatus_->params().startupConditionBash );
      startupConditionStatusIs();
      Seconds const timeout = startupConditionTimeout();
      Seconds const pollInterval(
         containerStatus_->params().startupConditionPollInterval.valueOrDefault() );
      startupConditionProbeIs( kStartupConditionProbeName, command,
                               NamespaceName::defaultNamespace(), startupConditionStatus_,
                               taskScheduler_, pollInterval, timeout );
   }
   if ( startupConditionStatus_->success() ) {
      startupConditionProbeDel();
      startupConditionStatusDel();
   }
}

void ContainerSm::handleProbeTimeout() {
   log( log_, QUAYD_CONTAINER_STARTUP_CONDITION_BASH_TIMEOUT, name(),
        int( startupConditionTimeout().count() ) );
}

void ContainerSm::handleProbeSuccess() {
   if ( startupConditionStatus_ && startupConditionStatus_->success() ) {
      handleEnabled();
   }
}

void ContainerSm::startupConditionProbeIs( String const & name,
                                           Ptr< ProbeCmd const > const & probeCmd,
                                           NamespaceName const & netNs,
                                           Ptr< ProbeStatus > const & status,
                                           Ptr< TaskScheduler > const & taskScheduler,
                                           Seconds pollInterval, Seconds watchdogTimeout ) {
   startupConditionProbeDel();
   startupConditionProbe_ = probeFactory( name, probeCmd, netNs, status, taskScheduler, processes_,
                                          sinks_, pollInterval, watchdogTimeout );
}

void ContainerSm::startupConditionProbeDel() {
   if ( auto probe = std::exchange( startupConditionProbe_, nullptr ) ) {
      probe->notificationsIs( false );
   }
}

void ContainerSm::startupConditionStatusIs() {
   startupConditionStatusDel();
   startupConditionStatus_ = probeStatusFactory();
   probeStatusReactor_.on( startupConditionStatus_, ProbeStatus::Attr::probeTimedoutCount,
                           [ this ] { handleProbeTimeout(); } );
   probeStatusReactor_.on( startupConditionStatus_, ProbeStatus::Attr::success,
                           [ this ] { handleProbeSuccess(); } );
   // The operator sees the evaluation's counters in the status.
   // The record is alive while it notifies, even once this machine let go.
   ProbeStatus const * s = startupConditionStatus_.get();
   probeStatusReactor_.watch( startupConditionStatus_, [ this, s ]( AttrId, String const * ) {
      containerStatus_->conditionRunsIs( s->probeScheduledCount() );
      containerStatus_->conditionFailuresIs( s->probeFailedCount() );
      containerStatus_->conditionTimeoutsIs( s->probeTimedoutCount() );
   } );
   probeStatusReactor_.start();
   containerStatus_->conditionRunsIs( 0 );
   containerStatus_->conditionFailuresIs( 0 );
   containerStatus_->conditionTimeoutsIs( 0 );
}

void ContainerSm::startupConditionStatusDel() {
   if ( auto status = std::exchange( startupConditionStatus_, nullptr ) ) {
      probeStatusReactor_.unwatch( status.get() );
   }
}

Ptr< ContainerSm >
containerSmFactory( Ptr< ContainerConfig const > config, Ptr< ContainerStatus > status,
                    Ptr< ContainerRuntimeInterface > runtime, Ptr< TaskScheduler > taskScheduler,
                    ProcessRunner & processes, Sinks sinks, Seconds startupConditionTimeout ) {
   return makePtr< ContainerSm >( std::move( config ), std::move( status ), std::move( runtime ),
                                  std::move( taskScheduler ), processes, sinks,
                                  startupConditionTimeout );
}

} // namespace Quayd
