#pragma once
// A blocking connection to the state database's Redis server, shared by the
// agent's entity manager and quyctl.
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <vector>

#include "platform/Types.h"

struct redisContext;
struct redisReply;

namespace Quayd::Redis {

// "host:port", "host" (port 6379), "[::1]:port" or a unix socket path
// (anything with a '/'). Hosts other than loopback ones are refused.
struct Address {
   String host;
   int port = 6379;
   String socketPath;
   static Address parse( String const & text );
   String str() const;
};

// The address a main takes from its $QUAYD_REDIS, else the agent's own instance at
// /run/quayd/redis.sock.
String defaultAddress( char const * fromEnvironment );

class Error : public std::runtime_error {
 public:
   using std::runtime_error::runtime_error;
};

// The server answered a command with an error (a key of another type, a bad
// argument): the connection itself is fine.
class ServerError : public Error {
 public:
   using Error::Error;
};

struct ReplyFree {
   void operator()( redisReply * r ) const;
};
using Reply = std::unique_ptr< redisReply, ReplyFree >;

// Field/value pairs of a hash, in the server's order.
using Hash = std::vector< std::pair< String, String > >;

class Connection {
 public:
   // Connects, or throws Error with the reason.
   explicit Connection( Address const & addr, Duration timeout = std::chrono::seconds( 2 ) );
   ~Connection();
   Connection( Connection const & ) = delete;
   Connection & operator=( Connection const & ) = delete;

   // Sends one command; throws Error when the connection fails, ServerError
   // when the server answers with an error.
   Reply command( std::vector< String > const & argv );
   // Sends several commands in one round trip; replies in order.
   std::vector< Reply > pipeline( std::vector< std::vector< String > > const & commands );
   // The same, with error replies returned as they are: only a failing
   // connection throws.
   std::vector< Reply > exchange( std::vector< std::vector< String > > const & commands );

   Hash hgetall( String const & key );
   std::optional< String > hget( String const & key, String const & field );
   bool exists( String const & key );
   // Every key matching the glob `pattern`.
   std::vector< String > scan( String const & pattern );
   // The same a page at a time, none of them kept: for key spaces anyone
   // can fill.
   void scan( String const & pattern, std::function< void( String const & key ) > const & each );

   // For a subscriber: queues a command without waiting for its reply, and
   // the next reply of any kind (a confirmation or a message), waiting for
   // it up to the connection's time-out.
   void send( std::vector< String > const & argv );
   Reply next();
   // For a subscriber: the socket, and the complete replies received. With
   // `fromSocket` one read is made first (call it when the socket is
   // readable); without, only what earlier reads buffered is returned.
   int fd() const;
   std::vector< Reply > readAvailable( bool fromSocket = true );

 private:
   redisContext * ctx_ = nullptr;
   String where_;
};

// `text` with Redis glob metacharacters escaped.
String globEscape( String const & text );

} // namespace Quayd::Redis
