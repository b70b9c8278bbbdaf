#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <iostream>

#include "platform/posix/Credentials.h"
#include "platform/posix/Spawn.h"
#include "tools/quyctl/Quyctl.h"

using namespace Quayd;

namespace {
// A program run in the foreground (`docker logs --follow`) for as long as
// it runs: its exit status, or -1 when it could not run or was killed.
int execute( Spawner const & spawner, std::vector< String > const & argv ) {
   SpawnRequest r{ argv };
   r.searchPath = true;
   pid_t const pid = spawner.spawnChild( r );
   int status = 0;
   return pid > 0 && reapChild( pid, status ) == pid && WIFEXITED( status ) ? WEXITSTATUS( status )
                                                                            : -1;
}
} // namespace

int main( int argc, char ** argv ) {
   // A state database that goes away between two commands of an edit is
   // an error to report, not a signal that ends quyctl without a word.
   ::signal( SIGPIPE, SIG_IGN );
   std::vector< String > args( argv + 1, argv + argc );
   CredentialStore credentials;
   Spawner const spawner( environmentOf( environ ) );
   return Quyctl::run(
      args,
      []( std::optional< String > const & address ) {
         return std::make_unique< Redis::Connection >( Redis::Address::parse(
            address.value_or( Redis::defaultAddress( std::getenv( "QUAYD_REDIS" ) ) ) ) );
      },
      std::cout, std::cerr, std::cin,
      [ &spawner ]( std::vector< String > const & argv ) { return execute( spawner, argv ); },
      std::chrono::system_clock::now(), &credentials );
}
