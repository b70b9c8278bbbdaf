#include "platform/Notifier.h"

#include <algorithm>

namespace Quayd {

void Notifier::Subscription::cancel() {
   if ( slot_ ) {
      slot_->active = false;
      if ( owner_ && !slot_->orphaned ) {
         owner_->drop( slot_.get() );
      }
      slot_.reset();
      owner_ = nullptr;
   }
}

Notifier::~Notifier() {
   // Subscriptions outliving their notifier must not reach back into it.
   for ( auto & s : slots_ ) {
      s->active = false;
      s->orphaned = true;
   }
}

Notifier::Subscription Notifier::subscribe( Callback fn ) const {
   Subscription sub;
   sub.slot_ = std::make_shared< Subscription::Slot >();
   sub.slot_->fn = std::move( fn );
   sub.owner_ = this;
   slots_.push_back( sub.slot_ );
   return sub;
}

size_t Notifier::subscriberCount() const {
   return std::count_if( slots_.begin(), slots_.end(), []( auto const & s ) { return s->active; } );
}

void Notifier::drop( Subscription::Slot * slot ) const {
   if ( depth_ > 0 ) {
      dirty_ = true; // erased once the outermost notification returns
      return;
   }
   std::erase_if( slots_, [ slot ]( auto const & s ) { return s.get() == slot; } );
}

void Notifier::notify( AttrId attr, String const * key ) const {
   if ( slots_.empty() ) {
      return;
   }
   // A callback may release the last reference to this notifier.
   Ptr< Notifier const > keepAlive( refCount() ? this : nullptr );
   String keyCopy;
   if ( key ) {
      keyCopy = *key; // the caller's key may die with the element it names
   }
   // A callback that throws still ends this notification's nesting, or
   // cancelled subscriptions would never be erased again.
   struct Nesting {
      Notifier const & n;
      explicit Nesting( Notifier const & self ) : n( self ) { ++n.depth_; }
      ~Nesting() {
         if ( --n.depth_ == 0 && n.dirty_ ) {
            n.dirty_ = false;
            std::erase_if( n.slots_, []( auto const & s ) { return !s->active; } );
         }
      }
   } nesting( *this );
   size_t const n = slots_.size();
   for ( size_t i = 0; i < n && i < slots_.size(); ++i ) {
      std::shared_ptr< Subscription::Slot > slot = slots_[ i ];
      if ( slot->active ) {
         Callback fn = slot->fn; // survives the subscription being dropped
         fn( attr, key ? &keyCopy : nullptr );
      }
   }
}

} // namespace Quayd
