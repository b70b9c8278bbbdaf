// What the daemon says of a container's machine's container: read at once
// where the machine must decide, in flight after the daemon's events.
#include "agent/ContainerSm.h"

#include "platform/Exception.h"

namespace Quayd {

ContainerSm::Presence ContainerSm::presence() {
   ContainerRecord record;
   std::exception_ptr failure;
   try {
      record = runtime_->inspectContainer( name() );
   } catch ( RuntimeException const & ) {
      failure = std::current_exception();
   }
   Presence const p = recorded( record, failure );
   if ( p != Presence::present ) {
      return p;
   }
   String const & s = record.status;
   return ( s == "running" || s == "restarting" || s == "paused" ) && !imageReplaced( record )
             ? Presence::present
             : Presence::stale;
}

ContainerSm::Presence ContainerSm::recorded( ContainerRecord const & record,
                                             std::exception_ptr failure ) {
   try {
      if ( failure ) {
         std::rethrow_exception( failure );
      }
   } catch ( ApiRequestException const & ) {
      daemonRecordIs( nullptr );
      return Presence::absent; // no such container
   } catch ( RuntimeException const & e ) {
      QTRACE( trace_, 0, "Failed to get list of containers: {}", e.what() );
      return Presence::unknown;
   }
   if ( record.foreign ) {
      // Someone else's under the name: not the container its status
      // recorded, which is gone (a status from before that container came).
      daemonRecordIs( nullptr );
      return Presence::absent;
   }
   daemonRecordIs( &record );
   return Presence::present;
}

bool ContainerSm::imageReplaced( ContainerRecord const & record ) {
   String const & image = containerStatus_->params().image;
   if ( record.imageId.empty() || image.empty() ) {
      return false;
   }
   String id;
   try {
      id = runtime_->inspectImage( image ).id;
   } catch ( RuntimeException const & ) {
      return false; // nothing newer to run
   }
   if ( id.empty() || id == record.imageId ) {
      return false;
   }
   QTRACE( trace_, 0, "Container {} runs image {}, but {} is now {}", name(), record.imageId, image,
           id );
   return true;
}

void ContainerSm::handleDaemonEvent( ContainerEvent const & event ) {
   QTRACE( trace_, 8, "container: {}, action: {}", name(), event.action );
   // Events of a container this machine does not run (one it is removing)
   // tell nothing of the configured one.
   if ( containerConfig_ && containerStatus_->state() == ContainerRunState::containerRunning_ &&
        !removeCall_ ) {
      history_.eventIs( event );
      if ( event.action == ContainerHealth::kUnhealthyAction &&
           !health_.handleUnhealthy( containerConfig_->restartUnhealthy() ) ) {
         handleEnabled();
         return;
      }
   }
   readDaemonState();
}

void ContainerSm::readDaemonState() {
   if ( inspectCall_ ) {
      inspectAgain_ = true;
      return;
   }
   inspectCall_ = runtime_->inspectContainerAsync( name(), [ this ]( ContainerRecord const & record,
                                                                     std::exception_ptr failure ) {
      handleDaemonState( record, std::move( failure ) );
   } );
}

void ContainerSm::handleDaemonState( ContainerRecord const & record, std::exception_ptr failure ) {
   bool const again = std::exchange( inspectAgain_, false );
   if ( recorded( record, std::move( failure ) ) == Presence::unknown ) {
      inspectCall_ = nullptr;
      daemonStateTask_->scheduleTaskDelay( kDaemonStateRetry );
      return;
   }
   if ( again ) {
      readDaemonState();
   }
}

void ContainerSm::daemonRecordIs( ContainerRecord const * r ) {
   inspectCall_ = nullptr;
   inspectAgain_ = false;
   containerStatus_->daemonStateIs( r ? r->status : String() );
   containerStatus_->exitCodeIs( r ? r->exitCode : 0 );
   containerStatus_->startedAtIs( r ? r->startedAt : String() );
   containerStatus_->finishedAtIs( r ? r->finishedAt : String() );
   containerStatus_->restartCountIs( r ? r->restartCount : 0 );
   containerStatus_->imageIdIs( r ? r->imageId : String() );
}

} // namespace Quayd
