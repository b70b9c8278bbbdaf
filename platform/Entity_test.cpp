#include <gtest/gtest.h>

#include "platform/Entity.h"

namespace Quayd {
namespace {

QUAYD_ENUM( Colour, uint8_t, red_, green_, blue_ );

struct Pair {
   String a;
   uint32_t b = 0;
   bool operator==( Pair const & ) const = default;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT( Pair, a, b )
String keyOf( Pair const & p ) { return p.a; }

#define LEAF_FIELDS( F )        \
   F( ATTR, String, label, "" ) \
   F( COUNTER, uint32_t, hits, 0 )
QUAYD_ENTITY( Leaf, LEAF_FIELDS );
QUAYD_ENTITY_TABLE( Leaf, LEAF_FIELDS )

#define TREE_FIELDS( F )                   \
   F( ATTR, bool, on, false )              \
   F( ATTR, Colour, colour, Colour::red_ ) \
   F( ATTR, Pair, pair, {} )               \
   F( SET, String, tag, _ )                \
   F( MAP, Pair, item, _ )                 \
   F( ELEMENTS, Leaf, leaf, _ )
QUAYD_ENTITY( Tree, TREE_FIELDS );
QUAYD_ENTITY_TABLE( Tree, TREE_FIELDS )

struct Recorder {
   std::vector< std::pair< AttrId, String > > seen;
   Notifier::Subscription sub;
   explicit Recorder( Notifier const & n ) {
      sub = n.subscribe( [ this ]( AttrId a, String const * k ) {
         seen.push_back( { a, k ? *k : "" } );
      } );
   }
};

AttrId id( Tree::Attr a ) { return static_cast< AttrId >( a ); }

TEST( Entity, SettersAndCountersNotifyOnlyOnChange ) {
   Ptr< Tree > t( new Tree );
   Recorder r( *t );
   t->onIs( false );
   t->colourIs( Colour::red_ );
   t->pairIs( Pair{} );
   EXPECT_TRUE( r.seen.empty() );

   t->onIs( true );
   t->onIs( true );
   t->colourIs( Colour::blue_ );
   t->pairIs( Pair{ "x", 1 } );
   t->pairIs( Pair{ "x", 1 } );
   ASSERT_EQ( r.seen.size(), 3u );
   EXPECT_EQ( r.seen[ 0 ].first, id( Tree::Attr::on ) );
   EXPECT_EQ( r.seen[ 1 ].first, id( Tree::Attr::colour ) );
   EXPECT_EQ( r.seen[ 2 ].first, id( Tree::Attr::pair ) );

   Ptr< Leaf > l( new Leaf );
   Recorder counted( *l );
   EXPECT_EQ( l->hitsInc( 0 ), 0u );
   EXPECT_TRUE( counted.seen.empty() );
   EXPECT_EQ( l->hitsInc( 2 ), 2u );
   EXPECT_EQ( l->hitsInc( 3 ), 5u );
   EXPECT_EQ( counted.seen.size(), 2u );
}

TEST( Entity, CollectionsNotifyWithTheirKey ) {
   Ptr< Tree > t( new Tree );
   Recorder r( *t );
   t->tagIs( "a" );
   t->tagIs( "a" );
   t->itemIs( Pair{ "k", 1 } );
   t->itemIs( "k", Pair{ "k", 1 } );
   t->itemIs( Pair{ "k", 2 } );
   auto leaf = t->leafIs( "one" );
   EXPECT_EQ( t->leafIs( "one" ), leaf );
   t->itemDel( "missing" );
   t->tagDelAll();
   t->leafDelAll();

   std::vector< std::pair< AttrId, String > > expected = {
      { id( Tree::Attr::tag ), "a" },  { id( Tree::Attr::item ), "k" },
      { id( Tree::Attr::item ), "k" }, { id( Tree::Attr::leaf ), "one" },
      { id( Tree::Attr::tag ), "a" },  { id( Tree::Attr::leaf ), "one" }
   };
   EXPECT_EQ( r.seen, expected );
   EXPECT_EQ( leaf->key(), "one" );
   EXPECT_TRUE( t->leaf().empty() );
}

TEST( Entity, APreparedElementIsCompleteWhenItsAdditionIsNotified ) {
   Ptr< Tree > t( new Tree );
   String labelSeen;
   auto sub = t->subscribe( [ & ]( AttrId, String const * k ) {
      if ( k ) {
         labelSeen = t->leaf( *k )->label();
      }
   } );
   auto const * f = t->fieldTable().elements();
   f->elementIs( *t, "a",
                 []( Entity & e ) { e.fieldTable().find( "label" )->decode( e, "ready" ); } );
   EXPECT_EQ( labelSeen, "ready" );
   // An existing element is returned as it is, unprepared.
   f->elementIs( *t, "a",
                 []( Entity & e ) { e.fieldTable().find( "label" )->decode( e, "again" ); } );
   EXPECT_EQ( t->leaf( "a" )->label(), "ready" );
}

// The state database's write-through and, in tests, a recorder both see
// every change; one does not push the other out.
TEST( Entity, EveryObserverSeesChangesOfTheEntityAndItsElements ) {
   struct Log : EntityObserver {
      std::vector< String > seen;
      void attrChanged( Entity & e, AttrId ) override { seen.push_back( "attr " + e.path() ); }
      void elementAdded( Entity &, Entity & e ) override { seen.push_back( "add " + e.path() ); }
      void elementRemoved( Entity &, Entity & e ) override { seen.push_back( "del " + e.path() ); }
   } first, second;
   Ptr< Tree > t( new Tree );
   t->pathIs( "t" );
   t->observerIs( &first );
   t->observerIs( &second );
   t->observerIs( &second );
   t->leafIs( "a" )->labelIs( "x" );
   t->observerDel( &first );
   t->leafDel( "a" );
   EXPECT_EQ( first.seen, ( std::vector< String >{ "add t|a", "attr t|a" } ) );
   EXPECT_EQ( second.seen, ( std::vector< String >{ "add t|a", "attr t|a", "del t|a" } ) );
}

TEST( Entity, FieldTableRoundTripsEveryKind ) {
   Ptr< Tree > t( new Tree );
   t->onIs( true );
   t->colourIs( Colour::green_ );
   t->pairIs( Pair{ "q", 7 } );
   t->tagIs( "t1" );
   t->itemIs( Pair{ "k", 9 } );

   Ptr< Tree > u( new Tree );
   for ( auto const & f : t->fieldTable().fields ) {
      if ( f.kind == FieldKind::elements ) {
         continue;
      }
      ASSERT_FALSE( f.decode( *u, f.encode( *t ) ) ) << f.name;
   }
   EXPECT_TRUE( u->on() );
   EXPECT_EQ( u->colour(), Colour::green_ );
   EXPECT_EQ( u->pair(), ( Pair{ "q", 7 } ) );
   EXPECT_TRUE( u->tagHas( "t1" ) );
   ASSERT_NE( u->item( "k" ), nullptr );
   EXPECT_EQ( u->item( "k" )->b, 9u );
   EXPECT_EQ( t->fieldTable().find( "colour" )->encode( *t ), "green_" );
   EXPECT_EQ( t->fieldTable().find( "on" )->encode( *t ), "true" );
}

TEST( Entity, GarbageIsRefusedAndTheValueKept ) {
   struct {
      char const * field;
      char const * text;
   } const cases[] = { { "on", "yes" },         { "colour", "purple_" },
                       { "colour", "Blue_" },   { "pair", "{\"a\":\"x\",\"b\":" },
                       { "pair", "{\"a\":3}" }, { "tag", "[1,2" },
                       { "tag", "\"str\"" } };
   for ( auto const & c : cases ) {
      SCOPED_TRACE( c.text );
      Ptr< Tree > t( new Tree );
      t->onIs( true );
      t->colourIs( Colour::blue_ );
      t->pairIs( Pair{ "keep", 1 } );
      t->tagIs( "keep" );
      Recorder r( *t );
      auto const * f = t->fieldTable().find( c.field );
      ASSERT_NE( f, nullptr );
      EXPECT_TRUE( f->decode( *t, c.text ) );
      EXPECT_TRUE( r.seen.empty() );
      EXPECT_TRUE( t->on() );
      EXPECT_EQ( t->colour(), Colour::blue_ );
      EXPECT_EQ( t->pair().a, "keep" );
      EXPECT_TRUE( t->tagHas( "keep" ) );
   }
}

TEST( Codec, IntegersAreRangeChecked ) {
   uint8_t small = 5;
   EXPECT_TRUE( decodeValue( "256", small ) );
   EXPECT_TRUE( decodeValue( "-1", small ) );
   EXPECT_TRUE( decodeValue( "", small ) );
   EXPECT_TRUE( decodeValue( "12x", small ) );
   EXPECT_EQ( small, 5 );
   EXPECT_FALSE( decodeValue( "255", small ) );
   EXPECT_EQ( small, 255 );
   uint64_t big = 0;
   EXPECT_FALSE( decodeValue( "18446744073709551615", big ) );
   EXPECT_EQ( big, UINT64_MAX );
}

} // namespace
} // namespace Quayd
