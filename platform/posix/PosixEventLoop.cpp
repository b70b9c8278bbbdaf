#include "platform/posix/PosixEventLoop.h"

#include <signal.h>
#include <sys/epoll.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <stdexcept>

#include "platform/Exception.h"

namespace Quayd {

PosixEventLoop::PosixEventLoop( ServiceManager * manager )
    : scheduler_( new TaskScheduler( clock_ ) ), manager_( manager ),
      epfd_( ::epoll_create1( EPOLL_CLOEXEC ) ) {
   if ( epfd_ < 0 ) {
      throw std::runtime_error( "epoll_create1 failed" );
   }
   // A peer that went away (the state database, a daemon socket) is an error
   // returned by write, handled where it happens, not a signal that ends us.
   ::signal( SIGPIPE, SIG_IGN );
}

PosixEventLoop::~PosixEventLoop() {
   if ( sigfd_ >= 0 ) {
      ::close( sigfd_ );
   }
   ::close( epfd_ );
}

void PosixEventLoop::fdWatch( int fd, bool read, bool write,
                              std::function< void( bool, bool ) > onReady ) {
   bool const fresh = !fds_.count( fd );
   fds_[ fd ] = std::make_shared< std::function< void( bool, bool ) > >( std::move( onReady ) );
   epoll_event ev{};
   ev.events = ( read ? EPOLLIN : 0u ) | ( write ? EPOLLOUT : 0u );
   ev.data.fd = fd;
   ::epoll_ctl( epfd_, fresh ? EPOLL_CTL_ADD : EPOLL_CTL_MOD, fd, &ev );
}

void PosixEventLoop::fdDel( int fd ) {
   if ( fds_.erase( fd ) ) {
      ::epoll_ctl( epfd_, EPOLL_CTL_DEL, fd, nullptr );
   }
}

void PosixEventLoop::stopOnSignals() {
   sigset_t set;
   sigemptyset( &set );
   sigaddset( &set, SIGTERM );
   sigaddset( &set, SIGINT );
   ::sigprocmask( SIG_BLOCK, &set, nullptr );
   sigfd_ = ::signalfd( -1, &set, SFD_CLOEXEC | SFD_NONBLOCK );
   fdIs( sigfd_, [ this ] {
      signalfd_siginfo info;
      while ( ::read( sigfd_, &info, sizeof info ) == sizeof info ) {
         stopped_ = true;
      }
   } );
}

namespace {
// A handler's failure is reported and the loop goes on; a broken invariant
// ends the process, so the host restarts it into crash recovery.
template < typename F >
void guarded( F && f ) {
   try {
      f();
   } catch ( AssertionFailure const & e ) {
      std::fprintf( stderr, "quayd: assertion failed: %s\n", e.what() );
      std::abort();
   } catch ( std::exception const & e ) {
      std::fprintf( stderr, "quayd: unhandled error in event handler: %s\n", e.what() );
   }
}
} // namespace

void PosixEventLoop::turn( Duration maxWait ) {
   Duration wait = maxWait;
   if ( manager_ ) {
      manager_->alive();
      if ( manager_->aliveInterval() > Duration( 0 ) ) {
         wait = std::min( wait, manager_->aliveInterval() );
      }
   }
   guarded( [ & ] { scheduler_->fireDueTimers(); } );
   guarded( [ & ] { scheduler_->runReadyTasks(); } );
   if ( scheduler_->hasReadyTasks() ) {
      wait = Duration( 0 );
   } else if ( auto next = scheduler_->nextDeadline() ) {
      wait = std::min( wait, std::max( Duration( 0 ), *next - clock_.now() ) );
   }
   auto const ms = std::chrono::duration_cast< std::chrono::milliseconds >(
      wait + std::chrono::microseconds( 999 ) );
   epoll_event events[ 32 ];
   int n = ::epoll_wait( epfd_, events, 32, int( std::min< int64_t >( ms.count(), 60000 ) ) );
   // Once told to stop, nothing more runs: a handler would find SIGTERM read
   // already and wait out the limit of a call that hangs.
   for ( int i = 0; i < n && !stopped_; ++i ) {
      auto it = fds_.find( events[ i ].data.fd );
      if ( it == fds_.end() ) {
         continue; // removed by an earlier handler of this turn
      }
      auto handler = it->second;
      uint32_t const e = events[ i ].events;
      bool const broken = e & ( EPOLLHUP | EPOLLERR );
      guarded( [ & ] { ( *handler )( broken || ( e & EPOLLIN ), broken || ( e & EPOLLOUT ) ); } );
   }
}

void PosixEventLoop::run() {
   stopped_ = false;
   while ( !stopped_ ) {
      turn( std::chrono::seconds( 60 ) );
   }
}

bool PosixEventLoop::runUntil( std::function< bool() > done, Duration timeout ) {
   TimePoint const end = clock_.now() + timeout;
   while ( !done() ) {
      TimePoint const now = clock_.now();
      if ( now >= end ) {
         return false;
      }
      turn( std::min< Duration >( end - now, std::chrono::milliseconds( 50 ) ) );
   }
   return true;
}

} // namespace Quayd
