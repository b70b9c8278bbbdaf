// The entity manager against a private redis-server: loading at mount,
// following configuration, writing status through, garbage, and a server
// that goes away and comes back.
#include <gtest/gtest.h>
#include <hiredis/hiredis.h>

#include <optional>

#include "platform/Reactor.h"
#include "platform/posix/PosixEventLoop.h"
#include "platform/redis/RedisEntityManager.h"
#include "platform/redis/TestServer.h"
#include "platform/testing/Capture.h"

namespace Quayd {
namespace {

QUAYD_ENUM( Phase, uint8_t, idle_, busy_ );

#define ITEM_FIELDS( F )        \
   F( ATTR, String, label, "" ) \
   F( ATTR, uint32_t, size, 0 )
QUAYD_ENTITY( Item, ITEM_FIELDS );
QUAYD_ENTITY_TABLE( Item, ITEM_FIELDS )

#define SETTINGS_FIELDS( F )            \
   F( ATTR, bool, enabled, false )      \
   F( ATTR, uint64_t, limit, 0 )        \
   F( ATTR, Phase, mode, Phase::idle_ ) \
   F( SET, String, tag, _ )             \
   F( ELEMENTS, Item, item, _ )
QUAYD_ENTITY( Settings, SETTINGS_FIELDS );
QUAYD_ENTITY_TABLE( Settings, SETTINGS_FIELDS )

#define STATE_FIELDS( F )                \
   F( ATTR, Phase, phase, Phase::idle_ ) \
   F( COUNTER, uint32_t, attempts, 0 )   \
   F( ELEMENTS, Item, item, _ )
QUAYD_ENTITY( State, STATE_FIELDS );
QUAYD_ENTITY_TABLE( State, STATE_FIELDS )

constexpr char const * kConfig = "test/config";
constexpr char const * kStatus = "cell/0/test/status";

MountProfile profile() {
   return { "Test",
            { { kConfig, MountAccess::read, [] { return Ptr< Entity >( new Settings ); } },
              { kStatus, MountAccess::write, [] { return Ptr< Entity >( new State ); } } } };
}

class RedisEntityManagerTest : public ::testing::Test {
 protected:
   explicit RedisEntityManagerTest( bool persistent = false ) : server_( persistent ) {}

   Ptr< RedisEntityManager > mounted() {
      auto em = makePtr< RedisEntityManager >( server_.address(), loop_ );
      em->profileIs( profile() );
      String error;
      EXPECT_TRUE( em->mount( "Test", error ) ) << error;
      return em;
   }
   Ptr< Settings > config( RedisEntityManager const & em ) {
      return getEntityAs< Settings >( em, kConfig );
   }
   Ptr< State > status( RedisEntityManager const & em ) {
      return getEntityAs< State >( em, kStatus );
   }
   std::optional< String > hget( String const & key, String const & field ) {
      return server_.client().hget( key, field );
   }
   bool until( std::function< bool() > done ) {
      return loop_.runUntil( std::move( done ), std::chrono::seconds( 10 ) );
   }

