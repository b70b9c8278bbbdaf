#include "agent/UsageSampler.h"

#include <fmt/format.h>

#include "agent/ContainerHistory.h"
#include "platform/ContainerStats.h"

namespace Quayd {

namespace {
constexpr std::string_view kHealthAction = "health_status: ";
} // namespace

LogDescriptor const QUAYD_CONTAINER_MEMORY_RESTART{
   "QUAYD_CONTAINER_MEMORY_RESTART",
   "Container %s restarted: memory in use %s above its ceiling %s.",
   "The container used more memory than its configured ceiling for the configured number "
   "of sampling rounds in a row, and was stopped and started again.",
   "Find out why the container needs that much memory, or raise its memory ceiling.", 4
};

String sizeText( uint64_t bytes ) {
   ScaledBytes const s = scaleBytes( bytes );
   return bytes < 1024 ? fmt::format( "{}B", bytes ) : fmt::format( "{:.4g}{}", s.value, s.unit );
}

UsageSampler::UsageSampler( Ptr< QuaydConfig const > quaydConfig,
                            Ptr< ContainerConfigDir const > containerConfigDir,
                            Ptr< ContainerStatusDir > containerStatusDir,
                            Ptr< ContainerRuntimeInterface > runtime,
                            Ptr< TaskScheduler > taskScheduler, Sinks sinks )
    : quaydConfig_( std::move( quaydConfig ) ),
      containerConfigDir_( std::move( containerConfigDir ) ),
      containerStatusDir_( std::move( containerStatusDir ) ), runtime_( std::move( runtime ) ),
      sampling_( runtime_->usageSampling() ), taskScheduler_( std::move( taskScheduler ) ),
      trace_( sinks.trace, "UsageSampler" ), log_( sinks.log ) {
   roundTask_ = makePtr< TimerTask >( taskScheduler_, TaskPriority( 2 ), "SampleUsage",
                                      [ this ] { handleRound(); } );
   reactor_.on( quaydConfig_, QuaydConfig::Attr::usageInterval, [ this ] { handleInterval(); } );
   reactor_.onInitial( quaydConfig_, [ this ] { handleInterval(); } );
   reactor_.start();
   eventSubscription_ = runtime_->containerEventsSubscribe(
      [ this ]( ContainerEvent const & e ) { handleContainerEvent( e ); } );
}

UsageSampler::~UsageSampler() {
   *alive_ = false;
   runtime_->containerEventsUnsubscribe( eventSubscription_ );
   reactor_.notificationsIs( false );
   roundTask_->stopTimerTask();
   clearAll();
}

bool UsageSampler::running( ContainerStatus const & status ) const {
   return status.state() == ContainerRunState::containerRunning_ &&
          status.daemonState() == "running";
}

void UsageSampler::clearAll() {
   if ( sampling_ ) {
      sampling_->cancel();
   }
   seen_.clear();
   for ( auto const & [ name, status ] : containerStatusDir_->container() ) {
      status->usageIs( {} );
   }
}

void UsageSampler::handleInterval() {
   auto const interval = quaydConfig_->usageInterval();
   QTRACE( trace_, 2, "interval: {} s", interval );
   if ( !sampling_ || interval == 0 ) {
      roundTask_->stopTimerTask();
      clearAll();
      return;
   }
   roundTask_->scheduleTaskDelay( std::chrono::seconds( interval ) );
}

void UsageSampler::handleRound() {
   if ( runtime_->containerCallsPending() ) {
      QTRACE( trace_, 5, "containers are being made or taken down; the round waits" );
      roundTask_->scheduleTaskDelay( kBusyRecheck );
      return;
   }
   roundTask_->scheduleTaskDelay( std::chrono::seconds( quaydConfig_->usageInterval() ) );
   if ( sampling_->inProgress() ) {
      QTRACE( trace_, 5, "the last round has not ended; this one waits its turn" );
      return;
   }
   std::vector< String > names;
   for ( auto const & [ name, status ] : containerStatusDir_->container() ) {
      if ( running( *status ) ) {
         names.push_back( name );
      } else {
         seen_.erase( name );
         status->usageIs( {} );
      }
   }
   std::erase_if( seen_, [ this ]( auto const & s ) {
      return !containerStatusDir_->container( s.first );
   } );
   QTRACE( trace_, 8, "sampling {} containers", names.size() );
   sampling_->sample( names, [ this ]( UsageSampling::Samples samples ) {
      handleSamples( std::move( samples ) );
   } );
}

void UsageSampler::handleSamples( UsageSampling::Samples samples ) {
   for ( auto const & [ name, sample ] : samples ) {
      auto status = containerStatusDir_->container( name );
      // Gone or stopped while the round was out; one that did not answer
      // keeps what the round before found.
      if ( !status || !running( *status ) || !sample ) {
         continue;
      }
      Seen & seen = seen_[ name ];
      ContainerUsage usage;
      usage.sampled = true;
      usage.cpuPercent = seen.last ? cpuPercent( *seen.last, *sample ) : 0;
      usage.memoryUsage = sample->memoryUsed;
      usage.memoryLimit = sample->memoryLimit;
      usage.pids = sample->pids;
      usage.netRx = sample->netRx;
      usage.netTx = sample->netTx;
      usage.blockRead = sample->blockRead;
      usage.blockWrite = sample->blockWrite;
      usage.health = seen.health;
      seen.last = sample;
      status->usageIs( usage );
      checkCeiling( name, *status, sample->memoryUsed );
   }
}

void UsageSampler::checkCeiling( String const & name, ContainerStatus & status, uint64_t used ) {
   auto config = containerConfigDir_->container( name );
   uint64_t const ceiling = config ? config->memoryCeiling() : 0;
   Seen & seen = seen_[ name ];
   if ( ceiling == 0 || used <= ceiling ) {
      seen.overCeiling = 0;
      return;
   }
   ++seen.overCeiling;
   QTRACE( trace_, 5, "container {}: {} in use over its ceiling {}, round {}", name, used, ceiling,
           seen.overCeiling );
   if ( !seen.restarting &&
        seen.overCeiling >= std::max( 1u, quaydConfig_->memoryCeilingRounds() ) ) {
      restart( name, status, used, ceiling );
   }
}

void UsageSampler::restart( String const & name, ContainerStatus & status, uint64_t used,
                            uint64_t ceiling ) {
   QTRACE( trace_, 0, "Container {} uses {} of memory, above its ceiling {}: restarting it", name,
           used, ceiling );
   log( log_, QUAYD_CONTAINER_MEMORY_RESTART, name, sizeText( used ), sizeText( ceiling ) );
   status.memoryRestartsInc( 1 );
   ContainerHistory( &status ).add( ContainerHistory::kRestartedForMemory,
                                    sizeText( used ) + " above " + sizeText( ceiling ) );
   Seen & seen = seen_[ name ];
   seen.restarting = true;
   seen.overCeiling = 0;
   sampling_->restart( name, [ this, alive = alive_, name ]( String const & error ) {
      if ( !*alive ) {
         return;
      }
      if ( !error.empty() ) {
         QTRACE( trace_, 0, "Restart of container {} failed: {}", name, error );
      }
      if ( auto it = seen_.find( name ); it != seen_.end() ) {
         // The container's CPU time starts again from zero.
         Seen fresh;
         fresh.health = it->second.health;
         it->second = fresh;
      }
   } );
}

void UsageSampler::handleContainerEvent( ContainerEvent const & event ) {
   if ( !event.action.starts_with( kHealthAction ) ) {
      return;
   }
   String const health = event.action.substr( kHealthAction.size() );
   seen_[ event.name ].health = health;
   auto status = containerStatusDir_->container( event.name );
   if ( status && status->usage().sampled ) {
      auto usage = status->usage();
      usage.health = health;
      status->usageIs( usage );
   }
}

} // namespace Quayd
