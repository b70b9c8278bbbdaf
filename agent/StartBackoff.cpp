#include "agent/StartBackoff.h"

#include <algorithm>

namespace Quayd {

StartBackoff::StartBackoff( Ptr< TaskScheduler > const & scheduler,
                            std::function< bool() > stillRunning )
    : stillRunning_( std::move( stillRunning ) ) {
   settledTask_ =
      makePtr< TimerTask >( scheduler, TaskPriority( 3 ), "StartBackoffSettled", [ this ] {
         if ( stillRunning_() ) {
            failures_ = 0;
         }
      } );
}

Seconds StartBackoff::failed() {
   settledTask_->stopTimerTask();
   // Past the cap the count only needs to stay there.
   uint32_t const doublings = std::min< uint32_t >( failures_, 4 );
   ++failures_;
   return std::min( kFirstDelay * ( 1 << doublings ), kMaxDelay );
}

void StartBackoff::started() {
   if ( failures_ > 0 ) {
      settledTask_->scheduleTaskDelay( kSettled );
   }
}

void StartBackoff::reset() {
   settledTask_->stopTimerTask();
   failures_ = 0;
}

} // namespace Quayd
