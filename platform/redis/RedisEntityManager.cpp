#include "platform/redis/RedisEntityManager.h"

#include <hiredis/hiredis.h>

#include <algorithm>

#include "platform/Log.h"
#include "platform/Trace.h"

namespace Quayd {

LogHandle const QUAYD_STATE_DB_GARBAGE(
   { "QUAYD_STATE_DB_GARBAGE", "State database entry %s: %s; keeping the last good value.",
     "A configuration or status entry in the state database holds something the agent "
     "cannot read; it goes on with the value it had.",
     "Rewrite the entry with quyctl.", 4 } );

LogHandle const QUAYD_STATE_DB_LOST(
   { "QUAYD_STATE_DB_LOST", "Lost the state database: %s; reconnecting every second.",
     "The agent cannot reach Redis; it keeps running on what it has and retries.",
     "Check that redis-server runs.", 3 } );

LogHandle const QUAYD_STATE_DB_BACK(
   { "QUAYD_STATE_DB_BACK", "State database at %s is back; resynchronised.",
     "The agent reached Redis again, wrote its status and read the configuration anew.", "", 6 } );

LogHandle const QUAYD_STATE_DB_WRITE_REFUSED(
   { "QUAYD_STATE_DB_WRITE_REFUSED",
     "State database at %s refuses writes: %s; trying again in %lld seconds.",
     "Redis answers but does not store the agent's status (out of memory, a read-only replica, "
     "a failed save to disk). The agent keeps the writes and tries again, less often each time.",
     "Check redis-server's memory limit, its replication role and its disk.", 3 } );

LogHandle const QUAYD_STATE_DB_WRITES_BACK( { "QUAYD_STATE_DB_WRITES_BACK",
                                              "State database at %s takes writes again.",
                                              "The writes Redis refused are stored now.", "", 6 } );

namespace {
TraceHandle trace( "StateDb" );
char const * const kKeyspacePrefix = "__keyspace@0__:";
char const kElementSeparator = '|';

String replyText( redisReply const * r ) {
   return r && r->str ? String( r->str, r->len ) : String();
}

// A key of another type at a status path is garbage someone put there;
// every other error reply is the server refusing the write.
bool wrongType( redisReply const * r ) { return replyText( r ).rfind( "WRONGTYPE", 0 ) == 0; }
} // namespace

RedisEntityManager::RedisEntityManager( Redis::Address address, EventLoop & loop )
    : address_( std::move( address ) ), loop_( loop ) {
   reconnectTimer_ = makePtr< TimerTask >( loop_.scheduler(), TaskPriority( 5 ), "StateDbReconnect",
                                           [ this ] { reconnect(); } );
   // Ahead of the agent's tasks, so that each handler run is one transaction.
   flushTask_ = makePtr< Task >( loop_.scheduler(), TaskPriority( 10 ), "StateDbFlush",
                                 [ this ] { flush(); } );
   writeRetryTimer_ = makePtr< TimerTask >( loop_.scheduler(), TaskPriority( 10 ),
                                            "StateDbWriteRetry", [ this ] { flush(); } );
}

RedisEntityManager::~RedisEntityManager() {
   flush();
   for ( auto & [ path, e ] : written_ ) {
      e->observerDel( this );
   }
   if ( sub_ ) {
      loop_.fdDel( sub_->fd() );
   }
}

// Handlers run inside a load may lose the connection; whatever follows then
// fails cleanly instead of using a dropped one.
Redis::Connection & RedisEntityManager::cmd() {
   if ( !cmd_ ) {
      throw Redis::Error( "connection to Redis at " + address_.str() + " lost" );
   }
   return *cmd_;
}

Redis::Connection & RedisEntityManager::sub() {
   if ( !sub_ ) {
      throw Redis::Error( "connection to Redis at " + address_.str() + " lost" );
   }
   return *sub_;
}

template < typename F >
bool RedisEntityManager::withConnection( F && f ) {
   if ( !cmd_ ) {
      return false;
   }
   try {
      f( *cmd_ );
      return true;
   } catch ( Redis::Error const & e ) {
      lost( e.what() );
      return false;
   }
}

void RedisEntityManager::connect() {
   auto cmd = std::make_unique< Redis::Connection >( address_ );
   // Keyspace events for hash, string and generic commands (DEL, RENAME,
   // expiry): a SET over a configuration key is garbage to report;
   // whatever else the server already publishes stays on.
   auto current = cmd->command( { "CONFIG", "GET", "notify-keyspace-events" } );
   String flags = current->elements == 2 ? replyText( current->element[ 1 ] ) : "";
   for ( char c : String( "Khg$" ) ) {
      if ( flags.find( c ) == String::npos && !( c != 'K' && flags.find( 'A' ) != String::npos ) ) {
         flags += c;
      }
   }
   cmd->command( { "CONFIG", "SET", "notify-keyspace-events", flags } );
   sub_ = std::make_unique< Redis::Connection >( address_ );
   cmd_ = std::move( cmd );
   loop_.fdIs( sub_->fd(), [ this ] { onNotification(); } );
   lostReported_ = false;
}

bool RedisEntityManager::mount( String const & profile, String & error ) {
   if ( !cmd_ ) {
      try {
         connect();
         if ( !followed_.empty() || !written_.empty() ) {
            resync();
         }
      } catch ( Redis::Error const & e ) {
         cmd_.reset();
         if ( sub_ ) {
            loop_.fdDel( sub_->fd() );
            sub_.reset();
         }
         error = e.what();
         return false;
      }
   }
   if ( !ProfileEntityManager::mount( profile, error ) ) {
      return false;
   }
   if ( !cmd_ ) {
      error = "lost the connection to Redis at " + address_.str() + " while mounting";
      return false;
   }
   return true;
}

bool RedisEntityManager::entityMounted( MountEntry const & entry, Ptr< Entity > const & e,
                                        String & error ) {
   try {
      if ( entry.access == MountAccess::read ) {
         // Subscribed before loading, so no change falls between the two.
         subscribe( e->path() );
         load( *e );
         followed_[ e->path() ] = e;
      } else {
         load( *e );
         e->observerIs( this );
         written_[ e->path() ] = e;
      }
      return true;
   } catch ( Redis::Error const & ex ) {
      error = ex.what();
      lost( ex.what() );
      return false;
   }
}

void RedisEntityManager::subscribe( String const & path ) {
   String const channel = kKeyspacePrefix + Redis::globEscape( path );
   std::set< String > pending{ channel, channel + "|*" };
   for ( String const & pattern : pending ) {
      sub().send( { "PSUBSCRIBE", pattern } );
   }
   // Changes of paths followed already may arrive before the confirmations;
   // they are handled, not taken for a confirmation.
   while ( !pending.empty() ) {
      Redis::Reply r = sub().next();
      if ( !dispatch( *r ) && r->type == REDIS_REPLY_ARRAY && r->elements == 3 &&
           replyText( r->element[ 0 ] ) == "psubscribe" ) {
         pending.erase( replyText( r->element[ 1 ] ) );
      }
   }
   for ( auto & r : sub().readAvailable( false ) ) {
      dispatch( *r );
   }
}

bool RedisEntityManager::dispatch( redisReply const & r ) {
   // ["pmessage", pattern, "__keyspace@0__:<key>", event]
   if ( r.type != REDIS_REPLY_ARRAY || r.elements != 4 ||
        replyText( r.element[ 0 ] ) != "pmessage" ) {
      return false;
   }
   String const channel = replyText( r.element[ 2 ] );
   if ( channel.rfind( kKeyspacePrefix, 0 ) == 0 ) {
      keyChanged( channel.substr( strlen( kKeyspacePrefix ) ) );
   }
   return true;
}

void RedisEntityManager::onNotification() {
   std::vector< Redis::Reply > replies;
   try {
      replies = sub().readAvailable();
   } catch ( Redis::Error const & e ) {
      lost( e.what() );
      return;
   }
   for ( auto & r : replies ) {
      dispatch( *r );
      if ( !cmd_ ) {
         return; // the connection went while handling; resync covers the rest
      }
   }
}

void RedisEntityManager::keyChanged( String const & key ) {
   if ( auto it = followed_.find( key ); it != followed_.end() ) {
      withConnection( [ & ]( Redis::Connection & ) {
         if ( auto hash = readHash( key ) ) {
            applyFields( *it->second, *hash );
         }
      } );
      return;
   }
   auto sep = key.find( kElementSeparator );
   while ( sep != String::npos ) {
      if ( auto it = followed_.find( key.substr( 0, sep ) ); it != followed_.end() ) {
         withConnection(
            [ & ]( Redis::Connection & ) { loadElement( *it->second, key.substr( sep + 1 ) ); } );
         return;
      }
      sep = key.find( kElementSeparator, sep + 1 );
   }
}

std::optional< Redis::Hash > RedisEntityManager::readHash( String const & path ) {
   try {
      return cmd().hgetall( path );
   } catch ( Redis::ServerError const & e ) {
      garbage( path, "", e.what() );
      return std::nullopt;
   }
}

void RedisEntityManager::load( Entity & e ) {
   if ( auto hash = readHash( e.path() ) ) {
      applyFields( e, *hash );
   }
   auto const * el = e.fieldTable().elements();
   if ( !el ) {
      return;
   }
   std::set< String > present;
   String const prefix = e.path() + kElementSeparator;
   for ( auto const & key : cmd().scan( Redis::globEscape( prefix ) + "*" ) ) {
      present.insert( key.substr( prefix.size() ) );
   }
   for ( auto const & k : el->keys( e ) ) {
      if ( !present.count( k ) ) {
         el->elementDel( e, k );
      }
   }
   for ( auto const & k : present ) {
      loadElement( e, k );
   }
}

void RedisEntityManager::loadElement( Entity & parent, String const & key ) {
   auto const * el = parent.fieldTable().elements();
   if ( !el ) {
      return;
   }
   auto const hash = readHash( parent.elementPath( key ) );
   if ( !hash ) {
      return; // not a hash: an element already held keeps its values
   }
   if ( hash->empty() ) {
      el->elementDel( parent, key );
   } else if ( auto existing = el->element( parent, key ) ) {
      applyFields( *existing, *hash );
   } else {
      el->elementIs( parent, key, [ & ]( Entity & fresh ) { applyFields( fresh, *hash ); } );
   }
}

void RedisEntityManager::applyFields( Entity & e, Redis::Hash const & hash ) {
   std::map< String, String > values( hash.begin(), hash.end() );
   for ( auto const & f : e.fieldTable().fields ) {
      if ( f.kind == FieldKind::elements ) {
         continue;
      }
      auto it = values.find( f.name );
      if ( it == values.end() ) {
         f.reset( e );
         continue;
      }
      if ( auto err = f.decode( e, it->second ) ) {
         // Once per distinct value, so a fixed and re-broken field is told
         // again. The value is never printed: it may hold a password.
         garbage( e.path(), f.name, "not a valid value (" + err->reason + ")", it->second );
      }
      values.erase( it );
   }
   for ( auto const & [ name, value ] : values ) {
      garbage( e.path(), name, "unknown field, ignored" );
   }
}

void RedisEntityManager::garbage( String const & path, String const & field, String const & what,
                                  String const & value ) {
   if ( !garbageReported_.insert( path + '\0' + field + '\0' + what + '\0' + value ).second ) {
      return;
   }
   String const where = field.empty() ? path : path + " field " + field;
   QTRACE( trace, 0, "{}: {}; keeping the last good value", where, what );
   log( QUAYD_STATE_DB_GARBAGE, where, what );
}

std::vector< std::pair< String, String > >
RedisEntityManager::fieldValues( Entity const & e ) const {
   std::vector< std::pair< String, String > > values;
   for ( auto const & f : e.fieldTable().fields ) {
      if ( f.kind != FieldKind::elements ) {
         values.emplace_back( f.name, f.encode( e ) );
      }
   }
   return values;
}

std::vector< String > RedisEntityManager::fieldArgs( Entity const & e ) const {
   std::vector< String > args;
   for ( auto & [ name, value ] : fieldValues( e ) ) {
      args.push_back( std::move( name ) );
      args.push_back( std::move( value ) );
   }
   return args;
}

std::vector< std::vector< String > > RedisEntityManager::writeAllCommands( Entity & e ) {
   std::vector< std::vector< String > > cmds{ { "DEL", e.path() } };
   if ( auto args = fieldArgs( e ); !args.empty() ) {
      args.insert( args.begin(), { "HSET", e.path() } );
      cmds.push_back( std::move( args ) );
   }
   if ( auto const * el = e.fieldTable().elements() ) {
      auto const keys = el->keys( e );
      std::set< String > const held( keys.begin(), keys.end() );
      String const prefix = e.path() + kElementSeparator;
      for ( auto const & key : cmd().scan( Redis::globEscape( prefix ) + "*" ) ) {
         if ( !held.count( key.substr( prefix.size() ) ) ) {
            cmds.push_back( { "DEL", key } );
         }
      }
      for ( auto const & k : keys ) {
         auto element = el->element( e, k );
         auto args = fieldArgs( *element );
         cmds.push_back( { "DEL", element->path() } );
         if ( !args.empty() ) {
            args.insert( args.begin(), { "HSET", element->path() } );
            cmds.push_back( std::move( args ) );
         }
      }
   }
   return cmds;
}

std::vector< std::vector< String > > RedisEntityManager::commandsOf( PendingWrite const & w ) {
   if ( !w.entity ) {
      return { { "DEL", w.path } };
   }
   if ( w.whole ) {
      return writeAllCommands( *w.entity );
   }
   if ( w.fields.empty() ) {
      return {};
   }
   std::vector< String > args{ "HSET", w.path };
   for ( auto const & [ name, value ] : w.fields ) {
      args.push_back( name );
      args.push_back( value );
   }
   return { std::move( args ) };
}

void RedisEntityManager::attrChanged( Entity & e, AttrId attr ) {
   for ( auto const & f : e.fieldTable().fields ) {
      if ( f.id == attr ) {
         queueFields( e, { { f.name, f.encode( e ) } } );
         return;
      }
   }
}

void RedisEntityManager::elementAdded( Entity &, Entity & element ) {
   if ( auto values = fieldValues( element ); !values.empty() ) {
      queueFields( element, std::move( values ) );
   }
}

void RedisEntityManager::elementRemoved( Entity &, Entity & element ) {
   queueDel( element.path() );
}

void RedisEntityManager::queueFields( Entity & e,
                                      std::vector< std::pair< String, String > > fields ) {
   if ( !cmd_ ) {
      return; // written in full when the database is back
   }
   auto [ it, fresh ] = pendingHset_.try_emplace( e.path(), pending_.size() );
   if ( fresh ) {
      pending_.push_back( { Ptr< Entity >( &e ), e.path(), {} } );
   }
   auto & held = pending_[ it->second ].fields;
   for ( auto & field : fields ) {
      auto same = std::find_if( held.begin(), held.end(),
                                [ & ]( auto const & f ) { return f.first == field.first; } );
      if ( same != held.end() ) {
         same->second = std::move( field.second );
      } else {
         held.push_back( std::move( field ) );
      }
   }
   scheduleFlush();
}

void RedisEntityManager::queueAll( Entity & e ) {
   if ( auto it = pendingHset_.find( e.path() ); it != pendingHset_.end() ) {
      pending_[ it->second ].fields.clear(); // the whole entity has them
      pendingHset_.erase( it );
   }
   pending_.push_back( { Ptr< Entity >( &e ), e.path(), {}, true } );
   scheduleFlush();
}

void RedisEntityManager::scheduleFlush() {
   // While the server refuses writes, its retry timer sends them.
   if ( !writeRetryTimer_->armed() ) {
      flushTask_->scheduleTask();
   }
}

void RedisEntityManager::queueDel( String const & path ) {
   if ( !cmd_ ) {
      return;
   }
   if ( auto it = pendingHset_.find( path ); it != pendingHset_.end() ) {
      pending_[ it->second ].fields.clear(); // the DEL makes it moot
      pendingHset_.erase( it );
   }
   pending_.push_back( { nullptr, path, {} } );
   scheduleFlush();
}

void RedisEntityManager::flush() {
   writeRetryTimer_->stopTimerTask();
   auto writes = std::exchange( pending_, {} );
   pendingHset_.clear();
   std::vector< PendingWrite > sent, refusedWrites;
   std::vector< Ptr< Entity > > garbled;
   String why;
   withConnection( [ & ]( Redis::Connection & c ) {
      // Each write's commands, and where its replies start among EXEC's.
      std::vector< std::vector< String > > cmds{ { "MULTI" } };
      std::vector< size_t > firstReply;
      for ( auto & w : writes ) {
         auto wc = commandsOf( w );
         if ( wc.empty() ) {
            continue;
         }
         firstReply.push_back( cmds.size() - 1 );
         cmds.insert( cmds.end(), std::make_move_iterator( wc.begin() ),
                      std::make_move_iterator( wc.end() ) );
         sent.push_back( std::move( w ) );
      }
      if ( sent.empty() ) {
         return;
      }
      firstReply.push_back( cmds.size() - 1 );
      cmds.push_back( { "EXEC" } );
      auto const replies = c.exchange( cmds );
      // A command refused as it is queued discards the whole transaction.
      for ( auto const & r : replies ) {
         if ( r->type == REDIS_REPLY_ERROR ) {
            why = replyText( r.get() );
            refusedWrites = std::move( sent );
            return;
         }
      }
      redisReply const * results = replies.back().get();
      if ( results->type != REDIS_REPLY_ARRAY ) {
         why = "EXEC answered with no results";
         refusedWrites = std::move( sent );
         return;
      }
      for ( size_t w = 0; w < sent.size(); ++w ) {
         for ( size_t i = firstReply[ w ]; i < firstReply[ w + 1 ]; ++i ) {
            redisReply const * r = i < results->elements ? results->element[ i ] : nullptr;
            if ( r && r->type != REDIS_REPLY_ERROR ) {
               continue;
            }
            if ( r && wrongType( r ) && sent[ w ].entity ) {
               // Someone put another type of key at a status path; ours
               // replaces it.
               garbage( sent[ w ].path, "", replyText( r ) );
               garbled.push_back( sent[ w ].entity );
            } else {
               why = r ? replyText( r ) : "no reply in EXEC";
               refusedWrites.push_back( std::move( sent[ w ] ) );
            }
            break;
         }
      }
   } );
   if ( !cmd_ ) {
      return; // the resynchronisation writes everything
   }
   if ( !refusedWrites.empty() ) {
      refused( std::move( refusedWrites ), why );
   } else if ( !sent.empty() ) {
      accepted();
   }
   for ( auto const & e : garbled ) {
      queueAll( *e );
   }
   if ( !garbled.empty() && !writeRetryTimer_->armed() ) {
      flush(); // a whole write starts with DEL: no key of another type is left
   }
}

void RedisEntityManager::refused( std::vector< PendingWrite > writes, String const & why ) {
   auto const seconds = std::chrono::duration_cast< Seconds >( writeRetryDelay_ ).count();
   if ( why != refusedWhy_ ) {
      QTRACE( trace, 0, "Redis at {} refuses writes: {}; trying again in {}s", address_.str(), why,
              seconds );
      log( QUAYD_STATE_DB_WRITE_REFUSED, address_.str(), why, (long long)seconds );
   } else {
      QTRACE( trace, 2, "Redis at {} still refuses writes: {}; trying again in {}s", address_.str(),
              why, seconds );
   }
   refusedWhy_ = why;
   // Older than anything queued meanwhile: they go first, and later changes
   // of the same entity join their HSET.
   for ( auto & w : pending_ ) {
      writes.push_back( std::move( w ) );
   }
   pending_ = std::move( writes );
   pendingHset_.clear();
   for ( size_t i = 0; i < pending_.size(); ++i ) {
      if ( pending_[ i ].entity && !pending_[ i ].whole ) {
         pendingHset_[ pending_[ i ].path ] = i;
      } else if ( !pending_[ i ].entity ) {
         pendingHset_.erase( pending_[ i ].path );
      }
   }
   writeRetryTimer_->scheduleTaskDelay( writeRetryDelay_ );
   writeRetryDelay_ = std::min< Duration >( writeRetryDelay_ * 2, kLastWriteRetry );
}

void RedisEntityManager::accepted() {
   writeRetryDelay_ = kFirstWriteRetry;
   if ( refusedWhy_.empty() ) {
      return;
   }
   refusedWhy_.clear();
   QTRACE( trace, 0, "Redis at {} takes writes again", address_.str() );
   log( QUAYD_STATE_DB_WRITES_BACK, address_.str() );
}

void RedisEntityManager::lost( String const & why ) {
   if ( !lostReported_ ) {
      QTRACE( trace, 0, "lost the state database: {}; reconnecting", why );
      log( QUAYD_STATE_DB_LOST, why );
      lostReported_ = true;
   }
   if ( sub_ ) {
      loop_.fdDel( sub_->fd() );
   }
   sub_.reset();
   cmd_.reset();
   reconnectTimer_->scheduleTaskDelay( kReconnectInterval );
}

void RedisEntityManager::reconnect() {
   try {
      connect();
      resync();
   } catch ( Redis::Error const & e ) {
      lost( e.what() );
      return;
   }
   if ( cmd_ ) {
      ++resyncs_;
      QTRACE( trace, 0, "state database at {} is back; resynchronised", address_.str() );
      log( QUAYD_STATE_DB_BACK, address_.str() );
   }
}

void RedisEntityManager::resync() {
   pending_.clear(); // all of it is written below
   pendingHset_.clear();
   // Status first: handlers of configuration changes may write status, and
   // those writes go to a database that already holds the rest.
   for ( auto & [ path, e ] : written_ ) {
      queueAll( *e );
   }
   flush();
   if ( !cmd_ ) {
      return;
   }
   for ( auto & [ path, e ] : followed_ ) {
      subscribe( path );
   }
   for ( auto & [ path, e ] : followed_ ) {
      load( *e );
      if ( !cmd_ ) {
         return;
      }
   }
}

} // namespace Quayd
