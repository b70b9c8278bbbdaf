#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <cstring>
#include <iostream>

#include "platform/posix/Credentials.h"
#include "tools/quyctl/Quyctl.h"

using namespace Quayd;

namespace {
int execute( std::vector< String > const & argv ) {
   pid_t const pid = fork();
   if ( pid == 0 ) {
      ::signal( SIGPIPE, SIG_DFL );
      std::vector< char * > args;
      for ( auto const & a : argv ) {
         args.push_back( const_cast< char * >( a.c_str() ) );
      }
      args.push_back( nullptr );
      execvp( args[ 0 ], args.data() );
      std::cerr << "quyctl: cannot run " << argv[ 0 ] << ": " << strerror( errno ) << "\n";
      _exit( 127 );
   }
   int status = 0;
   if ( pid < 0 || waitpid( pid, &status, 0 ) != pid ) {
      return -1;
   }
   return WIFEXITED( status ) ? WEXITSTATUS( status ) : -1;
}
} // namespace

int main( int argc, char ** argv ) {
   // A state database that goes away between two commands of an edit is
   // an error to report, not a signal that ends quyctl without a word.
   ::signal( SIGPIPE, SIG_IGN );
   std::vector< String > args( argv + 1, argv + argc );
   CredentialStore credentials;
   return Quyctl::run(
      args,
      []( std::optional< String > const & address ) {
         return std::make_unique< Redis::Connection >( Redis::Address::parse(
            address.value_or( Redis::defaultAddress( std::getenv( "QUAYD_REDIS" ) ) ) ) );
      },
      std::cout, std::cerr, std::cin, execute, std::chrono::system_clock::now(), &credentials );
}
