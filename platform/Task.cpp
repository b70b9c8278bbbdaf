#include "platform/Task.h"

#include <vector>

namespace Quayd {

TimePoint SteadyClock::now() const {
   return std::chrono::time_point_cast< Duration >( std::chrono::steady_clock::now() );
}

TaskScheduler::~TaskScheduler() {
   for ( auto & [ k, t ] : ready_ ) {
      t->scheduled_ = false;
   }
   for ( auto & [ k, t ] : timers_ ) {
      t->armed_ = false;
   }
}

size_t TaskScheduler::fireDueTimers() {
   size_t fired = 0;
   TimePoint const now = clock_.now();
   while ( !timers_.empty() && timers_.begin()->first.first <= now ) {
      Ptr< TimerTask > t( timers_.begin()->second ); // the handler may drop it
      t->disarm();
      auto handler = t->handler_;
      handler();
      ++fired;
   }
   return fired;
}

size_t TaskScheduler::runReadyTasks() {
   // Only what was ready on entry: a task that reschedules itself runs on
   // the next turn, so other events are served in between.
   uint64_t const horizon = seq_;
   size_t ran = 0;
   for ( ;; ) {
      auto it = ready_.begin();
      while ( it != ready_.end() && it->first.second >= horizon ) {
         ++it;
      }
      if ( it == ready_.end() ) {
         break;
      }
      Ptr< Task > t( it->second );
      ready_.erase( it );
      t->scheduled_ = false;
      auto handler = t->handler_;
      handler();
      ++ran;
   }
   return ran;
}

std::optional< TimePoint > TaskScheduler::nextDeadline() const {
   if ( timers_.empty() ) {
      return std::nullopt;
   }
   return timers_.begin()->first.first;
}

Task::Task( Ptr< TaskScheduler > scheduler, TaskPriority priority, String name,
            std::function< void() > handler )
    : scheduler_( std::move( scheduler ) ), priority_( priority ), name_( std::move( name ) ),
      handler_( std::move( handler ) ) {}

Task::~Task() { unscheduleTask(); }

void Task::scheduleTask() {
   if ( scheduled_ ) {
      return;
   }
   key_ = { -priority_.value, scheduler_->seq_++ };
   scheduler_->ready_[ key_ ] = this;
   scheduled_ = true;
}

void Task::unscheduleTask() {
   if ( scheduled_ ) {
      scheduler_->ready_.erase( key_ );
      scheduled_ = false;
   }
}

void Task::priorityIs( TaskPriority p ) {
   bool const was = scheduled_;
   unscheduleTask();
   priority_ = p;
   if ( was ) {
      scheduleTask();
   }
}

TimerTask::TimerTask( Ptr< TaskScheduler > scheduler, TaskPriority priority, String name,
                      std::function< void() > handler )
    : scheduler_( std::move( scheduler ) ), priority_( priority ), name_( std::move( name ) ),
      handler_( std::move( handler ) ) {}

TimerTask::~TimerTask() { disarm(); }

void TimerTask::disarm() {
   if ( armed_ ) {
      scheduler_->timers_.erase( key_ );
      armed_ = false;
   }
}

void TimerTask::scheduleTaskDelay( Duration delay ) {
   disarm();
   if ( delay == kInfiniteDelay ) {
      return;
   }
   TimePoint const now = scheduler_->now();
   TimePoint const at = delay > TimePoint::max() - now ? TimePoint::max() : now + delay;
   // Priority orders timers that fall due together.
   key_ = { at, ( uint64_t( 1000 - priority_.value ) << 48 ) | scheduler_->seq_++ };
   scheduler_->timers_[ key_ ] = this;
   armed_ = true;
}

void TimerTask::scheduleTaskLowestDelay( Duration delay ) {
   if ( armed_ && delay != kInfiniteDelay && key_.first <= scheduler_->now() + delay ) {
      return;
   }
   if ( armed_ && delay == kInfiniteDelay ) {
      return;
   }
   scheduleTaskDelay( delay );
}

std::optional< TimePoint > TimerTask::deadline() const {
   if ( !armed_ ) {
      return std::nullopt;
   }
   return key_.first;
}

} // namespace Quayd
