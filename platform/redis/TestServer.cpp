#include "platform/redis/TestServer.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

namespace Quayd::Redis {

TestServer::TestServer( bool persistent ) : persistent_( persistent ) {
   char tmpl[] = "/tmp/quayd-redis-XXXXXX";
   dir_ = mkdtemp( tmpl );
   socket_ = dir_ + "/redis.sock";
   start();
}

TestServer::~TestServer() {
   stop();
   std::filesystem::remove_all( dir_ );
}

void TestServer::start() {
   pid_ = fork();
   if ( pid_ == 0 ) {
      execlp( "redis-server", "redis-server", "--port", "0", "--unixsocket", socket_.c_str(),
              "--dir", dir_.c_str(), "--save", "", "--appendonly", persistent_ ? "yes" : "no",
              "--appendfsync", "always", "--loglevel", "warning", "--logfile",
              ( dir_ + "/redis.log" ).c_str(), nullptr );
      _exit( 127 );
   }
   // Ready when it answers; a server that cannot start fails the test.
   auto const deadline = std::chrono::steady_clock::now() + std::chrono::seconds( 10 );
   for ( ;; ) {
      try {
         Connection c( address() );
         c.command( { "PING" } );
         return;
      } catch ( Error const & ) {
         int st;
         if ( waitpid( pid_, &st, WNOHANG ) == pid_ ) {
            pid_ = -1;
            throw Error( "redis-server did not start; see " + dir_ + "/redis.log" );
         }
         if ( std::chrono::steady_clock::now() > deadline ) {
            throw Error( "redis-server did not answer within 10 s" );
         }
         std::this_thread::sleep_for( std::chrono::milliseconds( 5 ) );
      }
   }
}

void TestServer::stop() {
   if ( pid_ <= 0 ) {
      return;
   }
   kill( pid_, SIGKILL );
   waitpid( pid_, nullptr, 0 );
   pid_ = -1;
   unlink( socket_.c_str() );
}

} // namespace Quayd::Redis
