#include "tools/quayd-containerz/UpdateQueue.h"

namespace Quayd::Containerz {

UpdateQueue::UpdateQueue() : thread_( [ this ] { run(); } ) {}

UpdateQueue::~UpdateQueue() {
   {
      std::lock_guard lock( mutex_ );
      stopping_ = true;
      waiting_.clear();
   }
   wake_.notify_all();
   thread_.join();
}

bool UpdateQueue::submit( std::function< void() > update ) {
   {
      std::lock_guard lock( mutex_ );
      if ( waiting_.size() >= kMaxWaiting ) {
         return false;
      }
      waiting_.push_back( std::move( update ) );
   }
   wake_.notify_one();
   return true;
}

void UpdateQueue::run() {
   std::unique_lock lock( mutex_ );
   for ( ;; ) {
      wake_.wait( lock, [ this ] { return stopping_ || !waiting_.empty(); } );
      if ( stopping_ ) {
         return;
      }
      auto update = std::move( waiting_.front() );
      waiting_.pop_front();
      lock.unlock();
      update();         // catches what it throws
      update = nullptr; // what it holds goes before the next starts
      lock.lock();
   }
}

} // namespace Quayd::Containerz
