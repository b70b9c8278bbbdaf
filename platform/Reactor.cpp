#include "platform/Reactor.h"

#include "platform/Exception.h"

namespace Quayd {

Reactor::Entry & Reactor::entry( Notifier const * n ) {
   QUAYD_ASSERT( n );
   Entry & e = entries_[ n ];
   if ( !e.keep && n->refCount() > 0 ) {
      e.keep = Ptr< Notifier const >( n );
   }
   return e;
}

Reactor::KeyFns & Reactor::handlers( Notifier const * n, AttrId attr ) {
   auto & slot = entry( n ).handlers[ attr ];
   if ( !slot ) {
      slot = std::make_shared< KeyFns >();
   }
   return *slot;
}

void Reactor::start() {
   std::vector< Notifier const * > fresh;
   for ( auto & [ notifier, e ] : entries_ ) {
      if ( !e.sub.active() ) {
         Notifier const * n = notifier;
         e.sub = n->subscribe(
            [ this, n ]( AttrId attr, String const * key ) { dispatch( n, attr, key ); } );
         fresh.push_back( n );
      }
   }
   for ( auto const * n : fresh ) {
      dispatch( n, kInitialNotification, nullptr );
   }
}

void Reactor::unwatch( Notifier const * n ) { entries_.erase( n ); }

void Reactor::unwatchAll() { entries_.clear(); }

void Reactor::dispatch( Notifier const * n, AttrId attr, String const * key ) {
   if ( !on_ ) {
      return;
   }
   auto it = entries_.find( n );
   if ( it == entries_.end() ) {
      return;
   }
   // Copies: a handler may destroy this reactor, and with it the originals.
   std::shared_ptr< bool > alive = alive_;
   if ( attr == kInitialNotification ) {
      std::vector< Handler > hs = it->second.initial;
      for ( auto & h : hs ) {
         h();
         if ( !*alive || !on_ ) {
            return;
         }
      }
      return;
   }
   for ( AttrId slot : { attr, kAnyAttr } ) {
      auto const & handlers = it->second.handlers;
      auto hit = handlers.find( slot );
      if ( hit == handlers.end() ) {
         continue;
      }
      std::shared_ptr< KeyFns const > hs = hit->second;
      for ( auto const & h : *hs ) {
         h( attr, key );
         if ( !*alive || !on_ ) {
            return;
         }
      }
      // A handler may have unwatched this notifier.
      it = entries_.find( n );
      if ( it == entries_.end() ) {
         return;
      }
   }
}

} // namespace Quayd
