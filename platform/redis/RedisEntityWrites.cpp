// The write side of the state database: status changes queued per handler
// run, written as one transaction, and kept when Redis refuses them.
#include <hiredis/hiredis.h>

#include <algorithm>
#include <set>

#include "platform/redis/RedisEntityManager.h"

namespace Quayd {

LogDescriptor const QUAYD_STATE_DB_WRITE_REFUSED{
   "QUAYD_STATE_DB_WRITE_REFUSED",
   "State database at %s refuses writes: %s; trying again in %lld seconds.",
   "Redis answers but does not store the agent's status (out of memory, a read-only replica, "
   "a failed save to disk). The agent keeps the writes and tries again, less often each time.",
   "Check redis-server's memory limit, its replication role and its disk.", 3
};

LogDescriptor const QUAYD_STATE_DB_WRITES_BACK{ "QUAYD_STATE_DB_WRITES_BACK",
                                                "State database at %s takes writes again.",
                                                "The writes Redis refused are stored now.", "", 6 };

namespace {
// A key of another type at a status path is garbage someone put there;
// every other error reply is the server refusing the write.
bool wrongType( redisReply const * r ) {
   return RedisEntityManager::replyText( r ).rfind( "WRONGTYPE", 0 ) == 0;
}
} // namespace

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
      QTRACE( trace_, 0, "Redis at {} refuses writes: {}; trying again in {}s", address_.str(), why,
              seconds );
      log( log_, QUAYD_STATE_DB_WRITE_REFUSED, address_.str(), why, (long long)seconds );
   } else {
      QTRACE( trace_, 2, "Redis at {} still refuses writes: {}; trying again in {}s",
              address_.str(), why, seconds );
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
   QTRACE( trace_, 0, "Redis at {} takes writes again", address_.str() );
   log( log_, QUAYD_STATE_DB_WRITES_BACK, address_.str() );
}

} // namespace Quayd
