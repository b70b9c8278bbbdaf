// Requests in flight together on the real event loop, against a daemon
// stand-in that holds every request until the test lets it answer: the bound
// on requests out at once, answers taken in the order they come, time-outs,
// cancellation and the cap on an answer's size.
#include "platform/docker/AsyncApiClient.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <filesystem>
#include <mutex>
#include <set>
#include <thread>

#include <gtest/gtest.h>

#include "platform/posix/PosixEventLoop.h"

namespace Quayd {
namespace {

using namespace std::chrono_literals;

// Answers each request for /v1.41/N with body "N" once N is released; the
// answer to "/big" is longer than the client keeps.
class HeldDaemon {
 public:
   HeldDaemon() {
      char tmpl[] = "/tmp/quayd-async-XXXXXX";
      dir_ = ::mkdtemp( tmpl );
      path_ = dir_ + "/d.sock";
      fd_ = ::socket( AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0 );
      sockaddr_un a{};
      a.sun_family = AF_UNIX;
      path_.copy( a.sun_path, sizeof a.sun_path - 1 );
      ::bind( fd_, reinterpret_cast< sockaddr * >( &a ), sizeof a );
      ::listen( fd_, 64 );
      acceptor_ = std::thread( [ this ] { acceptAll(); } );
   }
   ~HeldDaemon() {
      {
         std::lock_guard l( m_ );
         closing_ = true;
      }
      cv_.notify_all();
      ::shutdown( fd_, SHUT_RDWR );
      acceptor_.join();
      for ( auto & t : answerers_ ) {
         t.join();
      }
      ::close( fd_ );
      std::filesystem::remove_all( dir_ );
   }
   String const & path() const { return path_; }
   void release( String const & name ) {
      std::lock_guard l( m_ );
      released_.insert( name );
      cv_.notify_all();
   }
   size_t held() const {
      std::lock_guard l( m_ );
      return held_.size();
   }
   size_t mostHeld() const {
      std::lock_guard l( m_ );
      return mostHeld_;
   }
   size_t answered() const {
      std::lock_guard l( m_ );
      return answered_;
   }

 private:
   void acceptAll() {
      for ( ;; ) {
         int const c = ::accept4( fd_, nullptr, nullptr, SOCK_CLOEXEC );
         if ( c < 0 ) {
            return;
         }
         std::lock_guard l( m_ );
         answerers_.emplace_back( [ this, c ] { answer( c ); } );
      }
   }
   void answer( int c ) {
      String request;
      char buf[ 4096 ];
      while ( request.find( "\r\n\r\n" ) == String::npos ) {
         ssize_t const n = ::read( c, buf, sizeof buf );
         if ( n <= 0 ) {
            ::close( c );
            return;
         }
         request.append( buf, size_t( n ) );
      }
      size_t const from = request.find( "/v1.41/" ) + 7;
      String const name = request.substr( from, request.find( ' ', from ) - from );
      {
         std::unique_lock l( m_ );
         held_.insert( name );
         mostHeld_ = std::max( mostHeld_, held_.size() );
         cv_.wait( l, [ & ] { return closing_ || released_.count( name ); } );
         held_.erase( name );
      }
      String const body = name == "big" ? String( AsyncApiClient::kMaxBody + 1, 'x' ) : name;
      String const out = "HTTP/1.1 200 OK\r\nContent-Length: " + std::to_string( body.size() ) +
                         "\r\nConnection: close\r\n\r\n" + body;
      for ( size_t sent = 0; sent < out.size(); ) {
         ssize_t const n = ::send( c, out.data() + sent, out.size() - sent, MSG_NOSIGNAL );
         if ( n <= 0 ) {
            break;
         }
         sent += size_t( n );
      }
      ::close( c );
      std::lock_guard l( m_ );
      ++answered_;
   }

