#include "platform/redis/RedisClient.h"

#include <arpa/inet.h>

#include <hiredis/hiredis.h>

#include <cstdlib>

namespace Quayd::Redis {

namespace {
// The state database holds the switch's configuration, credentials aside:
// only this machine may talk to it.
bool loopback( String const & host ) {
   if ( host == "localhost" || host == "::1" ) {
      return true;
   }
   in_addr a{};
   return inet_pton( AF_INET, host.c_str(), &a ) == 1 && ( ntohl( a.s_addr ) >> 24 ) == 127;
}
} // namespace

Address Address::parse( String const & text ) {
   Address a;
   if ( text.find( '/' ) != String::npos ) {
      a.socketPath = text;
      return a;
   }
   // "[::1]:6379" for IPv6; otherwise the last colon starts the port.
   size_t colon;
   if ( !text.empty() && text[ 0 ] == '[' ) {
      auto close = text.find( ']' );
      if ( close == String::npos ) {
         throw Error( "bad Redis address '" + text + "': no closing ']'" );
      }
      a.host = text.substr( 1, close - 1 );
      colon = close + 1 < text.size() && text[ close + 1 ] == ':' ? close + 1 : String::npos;
      if ( close + 1 < text.size() && colon == String::npos ) {
         throw Error( "bad Redis address '" + text + "': junk after ']'" );
      }
   } else {
      colon = text.rfind( ':' );
      a.host = text.substr( 0, colon );
   }
   if ( colon != String::npos ) {
      String const port = text.substr( colon + 1 );
      char * end = nullptr;
      long p = std::strtol( port.c_str(), &end, 10 );
      if ( port.empty() || *end || p <= 0 || p > 65535 ) {
         throw Error( "bad Redis address '" + text + "': port must be 1-65535" );
      }
      a.port = int( p );
   }
   if ( a.host.empty() ) {
      throw Error( "bad Redis address '" + text + "': no host" );
   }
   if ( !loopback( a.host ) ) {
      throw Error( "Redis address '" + text +
                   "' is not on this machine; give a unix socket path or a loopback address" );
   }
   return a;
}

String Address::str() const {
   if ( !socketPath.empty() ) {
      return socketPath;
   }
   String const h = host.find( ':' ) != String::npos ? "[" + host + "]" : host;
   return h + ":" + std::to_string( port );
}

String defaultAddress( char const * fromEnvironment ) {
   // The agent's own instance: a socket only root and the group quayd reach.
   return fromEnvironment && *fromEnvironment ? fromEnvironment : "/run/quayd/redis.sock";
}

void ReplyFree::operator()( redisReply * r ) const { freeReplyObject( r ); }

Connection::Connection( Address const & addr, Duration timeout ) : where_( addr.str() ) {
   auto const us = std::chrono::duration_cast< std::chrono::microseconds >( timeout ).count();
   timeval tv{ us / 1000000, us % 1000000 };
   ctx_ = addr.socketPath.empty() ? redisConnectWithTimeout( addr.host.c_str(), addr.port, tv )
                                  : redisConnectUnixWithTimeout( addr.socketPath.c_str(), tv );
   if ( !ctx_ || ctx_->err ) {
      String why = ctx_ ? ctx_->errstr : "out of memory";
      if ( ctx_ ) {
         redisFree( ctx_ );
         ctx_ = nullptr;
      }
      throw Error( "cannot reach Redis at " + where_ + ": " + why );
   }
   redisSetTimeout( ctx_, tv );
}

Connection::~Connection() {
   if ( ctx_ ) {
      redisFree( ctx_ );
   }
}

namespace {
void append( redisContext * c, std::vector< String > const & argv ) {
   std::vector< char const * > args;
   std::vector< size_t > lens;
   for ( auto const & a : argv ) {
      args.push_back( a.data() );
      lens.push_back( a.size() );
   }
   redisAppendCommandArgv( c, int( args.size() ), args.data(), lens.data() );
}
} // namespace

std::vector< Reply > Connection::exchange( std::vector< std::vector< String > > const & cmds ) {
   if ( ctx_->err ) {
      throw Error( "Redis at " + where_ + ": " + ctx_->errstr );
   }
   for ( auto const & c : cmds ) {
      append( ctx_, c );
   }
   std::vector< Reply > replies;
   for ( size_t i = 0; i < cmds.size(); ++i ) {
      void * r = nullptr;
      if ( redisGetReply( ctx_, &r ) != REDIS_OK || !r ) {
         throw Error( "Redis at " + where_ + ": " + ( ctx_->err ? ctx_->errstr : "no reply" ) );
      }
      replies.emplace_back( static_cast< redisReply * >( r ) );
   }
   return replies;
}

std::vector< Reply > Connection::pipeline( std::vector< std::vector< String > > const & cmds ) {
   auto replies = exchange( cmds );
   for ( auto const & reply : replies ) {
      if ( reply->type == REDIS_REPLY_ERROR ) {
         throw ServerError( "Redis at " + where_ +
                            " refused a command: " + String( reply->str, reply->len ) );
      }
   }
   return replies;
}

void Connection::send( std::vector< String > const & argv ) { append( ctx_, argv ); }

Reply Connection::next() {
   void * r = nullptr;
   if ( redisGetReply( ctx_, &r ) != REDIS_OK || !r ) {
      throw Error( "Redis at " + where_ + ": " + ( ctx_->err ? ctx_->errstr : "no reply" ) );
   }
   return Reply( static_cast< redisReply * >( r ) );
}

Reply Connection::command( std::vector< String > const & argv ) {
   return std::move( pipeline( { argv } ).front() );
}

Hash Connection::hgetall( String const & key ) {
   Reply r = command( { "HGETALL", key } );
   Hash h;
   for ( size_t i = 0; i + 1 < r->elements; i += 2 ) {
      h.emplace_back( String( r->element[ i ]->str, r->element[ i ]->len ),
                      String( r->element[ i + 1 ]->str, r->element[ i + 1 ]->len ) );
   }
   return h;
}

std::optional< String > Connection::hget( String const & key, String const & field ) {
   Reply r = command( { "HGET", key, field } );
   if ( r->type != REDIS_REPLY_STRING ) {
      return std::nullopt;
   }
   return String( r->str, r->len );
}

bool Connection::exists( String const & key ) { return command( { "EXISTS", key } )->integer != 0; }

std::vector< String > Connection::scan( String const & pattern ) {
   std::vector< String > keys;
   scan( pattern, [ & ]( String const & key ) { keys.push_back( key ); } );
   return keys;
}

void Connection::scan( String const & pattern,
                       std::function< void( String const & key ) > const & each ) {
   String cursor = "0";
   do {
      Reply r = command( { "SCAN", cursor, "MATCH", pattern, "COUNT", "1000" } );
      cursor = String( r->element[ 0 ]->str, r->element[ 0 ]->len );
      auto const * list = r->element[ 1 ];
      for ( size_t i = 0; i < list->elements; ++i ) {
         each( String( list->element[ i ]->str, list->element[ i ]->len ) );
      }
   } while ( cursor != "0" );
}

int Connection::fd() const { return ctx_->fd; }

std::vector< Reply > Connection::readAvailable( bool fromSocket ) {
   std::vector< Reply > out;
   if ( fromSocket && redisBufferRead( ctx_ ) != REDIS_OK ) {
      throw Error( "Redis at " + where_ + ": " + ( ctx_->err ? ctx_->errstr : "closed" ) );
   }
   for ( ;; ) {
      void * r = nullptr;
      if ( redisGetReplyFromReader( ctx_, &r ) != REDIS_OK ) {
         throw Error( "Redis at " + where_ + ": bad reply" );
      }
      if ( !r ) {
         break;
      }
      out.emplace_back( static_cast< redisReply * >( r ) );
   }
   return out;
}

String globEscape( String const & text ) {
   String out;
   for ( char c : text ) {
      if ( c == '*' || c == '?' || c == '[' || c == ']' || c == '\\' ) {
         out += '\\';
      }
      out += c;
   }
   return out;
}

} // namespace Quayd::Redis
