#pragma once
// A state machine's subscriptions to the notifiers it watches.
//
//   reactor_.watch( config_, [ this ]( AttrId a, String const * key ) { ... } );
//   reactor_.on( config_, QuaydConfig::Attr::enabled, [ this ] { resolve(); } );
//   reactor_.onKey( dir_, ContainerConfigDir::Attr::container,
//                   [ this ]( String const & name ) { handleConfig( name ); } );
//
// Each watched notifier delivers one initial call when the watch is made (to
// the handlers given to onInitial) and then one call per changed attribute.
// Handlers run synchronously inside the setter that made the change; a handler
// may destroy the object owning this reactor, after which nothing of the
// reactor is touched. With notifications off, no handler runs.
#include <functional>
#include <map>
#include <vector>

#include "platform/Notifier.h"

namespace Quayd {

class Reactor {
 public:
   using Handler = std::function< void() >;
   using KeyHandler = std::function< void( String const & ) >;

   Reactor() = default;
   Reactor( Reactor const & ) = delete;
   Reactor & operator=( Reactor const & ) = delete;
   ~Reactor() { *alive_ = false; }

   void notificationsIs( bool on ) { on_ = on; }
   bool notifications() const { return on_; }

   template < typename E >
   void on( Ptr< E > const & n, typename std::remove_const_t< E >::Attr attr, Handler h ) {
      handlers( n.get(), static_cast< AttrId >( attr ) )
         .push_back( [ h = std::move( h ) ]( AttrId, String const * ) { h(); } );
   }
   template < typename E >
   void onKey( Ptr< E > const & n, typename std::remove_const_t< E >::Attr attr, KeyHandler h ) {
      handlers( n.get(), static_cast< AttrId >( attr ) )
         .push_back(
            [ h = std::move( h ) ]( AttrId, String const * key ) { h( key ? *key : String() ); } );
   }
   // Runs `h` for every change of `n`, with the attribute and key.
   void watch( Notifier const * n, std::function< void( AttrId, String const * ) > h ) {
      auto & fns = handlers( n, kAnyAttr );
      fns.push_back( [ h = std::move( h ) ]( AttrId a, String const * key ) { h( a, key ); } );
   }
   template < typename E >
   void watch( Ptr< E > const & n, std::function< void( AttrId, String const * ) > h ) {
      watch( static_cast< Notifier const * >( n.get() ), std::move( h ) );
   }
   // Runs `h` for the initial call of `n` (made when the watch starts).
   void onInitial( Notifier const * n, Handler h ) {
      entry( n ).initial.push_back( std::move( h ) );
   }
   template < typename E >
   void onInitial( Ptr< E > const & n, Handler h ) {
      onInitial( static_cast< Notifier const * >( n.get() ), std::move( h ) );
   }

   // Starts delivering changes of every notifier given to on/onKey/onInitial
   // that is not delivering yet; each gets its initial call now.
   void start();
   // Stops watching `n` (or everything) and forgets its handlers.
   void unwatch( Notifier const * n );
   void unwatchAll();

 private:
   static constexpr AttrId kAnyAttr = -2;
   using KeyFns = std::vector< std::function< void( AttrId, String const * ) > >;
   struct Entry {
      // Shared so that a dispatch in progress keeps them alive.
      std::map< AttrId, std::shared_ptr< KeyFns > > handlers;
      std::vector< Handler > initial;
      Notifier::Subscription sub;
      Ptr< Notifier const > keep;
   };
   Entry & entry( Notifier const * n );
   KeyFns & handlers( Notifier const * n, AttrId attr );
   void dispatch( Notifier const * n, AttrId attr, String const * key );

   std::map< Notifier const *, Entry > entries_;
   bool on_ = true;
   std::shared_ptr< bool > alive_ = std::make_shared< bool >( true );
};

} // namespace Quayd
