#include "platform/testing/VirtualTime.h"

#include "platform/Exception.h"

namespace Quayd::Testing {

void VirtualTime::turn() {
   scheduler_->fireDueTimers();
   scheduler_->runReadyTasks();
}

void VirtualTime::runReady( size_t maxTurns ) {
   for ( size_t i = 0; i < maxTurns; ++i ) {
      scheduler_->fireDueTimers();
      if ( !scheduler_->hasReadyTasks() ) {
         return;
      }
      scheduler_->runReadyTasks();
   }
   QUAYD_ASSERT( !"tasks keep rescheduling themselves" );
}

void VirtualTime::advance( Duration d ) {
   TimePoint const end = clock_.now() + d;
   runReady();
   while ( auto next = scheduler_->nextDeadline() ) {
      if ( *next > end ) {
         break;
      }
      clock_.set( std::max( *next, clock_.now() ) );
      runReady();
   }
   clock_.set( end );
   runReady();
}

} // namespace Quayd::Testing
