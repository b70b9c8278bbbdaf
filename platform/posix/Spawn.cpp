#include "platform/posix/Spawn.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "platform/BoundedOutput.h"
#include "platform/Exception.h"
#include "platform/ServiceManager.h"
#include "platform/posix/Termination.h"

namespace Quayd {

namespace {

// The environment the child gets, built before forking: nothing that
// allocates may run in the child.
std::vector< String > childEnvironment( Environment const & base,
                                        std::vector< String > const & extra ) {
   std::vector< String > env;
   for ( auto const & [ key, value ] : base ) {
      String const entry = key + "=" + value;
      String const name = key + "=";
      bool replaced = false;
      for ( auto const & x : extra ) {
         replaced = replaced || x.compare( 0, name.size(), name ) == 0;
      }
      if ( !replaced ) {
         env.push_back( entry );
      }
   }
   env.insert( env.end(), extra.begin(), extra.end() );
   return env;
}

std::vector< char * > pointers( std::vector< String > const & words ) {
   std::vector< char * > out;
   for ( auto const & w : words ) {
      out.push_back( const_cast< char * >( w.c_str() ) );
   }
   out.push_back( nullptr );
   return out;
}

void say( int fd, String const & s ) {
   ssize_t ignored = ::write( fd, s.data(), s.size() );
   (void)ignored;
}

// The first executable `name` in the directories of the environment's PATH.
std::optional< String > onPath( Environment const & environment, String const & name ) {
   auto const path = environment.find( "PATH" );
   String const dirs = path != environment.end() ? path->second : "";
   for ( size_t from = 0; from <= dirs.size(); ) {
      size_t const end = std::min( dirs.find( ':', from ), dirs.size() );
      String const candidate = dirs.substr( from, end - from ) + "/" + name;
      if ( end > from && ::access( candidate.c_str(), X_OK ) == 0 ) {
         return candidate;
      }
      from = end + 1;
   }
   return std::nullopt;
}

[[noreturn]] void becomeChild( SpawnRequest const & r, pid_t agent, char const * program,
                               char * const * argv, char * const * envp,
                               String const & cannotRun ) {
   if ( r.dieWithAgent ) {
      ::prctl( PR_SET_PDEATHSIG, SIGKILL );
      // The agent may have ended before the line above took effect.
      if ( ::getppid() != agent ) {
         ::_exit( 127 );
      }
   }
   if ( r.newSession ) {
      ::setsid();
   }
   // The agent blocks SIGTERM and SIGCHLD for its signalfd and ignores
   // SIGPIPE; a program expects neither.
   sigset_t none;
   sigemptyset( &none );
   ::sigprocmask( SIG_SETMASK, &none, nullptr );
   for ( int sig = 1; sig < NSIG; ++sig ) {
      if ( sig != SIGKILL && sig != SIGSTOP ) {
         ::signal( sig, SIG_DFL );
      }
   }
   // Handed-over descriptors go out of the way first, so that moving one
   // into place never closes another still to be moved.
   int moved[ 4 ];
   int keep = 3;
   for ( int i = 0; i < 4; ++i ) {
      moved[ i ] = r.fds[ i ] >= 0 ? ::fcntl( r.fds[ i ], F_DUPFD_CLOEXEC, 10 ) : -1;
      if ( r.fds[ i ] >= 0 && moved[ i ] < 0 ) {
         ::_exit( 127 );
      }
   }
   for ( int i = 0; i < 4; ++i ) {
      if ( moved[ i ] >= 0 ) {
         ::dup2( moved[ i ], i );
         keep = i == 3 ? 4 : keep;
      }
   }
   closeDescriptorsFrom( keep );
   if ( *program ) {
      ::execve( program, argv, envp );
   } else {
      errno = ENOENT; // not on PATH
   }
   say( 2, cannotRun + ::strerror( errno ) + "\n" );
   ::_exit( 127 );
}

int pidfdOf( pid_t pid ) { return int( ::syscall( SYS_pidfd_open, pid, 0 ) ); }

} // namespace

String Spawner::findProgram( String const & name ) const {
   return onPath( environment_, name ).value_or( "/usr/sbin/" + name );
}

void closeDescriptorsFrom( int first ) {
   if ( ::syscall( SYS_close_range, unsigned( first ), ~0U, 0U ) == 0 ) {
      return;
   }
   struct rlimit rl {};
   long const last = ::getrlimit( RLIMIT_NOFILE, &rl ) == 0 && rl.rlim_cur != RLIM_INFINITY
                        ? long( rl.rlim_cur )
                        : 65536;
   for ( long fd = first; fd < last; ++fd ) {
      ::close( int( fd ) );
   }
}

pid_t Spawner::spawnChild( SpawnRequest const & r ) const {
   if ( r.argv.empty() ) {
      errno = EINVAL;
      return -1;
   }
   std::vector< String > const env = childEnvironment( environment_, r.env );
   std::vector< char * > const argv = pointers( r.argv );
   std::vector< char * > const envp = pointers( env );
   // Looked up before forking, on the PATH the child gets; empty: not found.
   String const program = r.searchPath && r.argv[ 0 ].find( '/' ) == String::npos
                             ? onPath( environment_, r.argv[ 0 ] ).value_or( "" )
                             : r.argv[ 0 ];
   String const cannotRun = "cannot run " + r.argv[ 0 ] + ": ";
   pid_t const agent = ::getpid();
   pid_t const pid = ::fork();
   if ( pid == 0 ) {
      becomeChild( r, agent, program.c_str(), argv.data(), envp.data(), cannotRun );
   }
   return pid;
}

pid_t reapChild( pid_t pid, int & status, int flags ) {
   pid_t rc;
   while ( ( rc = ::waitpid( pid, &status, flags ) ) < 0 && errno == EINTR ) {
   }
   return rc;
}

ChildEnd Spawner::awaitChild( pid_t pid, int outFd, std::chrono::milliseconds limit,
                              String const & what ) const {
   using Clock = std::chrono::steady_clock;
   auto const deadline = Clock::now() + limit;
   TerminationFd const term;
   int const pidfd = pidfdOf( pid );
   ChildEnd end;
   BoundedOutput output;
   auto reap = [ & ]( int flags ) {
      int st = 0;
      pid_t const rc = reapChild( pid, st, flags );
      if ( rc == pid ) {
         end.status = st;
      }
      return rc == pid || rc < 0; // < 0: not ours to reap (already reaped)
   };
   auto giveUp = [ & ]( String const & why ) {
      ::kill( pid, SIGKILL );
      reap( 0 );
      if ( pidfd >= 0 ) {
         ::close( pidfd );
      }
      throw RuntimeException( what + " " + why );
   };
   bool reaped = false;
   while ( outFd >= 0 || !reaped ) {
      if ( serviceManager_ ) {
         serviceManager_->alive();
      }
      if ( terminationPending() ) {
         giveUp( "was stopped: the agent is stopping" );
      }
      auto const left =
         std::chrono::duration_cast< std::chrono::milliseconds >( deadline - Clock::now() );
      if ( left.count() <= 0 ) {
         giveUp(
            "did not end within " +
            std::to_string( std::chrono::duration_cast< std::chrono::seconds >( limit ).count() ) +
            " s and was killed" );
      }
      pollfd fds[ 3 ];
      int n = 0;
      int const outAt = outFd >= 0 ? n : -1;
      if ( outFd >= 0 ) {
         fds[ n++ ] = { outFd, POLLIN, 0 };
      }
      if ( !reaped && pidfd >= 0 ) {
         fds[ n++ ] = { pidfd, POLLIN, 0 };
      }
      if ( term.fd() >= 0 ) {
         fds[ n++ ] = { term.fd(), POLLIN, 0 };
      }
      // Without a pidfd the child's end is looked for every 100 ms.
      long const aliveMs = serviceManager_
                              ? std::chrono::duration_cast< std::chrono::milliseconds >(
                                   serviceManager_->aliveInterval() )
                                   .count()
                              : 0;
      long const capMs = pidfd < 0 && !reaped ? 100 : aliveMs > 0 ? aliveMs : 60000;
      int const waitMs = int( std::min< long >( left.count(), capMs ) );
      int const ready = ::poll( fds, nfds_t( n ), waitMs );
      if ( ready < 0 && errno != EINTR ) {
         giveUp( String( "could not be waited for: " ) + ::strerror( errno ) );
      }
      if ( outAt >= 0 && ( fds[ outAt ].revents & ( POLLIN | POLLHUP | POLLERR ) ) ) {
         char buf[ 4096 ];
         ssize_t const got = ::read( outFd, buf, sizeof buf );
         if ( got > 0 ) {
            output.append( buf, size_t( got ) );
         } else if ( got == 0 || errno != EINTR ) {
            outFd = -1;
         }
      }
      if ( !reaped ) {
         reaped = reap( WNOHANG );
         if ( reaped && outFd >= 0 ) {
            // Whoever still holds the pipe (a grandchild) is not waited for:
            // what is there now is all that is read.
            int const flags = ::fcntl( outFd, F_GETFL );
            ::fcntl( outFd, F_SETFL, flags | O_NONBLOCK );
            char buf[ 4096 ];
            ssize_t got;
            while ( ( got = ::read( outFd, buf, sizeof buf ) ) > 0 ) {
               output.append( buf, size_t( got ) );
            }
            ::fcntl( outFd, F_SETFL, flags );
            outFd = -1;
         }
      }
   }
   if ( pidfd >= 0 ) {
      ::close( pidfd );
   }
   end.output = output.text();
   return end;
}

} // namespace Quayd
