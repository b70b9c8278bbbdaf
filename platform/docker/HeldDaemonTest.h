#pragma once
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <condition_variable>
#include <filesystem>
#include <functional>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "platform/Types.h"

namespace Quayd {

// A listening unix socket "d.sock" in a new directory under /tmp, for a
// daemon stand-in; the owner closes `fd` and removes `dir`.
struct TestSocket {
   String dir, path;
   int fd;
};
inline TestSocket listenOnTestSocket( int backlog ) {
   char tmpl[] = "/tmp/quayd-daemon-XXXXXX";
   TestSocket t{ ::mkdtemp( tmpl ), "", ::socket( AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0 ) };
   t.path = t.dir + "/d.sock";
   sockaddr_un a{};
   a.sun_family = AF_UNIX;
   t.path.copy( a.sun_path, sizeof a.sun_path - 1 );
   ::bind( t.fd, reinterpret_cast< sockaddr * >( &a ), sizeof a );
   ::listen( t.fd, backlog );
   return t;
}

// A daemon stand-in on a unix socket that holds each request for
// /v1.41/NAME (NAME may hold slashes, not the query) until the test releases NAME (or lets every
// request through), then answers as `answer` says: by default 200 with body NAME.
// Each request is recorded as "METHOD NAME".
class HeldDaemon {
 public:
   using Answer = std::function< std::pair< int, String >( String const & name ) >;
   using MethodAnswer =
      std::function< std::pair< int, String >( String const & method, String const & name ) >;
   explicit HeldDaemon( Answer answer = nullptr )
       : HeldDaemon( answer ? MethodAnswer( [ answer ]( String const &, String const & name ) {
            return answer( name );
         } )
                            : MethodAnswer() ) {}
   explicit HeldDaemon( MethodAnswer answer ) : answer_( std::move( answer ) ) {
      TestSocket t = listenOnTestSocket( 64 );
      dir_ = t.dir;
      path_ = t.path;
      fd_ = t.fd;
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
   void releaseAll() {
      std::lock_guard l( m_ );
      all_ = true;
      cv_.notify_all();
   }
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
   std::vector< String > requests() const {
      std::lock_guard l( m_ );
      return requests_;
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
      String const name = request.substr( from, request.find_first_of( " ?", from ) - from );
      String const method = request.substr( 0, request.find( ' ' ) );
      {
         std::unique_lock l( m_ );
         requests_.push_back( method + " " + name );
         held_.insert( name );
         mostHeld_ = std::max( mostHeld_, held_.size() );
         cv_.wait( l, [ & ] { return closing_ || all_ || released_.count( name ); } );
         held_.erase( name );
      }
      auto const [ status, body ] =
         answer_ ? answer_( method, name ) : std::pair< int, String >{ 200, name };
      String const out = "HTTP/1.1 " + std::to_string( status ) +
                         " X\r\nContent-Length: " + std::to_string( body.size() ) +
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

   MethodAnswer answer_;
   std::vector< String > requests_;
   String dir_, path_;
   int fd_;
   mutable std::mutex m_;
   std::condition_variable cv_;
   std::set< String > held_, released_;
   size_t mostHeld_ = 0, answered_ = 0;
   bool closing_ = false;
   bool all_ = false;
   std::thread acceptor_;
   std::vector< std::thread > answerers_;
};

} // namespace Quayd
