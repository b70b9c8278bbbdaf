#include "platform/docker/DaemonEvents.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Quayd {

DaemonEvents::DaemonEvents( EventLoop & loop, std::function< String() > socketPath, String query,
                            ContainerEventHandler onEvent, Sinks sinks )
    : loop_( loop ), socketPath_( std::move( socketPath ) ), query_( std::move( query ) ),
      onEvent_( std::move( onEvent ) ), trace_( sinks.trace, "DaemonEvents" ) {
   reconnectTask_ = makePtr< TimerTask >( loop_.scheduler(), TaskPriority( 3 ),
                                          "DaemonEventsConnect", [ this ] { connect(); } );
   // From the loop, never from within the caller's own work.
   reconnectTask_->scheduleTaskDelay( Duration( 0 ) );
}

DaemonEvents::~DaemonEvents() {
   reconnectTask_->stopTimerTask();
   close();
}

void DaemonEvents::close() {
   if ( fd_ >= 0 ) {
      loop_.fdDel( fd_ );
      ::close( fd_ );
      fd_ = -1;
   }
   parser_.reset();
}

void DaemonEvents::retry( String const & why ) {
   QTRACE( trace_, 3, "events stream: {}; connecting again in {} ms", why,
           std::chrono::duration_cast< std::chrono::milliseconds >( kReconnectDelay ).count() );
   close();
   reconnectTask_->scheduleTaskDelay( kReconnectDelay );
}

void DaemonEvents::connect() {
   close();
   String const path = socketPath_();
   sockaddr_un addr{};
   if ( path.size() >= sizeof addr.sun_path ) {
      retry( "socket path too long: " + path );
      return;
   }
   addr.sun_family = AF_UNIX;
   std::memcpy( addr.sun_path, path.c_str(), path.size() + 1 );
   fd_ = ::socket( AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0 );
   if ( fd_ < 0 ) {
      retry( String( "socket: " ) + std::strerror( errno ) );
      return;
   }
   // A unix socket connects at once or not at all; it never blocks.
   if ( ::connect( fd_, reinterpret_cast< sockaddr const * >( &addr ), sizeof addr ) != 0 ) {
      retry( "connect " + path + ": " + std::strerror( errno ) );
      return;
   }
   String const request =
      "GET " + query_ + " HTTP/1.1\r\nHost: localhost\r\nUser-Agent: quayd\r\n\r\n";
   // Far below a socket buffer: sent whole on a fresh connection, or not at all.
   ssize_t const sent = ::send( fd_, request.data(), request.size(), MSG_NOSIGNAL );
   if ( sent != ssize_t( request.size() ) ) {
      retry( "send to " + path + ": " + ( sent < 0 ? std::strerror( errno ) : "short write" ) );
      return;
   }
   loop_.fdIs( fd_, [ this ] { handleReadable(); } );
   QTRACE( trace_, 5, "events stream: asked {}", path );
}

void DaemonEvents::handleReadable() {
   char buf[ 4096 ];
   for ( ;; ) {
      ssize_t const n = ::recv( fd_, buf, sizeof buf, 0 );
      if ( n == 0 ) {
         retry( "the daemon closed it" );
         return;
      }
      if ( n < 0 ) {
         if ( errno == EINTR ) {
            continue;
         }
         if ( errno != EAGAIN && errno != EWOULDBLOCK ) {
            retry( String( "recv: " ) + std::strerror( errno ) );
         }
         return;
      }
      bool const wasStarted = parser_.started();
      std::vector< String > const lines = parser_.feed( std::string_view( buf, size_t( n ) ) );
      if ( !wasStarted && parser_.started() ) {
         QTRACE( trace_, 3, "events stream: started" );
         onEvent_( ContainerEvent{ "", "" } );
      }
      for ( auto const & line : lines ) {
         if ( auto e = containerEventOf( line ) ) {
            QTRACE( trace_, 7, "container {}: {}", e->name, e->action );
            onEvent_( *e );
         } else {
            QTRACE( trace_, 5, "events stream: skipped '{}'", line.substr( 0, 200 ) );
         }
      }
      if ( parser_.failed() ) {
         retry( parser_.error() );
         return;
      }
      if ( parser_.ended() ) {
         retry( "the stream ended" );
         return;
      }
   }
}

} // namespace Quayd
