#include "platform/RuntimeCallQueue.h"

#include <algorithm>
#include <vector>

namespace Quayd {

RuntimeCallQueue::RuntimeCallQueue( Ptr< TaskScheduler > const & scheduler, size_t maxInFlight )
    : maxInFlight_( std::max< size_t >( 1, maxInFlight ) ),
      deliverTask_( makePtr< Task >( scheduler, TaskPriority( 3 ), "RuntimeCallsDone",
                                     [ this ] { deliver(); } ) ) {}

RuntimeCallQueue::~RuntimeCallQueue() {
   *alive_ = false;
   cancelAll();
}

void RuntimeCallQueue::maxInFlightIs( size_t n ) {
   maxInFlight_ = std::max< size_t >( 1, n );
   launch();
}

size_t RuntimeCallQueue::waiting() const {
   return size_t( std::count_if( calls_.begin(), calls_.end(),
                                 []( auto const & c ) { return !c.second.out; } ) );
}

Ptr< RuntimeCall > RuntimeCallQueue::push( String const & container, Start start,
                                           RuntimeCallDone done ) {
   uint64_t const id = next_++;
   calls_[ id ] = Call{ container, std::move( start ), std::move( done ) };
   launch();
   return makePtr< RuntimeCall >( [ this, alive = alive_, id ] {
      if ( *alive ) {
         cancel( id );
      }
   } );
}

void RuntimeCallQueue::launch() {
   // A start that finishes at once comes back here: the outer round goes on.
   if ( launching_ ) {
      relaunch_ = true;
      return;
   }
   launching_ = true;
   do {
      relaunch_ = false;
      for ( auto it = calls_.begin(); it != calls_.end() && out_ < maxInFlight_; ) {
         uint64_t const id = it->first;
         Call & c = it->second;
         ++it;
         if ( c.out || busy_.count( c.container ) ) {
            continue;
         }
         c.out = true;
         busy_.insert( c.container );
         ++out_;
         std::function< void() > abandon;
         try {
            abandon = c.start( [ this, alive = alive_, id ]( std::exception_ptr failure ) {
               if ( *alive ) {
                  finished( id, std::move( failure ) );
               }
            } );
         } catch ( ... ) {
            finished( id, std::current_exception() );
         }
         if ( auto f = calls_.find( id ); f != calls_.end() && !f->second.ended ) {
            f->second.abandon = std::move( abandon );
         }
         // What the start finished may have taken the next entry along.
         it = calls_.upper_bound( id );
      }
   } while ( relaunch_ );
   launching_ = false;
}

void RuntimeCallQueue::finished( uint64_t id, std::exception_ptr failure ) {
   auto it = calls_.find( id );
   if ( it == calls_.end() || it->second.ended ) {
      return;
   }
   Call & c = it->second;
   c.ended = true;
   c.failure = std::move( failure );
   c.abandon = nullptr;
   c.start = nullptr;
   busy_.erase( c.container );
   --out_;
   deliverTask_->scheduleTask();
   launch();
}

void RuntimeCallQueue::cancel( uint64_t id ) {
   auto it = calls_.find( id );
   if ( it == calls_.end() ) {
      return;
   }
   Call c = std::move( it->second );
   calls_.erase( it );
   // Nothing left to deliver: nothing stays scheduled for it.
   if ( std::none_of( calls_.begin(), calls_.end(),
                      []( auto const & kv ) { return kv.second.ended; } ) ) {
      deliverTask_->unscheduleTask();
   }
   if ( c.out && !c.ended ) {
      busy_.erase( c.container );
      --out_;
      if ( c.abandon ) {
         c.abandon();
      }
      launch();
   }
}

void RuntimeCallQueue::cancelAll() {
   auto calls = std::move( calls_ );
   calls_.clear();
   busy_.clear();
   out_ = 0;
   deliverTask_->unscheduleTask();
   for ( auto & [ id, c ] : calls ) {
      if ( c.out && !c.ended && c.abandon ) {
         c.abandon();
      }
   }
}

void RuntimeCallQueue::deliver() {
   std::vector< uint64_t > ended;
   for ( auto const & [ id, c ] : calls_ ) {
      if ( c.ended ) {
         ended.push_back( id );
      }
   }
   // A `done` may cancel a later call, or end this queue's owner.
   auto const alive = alive_;
   for ( uint64_t id : ended ) {
      if ( !*alive ) {
         return;
      }
      auto it = calls_.find( id );
      if ( it == calls_.end() ) {
         continue;
      }
      Call c = std::move( it->second );
      calls_.erase( it );
      c.done( c.failure );
   }
}

} // namespace Quayd