   String dir_, path_;
   int fd_;
   mutable std::mutex m_;
   std::condition_variable cv_;
   std::set< String > held_, released_;
   size_t mostHeld_ = 0, answered_ = 0;
   bool closing_ = false;
   std::thread acceptor_;
   std::vector< std::thread > answerers_;
};

struct Fixture {
   PosixEventLoop loop;
   HeldDaemon daemon;
   AsyncApiClient client{ loop, daemon.path(), 2 };
   std::vector< String > done; // "name status", in the order they ended

   AsyncApiClient::Id get( String const & name, long timeoutSec = 20 ) {
      return client.send( "GET", "/" + name, "", timeoutSec, [ this, name ]( auto r ) {
         done.push_back( name + " " + std::to_string( r.status ) +
                         ( r.error.empty() ? "" : " !" ) );
      } );
   }
   bool until( std::function< bool() > f ) { return loop.runUntil( std::move( f ), 10s ); }
};

TEST( AsyncApiClient, AtMostTheBoundIsOutAndAnswersComeInTheOrderGiven ) {
   Fixture f;
   for ( char const * n : { "a", "b", "c", "d", "e" } ) {
      f.get( n );
   }
   ASSERT_TRUE( f.until( [ & ] { return f.daemon.held() == 2; } ) );
   EXPECT_EQ( f.client.inFlight(), 2u );
   EXPECT_EQ( f.client.waiting(), 3u );
   // b answers before a; its slot goes to c.
   f.daemon.release( "b" );
   ASSERT_TRUE( f.until( [ & ] { return f.done.size() == 1 && f.daemon.held() == 2; } ) );
   EXPECT_EQ( f.done, ( std::vector< String >{ "b 200" } ) );
   for ( char const * n : { "c", "e", "d", "a" } ) {
      f.daemon.release( n );
   }
   ASSERT_TRUE( f.until( [ & ] { return f.done.size() == 5; } ) );
   EXPECT_EQ( f.daemon.mostHeld(), 2u );
   EXPECT_EQ( f.client.inFlight() + f.client.waiting(), 0u );
}

TEST( AsyncApiClient, FailuresEndTheirRequestWithTheReason ) {
   Fixture f;
   f.get( "slow", 1 );
   f.get( "big" );
   f.daemon.release( "big" );
   ASSERT_TRUE( f.until( [ & ] { return f.done.size() == 2; } ) );
   // The cut answer keeps its status; the silent one has none.
   EXPECT_EQ( f.done, ( std::vector< String >{ "big 200 !", "slow 0 !" } ) );

   AsyncApiClient::Result gone;
   f.client.socketPathIs( f.daemon.path() + ".none" );
   f.client.send( "GET", "/x", "", 5, [ & ]( auto r ) { gone = std::move( r ); } );
   ASSERT_TRUE( f.until( [ & ] { return !gone.error.empty(); } ) );
   EXPECT_EQ( gone.status, 0 );
   EXPECT_FALSE( gone.timedOut );
   EXPECT_NE( gone.error.find( ".none" ), String::npos ) << gone.error;
}

TEST( AsyncApiClient, ACancelledRequestNeverCallsBackAndFreesItsSlot ) {
   Fixture f;
   auto const a = f.get( "a" );
   f.get( "b" );
   auto const c = f.get( "c" );
   f.get( "d" );
   ASSERT_TRUE( f.until( [ & ] { return f.daemon.held() == 2; } ) );
   f.client.cancel( a ); // in flight: d's turn comes after b
   f.client.cancel( c ); // waiting
   ASSERT_TRUE( f.until( [ & ] { return f.daemon.held() == 3; } ) );
   for ( char const * n : { "a", "b", "c", "d" } ) {
      f.daemon.release( n );
   }
   ASSERT_TRUE( f.until( [ & ] { return f.done.size() == 2 && f.daemon.answered() == 3; } ) );
   std::sort( f.done.begin(), f.done.end() );
   EXPECT_EQ( f.done, ( std::vector< String >{ "b 200", "d 200" } ) );
   EXPECT_EQ( f.client.inFlight() + f.client.waiting(), 0u );
}

} // namespace
} // namespace Quayd
