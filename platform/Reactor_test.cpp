#include <gtest/gtest.h>

#include "platform/Entity.h"
#include "platform/Reactor.h"

namespace Quayd {
namespace {

#define WIDGET_FIELDS( F )       \
   F( ATTR, int32_t, size, 0 )   \
   F( ATTR, int32_t, weight, 0 ) \
   F( MAP, int32_t, part, _ )
QUAYD_ENTITY( Widget, WIDGET_FIELDS );
QUAYD_ENTITY_TABLE( Widget, WIDGET_FIELDS )

// A state machine that watches a widget and may be told to delete itself.
struct Watcher {
   Ptr< Widget > w;
   Reactor reactor;
   std::vector< String > calls;
   std::unique_ptr< Watcher > * owner = nullptr;

   explicit Watcher( Ptr< Widget > widget ) : w( std::move( widget ) ) {
      reactor.onInitial( w, [ this ] { calls.push_back( "initial" ); } );
      reactor.on( w, Widget::Attr::size, [ this ] {
         calls.push_back( "size" );
         if ( owner && w->size() == 99 ) {
            owner->reset(); // deletes this from inside its own handler
         }
      } );
      reactor.onKey( w, Widget::Attr::part,
                     [ this ]( String const & k ) { calls.push_back( "part " + k ); } );
      reactor.start();
   }
};

// One call per change, the initial one first; a watch sees every attribute
// after the specific handlers.
TEST( Reactor, InitialCallThenOneCallPerChangeAndWatchSeesEveryAttribute ) {
   Ptr< Widget > w( new Widget );
   Watcher watcher( w );
   watcher.reactor.watch( w, [ & ]( AttrId a, String const * k ) {
      watcher.calls.push_back( "any " + std::to_string( a ) + ( k ? " " + *k : "" ) );
   } );
   w->sizeIs( 4 );
   w->sizeIs( 4 );
   w->weightIs( 5 );
   w->partIs( "q", 1 );
   EXPECT_EQ( watcher.calls, ( std::vector< String >{ "initial", "size", "any 0", "any 1", "part q",
                                                      "any 2 q" } ) );
}

TEST( Reactor, NotificationsOffSilencesHandlers ) {
   Ptr< Widget > w( new Widget );
   Watcher watcher( w );
   watcher.reactor.notificationsIs( false );
   w->sizeIs( 2 );
   watcher.reactor.notificationsIs( true );
   w->sizeIs( 3 );
   EXPECT_EQ( watcher.calls, ( std::vector< String >{ "initial", "size" } ) );
}

TEST( Reactor, HandlerMayDeleteItsOwnReactor ) {
   Ptr< Widget > w( new Widget );
   auto holder = std::make_unique< Watcher >( w );
   holder->owner = &holder;
   // A second subscriber after the one that deletes itself still runs.
   int later = 0;
   auto sub = w->subscribe( [ & ]( AttrId, String const * ) { ++later; } );
   w->sizeIs( 99 );
   EXPECT_EQ( holder, nullptr );
   EXPECT_EQ( later, 1 );
   w->sizeIs( 100 ); // nobody left but the plain subscriber
   EXPECT_EQ( later, 2 );
   EXPECT_EQ( w->subscriberCount(), 1u );
}

TEST( Notifier, SubscriberMayReleaseTheLastReferenceToTheNotifier ) {
   Ptr< Widget > w( new Widget );
   Widget * raw = w.get();
   bool ran = false;
   auto sub = raw->subscribe( [ & ]( AttrId, String const * ) {
      w.reset(); // the notifier stays alive until the notification ends
      ran = true;
   } );
   raw->sizeIs( 1 );
   EXPECT_TRUE( ran );
   EXPECT_FALSE( w );
}

TEST( Notifier, SubscriptionOutlivingItsNotifierIsHarmless ) {
   Notifier::Subscription sub;
   {
      Ptr< Widget > w( new Widget );
      sub = w->subscribe( []( AttrId, String const * ) {} );
   }
   sub.cancel();
   EXPECT_FALSE( sub.active() );
}

TEST( Notifier, SubscriptionsAddedDuringANotificationStartWithTheNext ) {
   Ptr< Widget > w( new Widget );
   std::vector< Notifier::Subscription > subs;
   int inner = 0;
   subs.push_back( w->subscribe( [ & ]( AttrId, String const * ) {
      subs.push_back( w->subscribe( [ & ]( AttrId, String const * ) { ++inner; } ) );
   } ) );
   w->sizeIs( 1 );
   EXPECT_EQ( inner, 0 );
   w->sizeIs( 2 );
   EXPECT_EQ( inner, 1 );
}

// A handler that throws must not leave the notifier believing it is still
// notifying: cancelled subscriptions would then pile up for good.
TEST( Notifier, AThrowingHandlerStillLetsCancelledSubscriptionsGo ) {
   Ptr< Widget > w( new Widget );
   auto thrower = w->subscribe( []( AttrId, String const * ) { throw std::runtime_error( "x" ); } );
   EXPECT_THROW( w->sizeIs( 1 ), std::runtime_error );
   thrower.cancel();
   for ( int i = 0; i < 3; ++i ) {
      auto sub = w->subscribe( []( AttrId, String const * ) {} );
   }
   EXPECT_EQ( w->subscriberCount(), 0u );
   EXPECT_EQ( w->slotCount(), 0u );
}

} // namespace
} // namespace Quayd
