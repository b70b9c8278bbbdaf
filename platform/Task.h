#pragma once
// Deferred and timed work on the agent's one thread.
//
// A Task runs its handler once at the next turn of the loop after
// scheduleTask(), higher priorities first and FIFO within a priority. A
// TimerTask runs its handler once when its deadline passes; scheduling it with
// kInfiniteDelay disarms it. Time comes from the scheduler's Clock, which is
// the monotonic clock in the agent and a virtual clock in tests.
#include <functional>
#include <map>
#include <optional>

#include "platform/Ptr.h"
#include "platform/Types.h"

namespace Quayd {

class Clock {
 public:
   virtual ~Clock() = default;
   virtual TimePoint now() const = 0;
};

class SteadyClock : public Clock {
 public:
   TimePoint now() const override;
};

// Higher values run first.
struct TaskPriority {
   int value = 0;
   constexpr explicit TaskPriority( int v ) : value( v ) {}
   auto operator<=>( TaskPriority const & ) const = default;
};

class Task;
class TimerTask;

class TaskScheduler : public PtrInterface {
 public:
   explicit TaskScheduler( Clock const & clock ) : clock_( clock ) {}
   ~TaskScheduler() override;

   TimePoint now() const { return clock_.now(); }

   // The loop's side: run what is ready or due.
   // Fires every timer whose deadline has passed, in deadline order.
   size_t fireDueTimers();
   // Runs the tasks that were ready when called; returns how many ran.
   size_t runReadyTasks();
   bool hasReadyTasks() const { return !ready_.empty(); }
   std::optional< TimePoint > nextDeadline() const;

 private:
   friend class Task;
   friend class TimerTask;
   using ReadyKey = std::pair< int, uint64_t >; // (-priority, sequence)
   using TimerKey = std::pair< TimePoint, uint64_t >;

   Clock const & clock_;
   uint64_t seq_ = 0;
   std::map< ReadyKey, Task * > ready_;
   std::map< TimerKey, TimerTask * > timers_;
};

class Task : public PtrInterface {
 public:
   Task( Ptr< TaskScheduler > scheduler, TaskPriority priority, String name,
         std::function< void() > handler );
   ~Task() override;

   void scheduleTask();
   void unscheduleTask();
   bool taskScheduled() const { return scheduled_; }
   String const & name() const { return name_; }
   TaskPriority priority() const { return priority_; }
   void priorityIs( TaskPriority p );

 private:
   friend class TaskScheduler;
   Ptr< TaskScheduler > scheduler_;
   TaskPriority priority_;
   String name_;
   std::function< void() > handler_;
   bool scheduled_ = false;
   TaskScheduler::ReadyKey key_{};
};

class TimerTask : public PtrInterface {
 public:
   TimerTask( Ptr< TaskScheduler > scheduler, TaskPriority priority, String name,
              std::function< void() > handler );
   ~TimerTask() override;

   // Runs the handler once after `delay`; kInfiniteDelay disarms.
   void scheduleTaskDelay( Duration delay );
   // Keeps the earlier of the pending deadline and now + `delay`.
   void scheduleTaskLowestDelay( Duration delay );
   void stopTimerTask() { scheduleTaskDelay( kInfiniteDelay ); }
   bool armed() const { return armed_; }
   std::optional< TimePoint > deadline() const;
   String const & name() const { return name_; }
   TaskPriority priority() const { return priority_; }

 private:
   friend class TaskScheduler;
   void disarm();
   Ptr< TaskScheduler > scheduler_;
   TaskPriority priority_;
   String name_;
   std::function< void() > handler_;
   bool armed_ = false;
   TaskScheduler::TimerKey key_{};
};

} // namespace Quayd
