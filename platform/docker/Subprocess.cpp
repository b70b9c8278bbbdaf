#include "platform/docker/Subprocess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/Exception.h"

namespace Quayd {

ProgramResult runProgram( std::vector< String > const & words,
                          std::vector< String > const & extraEnv, bool withStdout ) {
   std::vector< char * > argv;
   for ( auto const & w : words ) {
      argv.push_back( const_cast< char * >( w.c_str() ) );
   }
   argv.push_back( nullptr );
   int fds[ 2 ];
   if ( pipe2( fds, O_CLOEXEC ) != 0 ) {
      throw RuntimeException( String( "pipe: " ) + strerror( errno ) );
   }
   pid_t pid = fork();
   if ( pid < 0 ) {
      close( fds[ 0 ] );
      close( fds[ 1 ] );
      throw RuntimeException( String( "fork: " ) + strerror( errno ) );
   }
   if ( pid == 0 ) {
      // A client outliving a killed agent would go on creating what the
      // next agent no longer expects.
      prctl( PR_SET_PDEATHSIG, SIGKILL );
      // The agent blocks SIGTERM and SIGCHLD for its signalfd; the program
      // gets the default mask.
      sigset_t none;
      sigemptyset( &none );
      sigprocmask( SIG_SETMASK, &none, nullptr );
      int devnull = open( "/dev/null", O_RDWR );
      dup2( devnull, 0 );
      dup2( withStdout ? fds[ 1 ] : devnull, 1 );
      dup2( fds[ 1 ], 2 );
      for ( auto const & e : extraEnv ) {
         putenv( const_cast< char * >( e.c_str() ) );
      }
      execv( argv[ 0 ], argv.data() );
      dprintf( 2, "cannot run %s: %s", argv[ 0 ], strerror( errno ) );
      _exit( 127 );
   }
   close( fds[ 1 ] );
   ProgramResult r;
   char buf[ 512 ];
   ssize_t n;
   while ( ( n = read( fds[ 0 ], buf, sizeof buf ) ) > 0 || ( n < 0 && errno == EINTR ) ) {
      if ( n > 0 ) {
         r.output.append( buf, static_cast< size_t >( n ) );
      }
   }
   close( fds[ 0 ] );
   int st = 0;
   while ( waitpid( pid, &st, 0 ) < 0 && errno == EINTR ) {
   }
   while ( !r.output.empty() && ( r.output.back() == '\n' || r.output.back() == '\r' ) ) {
      r.output.pop_back();
   }
   r.status = WIFEXITED( st ) ? WEXITSTATUS( st ) : 128 + WTERMSIG( st );
   return r;
}

} // namespace Quayd
