#pragma once
// A scheduler on a virtual clock: a test advances time and exactly the timers
// that fall due run, in order, with the ready tasks in between. No sleeping.
#include "platform/Task.h"
#include "platform/testing/FakeFileSystem.h"

namespace Quayd::Testing {

class VirtualClock : public Clock {
 public:
   TimePoint now() const override { return now_; }
   void set( TimePoint t ) { now_ = t; }

 private:
   TimePoint now_{ std::chrono::hours( 1 ) };
};

class VirtualTime {
 public:
   VirtualTime() : scheduler_( new TaskScheduler( clock_ ) ) {}
   Ptr< TaskScheduler > const & scheduler() const { return scheduler_; }
   TimePoint now() const { return clock_.now(); }

   // Runs ready tasks (and what they make ready) without moving the clock.
   void runReady( size_t maxTurns = 10000 );
   // One turn of the loop: due timers, then the tasks ready now.
   void turn();
   // Moves the clock forward by `d`, firing every timer due on the way.
   void advance( Duration d );

 public:
   // The file system a test hands to what it builds.
   FakeFileSystem files;

 private:
   VirtualClock clock_;
   Ptr< TaskScheduler > scheduler_;
};

} // namespace Quayd::Testing
