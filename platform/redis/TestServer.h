#pragma once
// A private redis-server on a unix socket in a directory of its own, for
// tests and benchmarks; stop() and start() restart it on the same socket
// (with its append-only file when `persistent`).
#include <sys/types.h>

#include "platform/redis/RedisClient.h"

namespace Quayd::Redis {

class TestServer {
 public:
   explicit TestServer( bool persistent = false );
   ~TestServer();
   void start();
   void stop();
   bool running() const { return pid_ > 0; }
   String const & socketPath() const { return socket_; }
   Address address() const { return Address::parse( socket_ ); }
   // A fresh client connection.
   Connection client() const { return Connection( address() ); }

 private:
   String dir_;
   String socket_;
   bool persistent_;
   pid_t pid_ = -1;
};

} // namespace Quayd::Redis
