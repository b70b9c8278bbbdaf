#include "platform/redis/RedisEntityManager.h"

#include <hiredis/hiredis.h>

#include <algorithm>
#include <set>

namespace Quayd {

LogDescriptor const QUAYD_STATE_DB_GARBAGE{
   "QUAYD_STATE_DB_GARBAGE", "State database entry %s: %s; keeping the last good value.",
   "A configuration or status entry in the state database holds something the agent "
   "cannot read; it goes on with the value it had.",
   "Rewrite the entry with quyctl.", 4
};

LogDescriptor const QUAYD_STATE_DB_LOST{
   "QUAYD_STATE_DB_LOST", "Lost the state database: %s; reconnecting every second.",
   "The agent cannot reach Redis; it keeps running on what it has and retries.",
   "Check that redis-server runs.", 3
};

LogDescriptor const QUAYD_STATE_DB_BACK{
   "QUAYD_STATE_DB_BACK", "State database at %s is back; resynchronised.",
   "The agent reached Redis again, wrote its status and read the configuration anew.", "", 6
};

namespace {
char const * const kKeyspacePrefix = "__keyspace@0__:";

} // namespace

String RedisEntityManager::replyText( redisReply const * r ) {
   return r && r->str ? String( r->str, r->len ) : String();
}

RedisEntityManager::RedisEntityManager( Redis::Address address, EventLoop & loop, Sinks sinks )
    : address_( std::move( address ) ), loop_( loop ), trace_( sinks.trace, "StateDb" ),
      log_( sinks.log ) {
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
      withConnection( [ & ]( Redis::Connection & ) { loadHash( *it->second ); } );
      return;
   }
   auto sep = key.find( kElementSeparator );
   while ( sep != String::npos ) {
      if ( auto it = followed_.find( key.substr( 0, sep ) ); it != followed_.end() ) {
         withConnection( [ & ]( Redis::Connection & ) {
            handled( key, [ & ] { loadElement( *it->second, key.substr( sep + 1 ) ); } );
         } );
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

void RedisEntityManager::loadHash( Entity & e ) {
   handled( e.path(), [ & ] {
      if ( auto hash = readHash( e.path() ) ) {
         applyFields( e, *hash );
      }
   } );
}

void RedisEntityManager::load( Entity & e ) {
   loadHash( e );
   auto const * el = e.fieldTable().elements();
   if ( !el ) {
      return;
   }
   // Held elements whose key is gone go first; then each key found is
   // loaded as the scan meets it, so garbage keys of any number and size
   // cost one page of the scan, never a copy of the lot.
   String const prefix = e.path() + kElementSeparator;
   for ( auto const & k : el->keys( e ) ) {
      if ( !cmd().exists( prefix + k ) ) {
         el->elementDel( e, k );
      }
   }
   cmd().scan( Redis::globEscape( prefix ) + "*", [ & ]( String const & key ) {
      handled( key, [ & ] { loadElement( e, key.substr( prefix.size() ) ); } );
   } );
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
   // Remembered by hash and in bounded number: a writer of endless distinct
   // values costs a report each, never memory.
   if ( garbageReported_.size() >= kGarbageRemembered ) {
      garbageReported_.clear();
   }
   if ( !garbageReported_
            .insert( std::hash< String >{}( path + '\0' + field + '\0' + what + '\0' + value ) )
            .second ) {
      return;
   }
   String const where = field.empty() ? path : path + " field " + field;
   QTRACE( trace_, 0, "{}: {}; keeping the last good value", where, what );
   log( log_, QUAYD_STATE_DB_GARBAGE, where, what );
}

void RedisEntityManager::lost( String const & why ) {
   if ( !lostReported_ ) {
      QTRACE( trace_, 0, "lost the state database: {}; reconnecting", why );
      log( log_, QUAYD_STATE_DB_LOST, why );
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
      QTRACE( trace_, 0, "state database at {} is back; resynchronised", address_.str() );
      log( log_, QUAYD_STATE_DB_BACK, address_.str() );
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