   Redis::TestServer server_;
   PosixEventLoop loop_;
};

TEST_F( RedisEntityManagerTest, MountLoadsWhatRedisHolds ) {
   auto c = server_.client();
   c.command(
      { "HSET", kConfig, "enabled", "true", "limit", "2147483648", "tag", "[\"a\",\"b\"]" } );
   c.command( { "HSET", String( kConfig ) + "|web", "label", "nginx", "size", "3" } );
   c.command( { "HSET", kStatus, "phase", "busy_", "attempts", "4" } );
   c.command( { "HSET", String( kStatus ) + "|old", "label", "left over" } );

   auto em = mounted();
   auto cfg = config( *em );
   ASSERT_TRUE( cfg );
   EXPECT_TRUE( cfg->enabled() );
   EXPECT_EQ( cfg->limit(), 2147483648u );
   EXPECT_EQ( cfg->tag(), ( std::set< String >{ "a", "b" } ) );
   ASSERT_TRUE( cfg->item( "web" ) );
   EXPECT_EQ( cfg->item( "web" )->label(), "nginx" );
   EXPECT_EQ( cfg->item( "web" )->size(), 3u );
   // Status of an earlier run is what the agent starts from.
   EXPECT_EQ( status( *em )->phase(), Phase::busy_ );
   EXPECT_EQ( status( *em )->attempts(), 4u );
   ASSERT_TRUE( status( *em )->item( "old" ) );
}

TEST_F( RedisEntityManagerTest, ConfigurationFollowsRedisOneNotificationPerChange ) {
   auto em = mounted();
   auto cfg = config( *em );
   std::vector< std::pair< AttrId, String > > seen;
   String labelAtAdd;
   auto sub = cfg->subscribe( [ & ]( AttrId a, String const * k ) {
      seen.push_back( { a, k ? *k : "" } );
      if ( a == AttrId( Settings::Attr::item ) && k && cfg->item( *k ) ) {
         labelAtAdd = cfg->item( *k )->label();
      }
   } );
   auto c = server_.client();
   c.command( { "HSET", kConfig, "enabled", "true", "limit", "0" } );
   ASSERT_TRUE( until( [ & ] { return cfg->enabled(); } ) );
   EXPECT_EQ( seen.size(), 1u ) << "limit did not change and must not notify";

   // A new element arrives complete: its handler sees its fields.
   c.command( { "HSET", String( kConfig ) + "|db", "label", "redis", "size", "1" } );
   ASSERT_TRUE( until( [ & ] { return cfg->item( "db" ) != nullptr; } ) );
   EXPECT_EQ( labelAtAdd, "redis" );

   c.command( { "HSET", String( kConfig ) + "|db", "size", "2" } );
   ASSERT_TRUE( until( [ & ] { return cfg->item( "db" )->size() == 2; } ) );
   c.command( { "DEL", String( kConfig ) + "|db" } );
   ASSERT_TRUE( until( [ & ] { return cfg->item( "db" ) == nullptr; } ) );
   // A deleted hash is the default value of every field.
   c.command( { "DEL", kConfig } );
   ASSERT_TRUE( until( [ & ] { return !cfg->enabled(); } ) );
}

// A handler that throws on one entity costs that entity only: the others
// written in the same transaction are applied, and the failure is reported
// as that path's garbage.
TEST_F( RedisEntityManagerTest, AHandlerFailureLeavesTheRestOfTheBatchApplied ) {
   Testing::LogCapture logs;
   auto em = mounted();
   auto cfg = config( *em );
   auto sub = cfg->subscribe( [ & ]( AttrId a, String const * k ) {
      if ( a == AttrId( Settings::Attr::item ) && k && *k == "bad" ) {
         throw std::length_error( "name too long" );
      }
   } );
   server_.client().exchange( { { "MULTI" },
                                { "HSET", String( kConfig ) + "|bad", "label", "x" },
                                { "HSET", String( kConfig ) + "|good", "label", "y" },
                                { "HSET", kConfig, "enabled", "true" },
                                { "EXEC" } } );
   ASSERT_TRUE( until( [ & ] { return logs.count( "QUAYD_STATE_DB_GARBAGE" ) > 0; } ) );
   EXPECT_TRUE( until( [ & ] { return cfg->enabled() && cfg->item( "good" ); } ) );
   EXPECT_NE( logs.messages.back().text.find( "test/config|bad" ), String::npos );
   EXPECT_TRUE( em->connected() );
}

TEST_F( RedisEntityManagerTest, AnElementIsWrittenWholeAndNothingOnceRemoved ) {
   auto em = mounted();
   auto st = status( *em );
   auto item = st->itemIs( "web" );
   em->flush();
   EXPECT_EQ( hget( String( kStatus ) + "|web", "size" ), "0" ) << "an element is stored whole";
   item->labelIs( "up" );
   EXPECT_TRUE( until( [ & ] { return hget( String( kStatus ) + "|web", "label" ) == "up"; } ) )
      << "the loop writes without being asked";
   st->itemDel( "web" );
   em->flush();
   EXPECT_EQ( server_.client().exists( String( kStatus ) + "|web" ), false );
   item->labelIs( "detached" );
   em->flush();
   EXPECT_EQ( server_.client().exists( String( kStatus ) + "|web" ), false )
      << "a removed element writes nothing";
}

// What a handler changes reaches Redis in one transaction, in order: an
// element removed and added again is there with its last values.
TEST_F( RedisEntityManagerTest, OneHandlerRunIsOneTransaction ) {
   auto em = mounted();
   auto st = status( *em );
   auto execs = [ & ] {
      auto r = server_.client().command( { "INFO", "commandstats" } );
      String const text( r->str, r->len );
      auto at = text.find( "cmdstat_exec:calls=" );
      return at == String::npos ? 0 : std::stoi( text.substr( at + 19 ) );
   };
   int const before = execs();
   st->phaseIs( Phase::busy_ );
   st->attemptsInc( 1 );
   st->attemptsInc( 1 );
   st->itemIs( "a" )->labelIs( "first" );
   st->itemIs( "b" );
   st->itemDel( "a" );
   st->itemIs( "a" )->sizeIs( 7 );
   st->itemDel( "b" );
   em->flush();
   EXPECT_EQ( execs(), before + 1 );
   EXPECT_EQ( hget( kStatus, "phase" ), "busy_" );
   EXPECT_EQ( hget( kStatus, "attempts" ), "2" );
   EXPECT_EQ( hget( String( kStatus ) + "|a", "size" ), "7" );
   EXPECT_EQ( hget( String( kStatus ) + "|a", "label" ), "" );
   EXPECT_FALSE( server_.client().exists( String( kStatus ) + "|b" ) );
   em->flush();
   EXPECT_EQ( execs(), before + 1 ) << "nothing left to write";
}

// A change of a path followed already that arrives while a later path is
// being subscribed is applied, not mistaken for the subscription's answer.
TEST_F( RedisEntityManagerTest, AChangeDuringTheMountIsNotLost ) {
   auto em = makePtr< RedisEntityManager >( server_.address(), loop_ );
   em->profileIs( { "Test",
                    { { kConfig, MountAccess::read, [] { return Ptr< Entity >( new Settings ); } },
                      { "test/later", MountAccess::read, [ this ] {
                          server_.client().command( { "HSET", kConfig, "limit", "5" } );
                          return Ptr< Entity >( new Settings );
                       } } } } );
   String error;
   ASSERT_TRUE( em->mount( "Test", error ) ) << error;
   auto cfg = config( *em );
   EXPECT_TRUE( until( [ & ] { return cfg->limit() == 5; } ) );
   // And the later path still follows its own changes.
   server_.client().command( { "HSET", "test/later", "limit", "6" } );
   EXPECT_TRUE(
      until( [ & ] { return getEntityAs< Settings >( *em, "test/later" )->limit() == 6; } ) );
}

// Garbage written by someone else: each kind is reported once, at trace
// level 0 and in the log, naming the path and the field; the attribute keeps
// its last good value and later good writes still apply.
struct GarbageCase {
   char const * name;
   std::vector< String > write; // a command that breaks something
   char const * where;          // what the report names
};

class GarbageTest : public RedisEntityManagerTest,
                    public ::testing::WithParamInterface< GarbageCase > {};

TEST_P( GarbageTest, IsReportedOnceAndTheLastGoodValueKept ) {
   Testing::TraceCapture traces;
   Testing::LogCapture logs;
   auto em = mounted();
   auto cfg = config( *em );
   auto c = server_.client();
   c.command( { "HSET", kConfig, "limit", "7", "mode", "busy_", "tag", "[\"a\"]" } );
   c.command( { "HSET", String( kConfig ) + "|web", "label", "nginx", "size", "3" } );
   ASSERT_TRUE( until( [ & ] { return cfg->limit() == 7 && cfg->item( "web" ); } ) );

   c.command( GetParam().write );
   c.command( GetParam().write ); // the same garbage again is not told twice
   c.command( { "HSET", kConfig, "enabled", "true" } );
   ASSERT_TRUE( until( [ & ] { return cfg->enabled(); } ) ) << "a good write after garbage";
   c.command( { "HSET", kConfig, "enabled", "false" } );
   ASSERT_TRUE( until( [ & ] { return !cfg->enabled(); } ) );

   EXPECT_TRUE( em->connected() );
   EXPECT_EQ( cfg->limit(), 7u );
   EXPECT_EQ( cfg->mode(), Phase::busy_ );
   EXPECT_TRUE( cfg->tag().count( "a" ) );
   ASSERT_TRUE( cfg->item( "web" ) );
   EXPECT_EQ( cfg->item( "web" )->label(), "nginx" );
   EXPECT_EQ( cfg->item( "web" )->size(), 3u );
   size_t reports = 0;
   for ( auto const & l : traces.lines ) {
      reports += l.module == "StateDb" && l.text.find( GetParam().where ) != String::npos;
      EXPECT_TRUE( l.level == 0 || l.text.find( GetParam().where ) == String::npos );
   }
   EXPECT_EQ( reports, 1u );
   ASSERT_EQ( logs.count( "QUAYD_STATE_DB_GARBAGE" ), 1u );
   EXPECT_NE( logs.messages.back().text.find( GetParam().where ), String::npos );
}

INSTANTIATE_TEST_SUITE_P(
   Kinds, GarbageTest,
   ::testing::Values(
      GarbageCase{ "WrongType", { "HSET", kConfig, "limit", "-1" }, "test/config field limit" },
      GarbageCase{ "NotANumber",
                   { "HSET", "test/config|web", "size", "three" },
                   "test/config|web field size" },
      GarbageCase{
         "UnknownEnumerator", { "HSET", kConfig, "mode", "asleep_" }, "test/config field mode" },
      GarbageCase{
         "TruncatedJson", { "HSET", kConfig, "tag", "[\"a\",\"b" }, "test/config field tag" },
      GarbageCase{
         "UnknownField", { "HSET", kConfig, "colour", "red" }, "test/config field colour" },
      GarbageCase{ "ElementNotAHash", { "SET", "test/config|db", "x" }, "test/config|db" } ),
   []( auto const & info ) { return String( info.param.name ); } );

TEST_F( RedisEntityManagerTest, AStatusKeyOfAnotherTypeIsReplacedOnTheNextWrite ) {
   Testing::LogCapture logs;
   auto em = mounted();
   auto st = status( *em );
   server_.client().command( { "SET", kStatus, "squatter" } );
   st->phaseIs( Phase::busy_ );
   em->flush();
   EXPECT_EQ( hget( kStatus, "phase" ), "busy_" );
   EXPECT_TRUE( em->connected() );
   EXPECT_EQ( logs.count( "QUAYD_STATE_DB_GARBAGE" ), 1u );
}

TEST_F( RedisEntityManagerTest, MountFailsClearlyWhileRedisIsDownAndWorksOnceItIsBack ) {
   server_.stop();
   auto em = makePtr< RedisEntityManager >( server_.address(), loop_ );
   em->profileIs( profile() );
   String error;
   EXPECT_FALSE( em->mount( "Test", error ) );
   EXPECT_NE( error.find( "cannot reach Redis at " + server_.socketPath() ), String::npos )
      << error;
   EXPECT_FALSE( em->connected() );
   server_.start();
   EXPECT_TRUE( em->mount( "Test", error ) ) << error;
   EXPECT_TRUE( config( *em ) );
}

// A server that answers but will not store: the writes are kept and land
// once it takes them again, on the same connection, never taken for
// garbage.
struct RefusalCase {
   char const * name;
   std::vector< std::vector< String > > refuse, lift;
   char const * error;
};

class WriteRefusalTest : public RedisEntityManagerTest,
                         public ::testing::WithParamInterface< RefusalCase > {};

TEST_P( WriteRefusalTest, RefusedWritesAreToldAndRetriedUntilTheyLand ) {
   Testing::LogCapture logs;
   Testing::TraceCapture traces;
   auto em = mounted();
   auto st = status( *em );
   st->phaseIs( Phase::busy_ );
   em->flush();
   ASSERT_EQ( hget( kStatus, "phase" ), "busy_" );
   for ( auto const & c : GetParam().refuse ) {
      server_.client().command( c );
   }

   st->phaseIs( Phase::idle_ );
   st->itemIs( "web" )->labelIs( "refused" );
   ASSERT_TRUE( until( [ & ] { return em->writesRefused(); } ) );
   // Changes made while refused join the writes kept.
   st->attemptsInc( 2 );
   ASSERT_TRUE( until(
      [ & ] { return traces.contains( String( "still refuses writes: " ) + GetParam().error ); } ) )
      << "retried";

   EXPECT_EQ( em->refusedWhy().rfind( GetParam().error, 0 ), 0u ) << em->refusedWhy();
   EXPECT_EQ( logs.count( "QUAYD_STATE_DB_WRITE_REFUSED" ), 1u );
   EXPECT_EQ( logs.count( "QUAYD_STATE_DB_GARBAGE" ), 0u );
   EXPECT_EQ( logs.count( "QUAYD_STATE_DB_LOST" ), 0u );
   EXPECT_TRUE( em->connected() );
   EXPECT_EQ( hget( kStatus, "phase" ), "busy_" );

   for ( auto const & c : GetParam().lift ) {
      server_.client().command( c );
   }
   ASSERT_TRUE( until( [ & ] { return !em->writesRefused(); } ) );
   EXPECT_EQ( hget( kStatus, "phase" ), "idle_" );
   EXPECT_EQ( hget( kStatus, "attempts" ), "2" );
   EXPECT_EQ( hget( String( kStatus ) + "|web", "label" ), "refused" );
   EXPECT_EQ( logs.count( "QUAYD_STATE_DB_WRITES_BACK" ), 1u );
   EXPECT_EQ( em->resyncs(), 0u );
}

INSTANTIATE_TEST_SUITE_P(
   Servers, WriteRefusalTest,
   ::testing::Values( RefusalCase{ "OutOfMemory",
                                   { { "CONFIG", "SET", "maxmemory-policy", "noeviction" },
                                     { "CONFIG", "SET", "maxmemory", "1" } },
                                   { { "CONFIG", "SET", "maxmemory", "0" } },
                                   "OOM" },
                      // A replica of a primary that is not there: read-only until promoted.
                      RefusalCase{ "ReadOnlyReplica",
                                   { { "REPLICAOF", "127.0.0.1", "1" } },
                                   { { "REPLICAOF", "NO", "ONE" } },
                                   "READONLY" } ),
   []( auto const & info ) { return String( info.param.name ); } );

class RedisRestartTest : public RedisEntityManagerTest {
 protected:
   RedisRestartTest() : RedisEntityManagerTest( true ) {}
};

TEST_F( RedisRestartTest, NothingIsLostWhileRedisIsAway ) {
   auto em = mounted();
   auto cfg = config( *em );
   auto st = status( *em );
   st->phaseIs( Phase::busy_ );

   server_.stop();
   // Written while the server is away: kept and written once it is back.
   st->attemptsInc( 1 );
   st->itemIs( "web" )->labelIs( "pending" );
   ASSERT_TRUE( until( [ & ] { return !em->connected(); } ) );

   server_.start();
   // Changed by the operator before the agent reconnects.
   server_.client().command( { "HSET", kConfig, "enabled", "true" } );
   ASSERT_TRUE( until( [ & ] { return em->resyncs() == 1; } ) );
   EXPECT_TRUE( cfg->enabled() );
   EXPECT_EQ( hget( kStatus, "phase" ), "busy_" );
   EXPECT_EQ( hget( kStatus, "attempts" ), "1" );
   EXPECT_EQ( hget( String( kStatus ) + "|web", "label" ), "pending" );

   // And it follows again.
   server_.client().command( { "HSET", kConfig, "limit", "9" } );
   ASSERT_TRUE( until( [ & ] { return cfg->limit() == 9; } ) );
}

} // namespace
} // namespace Quayd
