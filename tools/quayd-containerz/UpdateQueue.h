#pragma once
// The asynchronous updates of the service: run one after the other on one
// thread, at most kMaxWaiting waiting. Updates still waiting when the
// service stops are dropped; they changed nothing yet.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace Quayd::Containerz {

class UpdateQueue {
 public:
   static constexpr size_t kMaxWaiting = 16;
   UpdateQueue();
   ~UpdateQueue();
   UpdateQueue( UpdateQueue const & ) = delete;
   UpdateQueue & operator=( UpdateQueue const & ) = delete;

   // False when kMaxWaiting updates wait already.
   bool submit( std::function< void() > update );

 private:
   void run();

   std::mutex mutex_;
   std::condition_variable wake_;
   std::deque< std::function< void() > > waiting_;
   bool stopping_ = false;
   std::thread thread_;
};

} // namespace Quayd::Containerz
