#include "platform/docker/Subprocess.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/Exception.h"
#include "platform/posix/Spawn.h"

namespace Quayd {

ProgramResult runProgram( Spawner const & spawner, std::vector< String > const & words,
                          std::vector< String > const & extraEnv, bool withStdout,
                          std::chrono::milliseconds limit ) {
   int fds[ 2 ];
   if ( words.empty() || pipe2( fds, O_CLOEXEC ) != 0 ) {
      throw RuntimeException( String( "pipe: " ) + strerror( errno ) );
   }
   int const devnull = open( "/dev/null", O_RDWR | O_CLOEXEC );
   // A client outliving a killed agent would go on creating what the next
   // agent no longer expects.
   pid_t const pid =
      spawner.spawnChild( { .argv = words,
                            .fds = { devnull, withStdout ? fds[ 1 ] : devnull, fds[ 1 ], -1 },
                            .env = extraEnv } );
   int const err = errno;
   close( fds[ 1 ] );
   if ( devnull >= 0 ) {
      close( devnull );
   }
   if ( pid < 0 ) {
      close( fds[ 0 ] );
      throw RuntimeException( String( "fork: " ) + strerror( err ) );
   }
   ChildEnd end;
   try {
      end = spawner.awaitChild( pid, fds[ 0 ], limit, words[ 0 ] );
   } catch ( ... ) {
      close( fds[ 0 ] );
      throw;
   }
   close( fds[ 0 ] );
   ProgramResult r;
   r.output = std::move( end.output );
   while ( !r.output.empty() && ( r.output.back() == '\n' || r.output.back() == '\r' ) ) {
      r.output.pop_back();
   }
   r.status = WIFEXITED( end.status ) ? WEXITSTATUS( end.status ) : 128 + WTERMSIG( end.status );
   return r;
}

} // namespace Quayd
