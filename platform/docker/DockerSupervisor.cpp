#include "platform/docker/DockerSupervisor.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

#include "platform/Exception.h"
#include "platform/posix/Spawn.h"

namespace Quayd {

namespace {

constexpr char const * kProgram = "quayd-supervisor";
// The supervisor answers once it has entered the namespace and forked.
constexpr auto kAnswerLimit = std::chrono::seconds( 10 );

void logLine( char const * msg ) {
   char buf[ 64 ];
   time_t now = time( nullptr );
   struct tm tm;
   localtime_r( &now, &tm );
   strftime( buf, sizeof buf, "%Y-%m-%dT%H:%M:%S quayd-supervisor: ", &tm );
   ssize_t ignored = write( 2, buf, strlen( buf ) );
   ignored = write( 2, msg, strlen( msg ) );
   ignored = write( 2, "\n", 1 );
   (void)ignored;
}

std::vector< String > supervisorCommand( Spawner const & spawner,
                                         DockerSupervisorParams const & p ) {
   std::vector< String > argv{ spawner.findProgram( kProgram ),
                               "--name",
                               p.name,
                               "--pid-file",
                               p.pidFile,
                               "--log-file",
                               p.logFile,
                               "--log-max",
                               std::to_string( p.logMaxBytes ) };
   if ( !p.childFile.empty() ) {
      argv.insert( argv.end(), { "--child-file", p.childFile } );
   }
   if ( !p.netNsPath.empty() ) {
      argv.insert( argv.end(), { "--netns", p.netNsPath } );
   }
   argv.push_back( "--" );
   if ( p.command.empty() ) {
      argv.insert( argv.end(), { p.dockerd, "--config-file", p.configFile } );
   } else {
      argv.insert( argv.end(), p.command.begin(), p.command.end() );
   }
   return argv;
}

} // namespace

void capLogFile( String const & path, off_t maxBytes ) {
   int const fd = open( path.c_str(), O_RDWR | O_CLOEXEC );
   if ( fd < 0 ) {
      return;
   }
   struct stat st {};
   if ( fstat( fd, &st ) != 0 || st.st_size <= maxBytes ) {
      close( fd );
      return;
   }
   // The writers hold the file open for appending: it is kept and emptied,
   // the older lines going to one ".1" beside it.
   String const older = path + ".1";
   int const out = open( older.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600 );
   if ( out >= 0 ) {
      char buf[ 65536 ];
      off_t at = 0;
      ssize_t n;
      while ( ( n = pread( fd, buf, sizeof buf, at ) ) > 0 &&
              write( out, buf, size_t( n ) ) == n ) {
         at += n;
      }
      close( out );
   }
   if ( ftruncate( fd, 0 ) != 0 ) {
      logLine( "cannot empty the dockerd log" );
   }
   close( fd );
}

bool processAlive( pid_t pid ) {
   if ( pid <= 0 ) {
      return false;
   }
   std::ifstream stat( "/proc/" + std::to_string( pid ) + "/stat" );
   String line;
   if ( !std::getline( stat, line ) ) {
      return false;
   }
   auto close = line.rfind( ')' );
   if ( close == String::npos || close + 2 >= line.size() ) {
      return false;
   }
   char state = line[ close + 2 ];
   return state != 'Z' && state != 'X';
}

pid_t livePidFromFile( String const & pidFile ) {
   std::ifstream in( pidFile );
   long pid = 0;
   if ( !( in >> pid ) ) {
      return 0;
   }
   return processAlive( static_cast< pid_t >( pid ) ) ? static_cast< pid_t >( pid ) : 0;
}

pid_t startDockerSupervisor( Spawner const & spawner, DockerSupervisorParams const & p ) {
   int fds[ 2 ];
   if ( pipe2( fds, O_CLOEXEC ) != 0 ) {
      throw RuntimeException( String( "pipe: " ) + strerror( errno ) );
   }
   // Exec'd, never a fork of the agent: the supervisor outlives the agent
   // and must hold nothing of its memory.
   pid_t const pid = spawner.spawnChild( { .argv = supervisorCommand( spawner, p ),
                                           .fds = { -1, -1, -1, fds[ 1 ] },
                                           .dieWithAgent = false,
                                           .newSession = true } );
   int const spawnErrno = errno;
   close( fds[ 1 ] );
   if ( pid < 0 ) {
      close( fds[ 0 ] );
      throw RuntimeException( p.name +
                              " supervisor did not start: fork: " + strerror( spawnErrno ) );
   }
   ChildEnd end;
   try {
      end = spawner.awaitChild( pid, fds[ 0 ], kAnswerLimit, p.name + " supervisor" );
   } catch ( RuntimeException const & ) {
      close( fds[ 0 ] );
      throw;
   }
   close( fds[ 0 ] );
   if ( end.output != "OK" ) {
      String const why = !end.output.empty() ? end.output
                         : WIFEXITED( end.status ) && WEXITSTATUS( end.status ) == 127
                            ? kProgram + String( " cannot be run (is it installed?)" )
                            : "no answer";
      throw RuntimeException( p.name + " supervisor did not start: " + why );
   }
   pid_t const sup = livePidFromFile( p.pidFile );
   if ( sup == 0 ) {
      throw RuntimeException( p.name + " supervisor exited at once" );
   }
   return sup;
}

} // namespace Quayd
