#include "platform/docker/ContainerzServerControl.h"

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "platform/Exception.h"
#include "platform/docker/DockerSupervisor.h"
#include "platform/posix/Files.h"
#include "platform/posix/Spawn.h"

namespace Quayd {

namespace {
// A server stops within gRPC's grace for open calls; this is well beyond.
constexpr auto kStopLimit = std::chrono::seconds( 20 );
constexpr auto kStopPoll = std::chrono::milliseconds( 50 );
constexpr char const * kProgram = "quayd-containerz";
} // namespace

ContainerzServerControl::ContainerzServerControl( Spawner const & spawner, String runtimeDir,
                                                  std::function< String() > daemonSocket,
                                                  String const & program )
    : spawner_( spawner ), runtimeDir_( std::move( runtimeDir ) ),
      daemonSocket_( std::move( daemonSocket ) ),
      program_( program.empty() ? spawner.findProgram( kProgram ) : program ) {}

std::vector< String > ContainerzServerControl::command( ContainerzServerParams const & p ) const {
   std::vector< String > argv = {
      program_,     "--docker-socket", daemonSocket_(),         "--staging-dir",
      p.stagingDir, "--port",          std::to_string( p.port )
   };
   for ( auto const & [ flag, value ] :
         { std::pair< char const *, String const & >{ "--address", p.address },
           { "--tls-cert", p.tlsCert },
           { "--tls-key", p.tlsKey },
           { "--tls-ca", p.tlsCa },
           { "--authz-policy", p.authzPolicy },
           { "--privilege-policy", p.privilegePolicy } } ) {
      if ( !value.empty() ) {
         argv.insert( argv.end(), { flag, value } );
      }
   }
   return argv;
}

void ContainerzServerControl::start( ContainerzServerParams const & params ) {
   if ( access( program_.c_str(), X_OK ) != 0 ) {
      throw RuntimeException( program_ + " is not installed" );
   }
   std::vector< String > const argv = command( params );
   String text = params.netNsPath + "\n";
   for ( auto const & w : argv ) {
      text += w + "\n";
   }
   if ( livePidFromFile( file( "supervisor.pid" ) ) ) {
      std::ifstream in( file( "server.args" ) );
      String const was( ( std::istreambuf_iterator< char >( in ) ), {} );
      if ( was == text ) {
         return;
      }
      stop();
   }
   makeDir( runtimeDir_, 0700 );
   writeFileAtomically( file( "server.args" ), text, 0600 );
   startDockerSupervisor( spawner_, { .netNsPath = params.netNsPath,
                                      .logFile = file( "server.log" ),
                                      .pidFile = file( "supervisor.pid" ),
                                      .command = argv,
                                      .name = "quayd-containerz",
                                      .childFile = file( "server.pid" ) } );
}

void ContainerzServerControl::stop() {
   pid_t const sup = livePidFromFile( file( "supervisor.pid" ) );
   if ( sup && kill( sup, SIGTERM ) == 0 ) {
      auto const end = std::chrono::steady_clock::now() + kStopLimit;
      while ( processAlive( sup ) ) {
         if ( std::chrono::steady_clock::now() > end ) {
            throw RuntimeException( "the quayd-containerz supervisor " + std::to_string( sup ) +
                                    " did not stop" );
         }
         std::this_thread::sleep_for( kStopPoll );
      }
   }
   std::remove( file( "server.pid" ).c_str() );
}

ContainerzServerState ContainerzServerControl::state() {
   ContainerzServerState s;
   s.supervised = livePidFromFile( file( "supervisor.pid" ) ) != 0;
   std::ifstream in( file( "server.pid" ) );
   long pid = 0;
   unsigned starts = 0;
   if ( s.supervised && in >> pid >> starts ) {
      s.pid = processAlive( static_cast< pid_t >( pid ) ) ? static_cast< pid_t >( pid ) : 0;
      s.restarts = starts > 0 ? starts - 1 : 0;
   }
   return s;
}

} // namespace Quayd
