#include "platform/docker/DockerSupervisor.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>

#include "platform/Exception.h"
#include "platform/posix/Spawn.h"

namespace Quayd {

namespace {

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

pid_t spawnDockerd( std::vector< String > const & argv ) {
   // dockerd outlives the agent by design, and its supervisor too.
   return spawnChild( { .argv = argv, .dieWithAgent = false } );
}

// Waits up to `ms` for SIGTERM; true when it arrived.
bool waitForTerm( sigset_t const & set, long ms ) {
   struct timespec ts = { ms / 1000, ( ms % 1000 ) * 1000000 };
   for ( ;; ) {
      int sig = sigtimedwait( &set, nullptr, &ts );
      if ( sig == SIGTERM || sig == SIGINT ) {
         return true;
      }
      if ( sig < 0 && errno == EAGAIN ) {
         return false;
      }
      // SIGCHLD or EINTR: the remaining wait is approximate, which is fine here.
   }
}

bool reap( pid_t pid ) {
   int st;
   return pid <= 0 || waitpid( pid, &st, WNOHANG ) == pid;
}

// How often the supervisor looks at the size of dockerd's output.
constexpr long kLogCheckMs = 5000;

[[noreturn]] void supervise( std::vector< String > const & argv,
                             DockerSupervisorParams const & p ) {
   String const & pidFile = p.pidFile;
   sigset_t set;
   sigemptyset( &set );
   sigaddset( &set, SIGTERM );
   sigaddset( &set, SIGINT );
   sigaddset( &set, SIGCHLD );
   sigprocmask( SIG_BLOCK, &set, nullptr );
   signal( SIGHUP, SIG_IGN );

   String const startedMsg = p.name + " started", failedMsg = "fork of " + p.name + " failed";
   String const ignoredMsg = p.name + " ignored SIGTERM; killing it";
   String const exitedMsg = p.name + " exited unexpectedly; restarting";
   long backoffMs = 1000;
   for ( unsigned starts = 1;; ++starts ) {
      time_t started = time( nullptr );
      pid_t child = spawnDockerd( argv );
      logLine( child > 0 ? startedMsg.c_str() : failedMsg.c_str() );
      if ( !p.childFile.empty() ) {
         std::ofstream cf( p.childFile, std::ios::trunc );
         cf << ( child > 0 ? child : 0 ) << " " << starts << "\n";
      }
      bool term = false;
      for ( ;; ) {
         struct timespec const check = { kLogCheckMs / 1000, ( kLogCheckMs % 1000 ) * 1000000 };
         int sig = sigtimedwait( &set, nullptr, &check );
         if ( sig < 0 ) {
            capLogFile( p.logFile, p.logMaxBytes );
            continue;
         }
         if ( sig == SIGTERM || sig == SIGINT ) {
            term = true;
            break;
         }
         if ( sig == SIGCHLD && reap( child ) ) {
            break;
         }
      }
      if ( term ) {
         if ( child > 0 && !reap( child ) ) {
            kill( child, SIGTERM );
            bool gone = false;
            for ( int i = 0; i < 200 && !gone; ++i ) { // 20 s in 100 ms steps
               struct timespec ts = { 0, 100000000 };
               sigset_t chld;
               sigemptyset( &chld );
               sigaddset( &chld, SIGCHLD );
               sigtimedwait( &chld, nullptr, &ts );
               gone = reap( child );
            }
            if ( !gone ) {
               logLine( ignoredMsg.c_str() );
               kill( child, SIGKILL );
               int st;
               waitpid( child, &st, 0 );
            }
         }
         logLine( "stopped" );
         unlink( pidFile.c_str() );
         _exit( 0 );
      }
      logLine( exitedMsg.c_str() );
      if ( !p.childFile.empty() ) {
         std::ofstream cf( p.childFile, std::ios::trunc );
         cf << 0 << " " << starts << "\n";
      }
      // A daemon that ran for a while earns a fresh back-off.
      if ( time( nullptr ) - started > 60 ) {
         backoffMs = 1000;
      }
      if ( waitForTerm( set, backoffMs ) ) {
         logLine( "stopped" );
         unlink( pidFile.c_str() );
         _exit( 0 );
      }
      backoffMs = std::min( backoffMs * 2, 30000L );
   }
}

void report( int fd, String const & msg ) {
   ssize_t ignored = write( fd, msg.data(), msg.size() );
   (void)ignored;
   close( fd );
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

pid_t startDockerSupervisor( DockerSupervisorParams const & p ) {
   // Everything the children need is prepared before forking.
   std::vector< String > const argv =
      p.command.empty() ? std::vector< String >{ p.dockerd, "--config-file", p.configFile }
                        : p.command;

   int fds[ 2 ];
   if ( pipe2( fds, O_CLOEXEC ) != 0 ) {
      throw RuntimeException( String( "pipe: " ) + strerror( errno ) );
   }
   pid_t mid = fork();
   if ( mid < 0 ) {
      throw RuntimeException( String( "fork: " ) + strerror( errno ) );
   }
   if ( mid == 0 ) {
      close( fds[ 0 ] );
      setsid();
      // A second fork so the supervisor is nobody's child in the agent.
      pid_t sup = fork();
      if ( sup != 0 ) {
         _exit( sup < 0 ? 1 : 0 );
      }
      int in = open( "/dev/null", O_RDONLY );
      int out = open( p.logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600 );
      if ( in < 0 || out < 0 ) {
         report( fds[ 1 ], "cannot open " + p.logFile + ": " + strerror( errno ) );
         _exit( 1 );
      }
      dup2( in, 0 );
      dup2( out, 1 );
      dup2( out, 2 );
      // Nothing of the agent's stays open in a process that outlives it.
      int const keep = 3;
      dup2( fds[ 1 ], keep );
      closeDescriptorsFrom( keep + 1 );
      if ( !p.netNsPath.empty() ) {
         int ns = open( p.netNsPath.c_str(), O_RDONLY | O_CLOEXEC );
         if ( ns < 0 || setns( ns, CLONE_NEWNET ) != 0 ) {
            report( keep,
                    "cannot enter network namespace " + p.netNsPath + ": " + strerror( errno ) );
            _exit( 1 );
         }
         close( ns );
      }
      {
         std::ofstream pf( p.pidFile, std::ios::trunc );
         pf << getpid() << "\n";
         if ( !pf.flush() ) {
            report( keep, "cannot write " + p.pidFile );
            _exit( 1 );
         }
      }
      report( keep, "OK" );
      supervise( argv, p );
   }
   close( fds[ 1 ] );
   int st;
   waitpid( mid, &st, 0 );
   String msg;
   char buf[ 256 ];
   ssize_t n;
   while ( ( n = read( fds[ 0 ], buf, sizeof buf ) ) > 0 ) {
      msg.append( buf, static_cast< size_t >( n ) );
   }
   close( fds[ 0 ] );
   if ( msg != "OK" ) {
      throw RuntimeException(
         p.name + " supervisor did not start: " + ( msg.empty() ? String( "no answer" ) : msg ) );
   }
   pid_t pid = livePidFromFile( p.pidFile );
   if ( pid == 0 ) {
      throw RuntimeException( p.name + " supervisor exited at once" );
   }
   return pid;
}

} // namespace Quayd
