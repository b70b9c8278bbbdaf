// quayd-supervisor: keeps one program of the agent's (dockerd, the Containerz
// service) running without a service manager. The agent execs it with the
// program's command line; it enters the network namespace, detaches (a
// process in the agent's new session that is nobody's child in the agent),
// restarts the program when it dies, with a back-off, and stops it on
// SIGTERM. Its answer to the agent, "OK" or why not, goes to descriptor 3.
#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>

#include "platform/docker/DockerSupervisor.h"
#include "platform/posix/Spawn.h"

using namespace Quayd;

namespace {

constexpr char const * kUsage =
   "Usage: quayd-supervisor --name NAME --pid-file FILE --log-file FILE [--child-file FILE]\n"
   "                        [--netns PATH] [--log-max BYTES] -- PROGRAM [ARG...]\n";

// The descriptor the agent reads the answer from.
constexpr int kAnswerFd = 3;
// How often the size of the program's output is looked at.
constexpr long kLogCheckMs = 5000;
// A program that ignores SIGTERM this long is killed.
constexpr int kStopSteps = 200; // of 100 ms

struct Options {
   String name = "dockerd";
   String pidFile, logFile, childFile, netNs;
   off_t logMax = DockerSupervisorParams{}.logMaxBytes;
   std::vector< String > command;
};

void logLine( String const & msg ) {
   char buf[ 64 ];
   time_t const now = time( nullptr );
   struct tm tm;
   localtime_r( &now, &tm );
   strftime( buf, sizeof buf, "%Y-%m-%dT%H:%M:%S quayd-supervisor: ", &tm );
   String const line = buf + msg + "\n";
   ssize_t ignored = write( 2, line.data(), line.size() );
   (void)ignored;
}

void answer( String const & msg ) {
   ssize_t ignored = write( kAnswerFd, msg.data(), msg.size() );
   (void)ignored;
   close( kAnswerFd );
}

[[noreturn]] void refuse( String const & msg ) {
   answer( msg );
   fprintf( stderr, "quayd-supervisor: %s\n", msg.c_str() );
   _exit( 1 );
}

Options parse( int argc, char ** argv ) {
   Options o;
   int i = 1;
   for ( ; i < argc && String( argv[ i ] ) != "--"; ++i ) {
      String const flag = argv[ i ];
      if ( i + 1 >= argc ) {
         refuse( flag + " needs a value" );
      }
      String const value = argv[ ++i ];
      if ( flag == "--name" ) {
         o.name = value;
      } else if ( flag == "--pid-file" ) {
         o.pidFile = value;
      } else if ( flag == "--log-file" ) {
         o.logFile = value;
      } else if ( flag == "--child-file" ) {
         o.childFile = value;
      } else if ( flag == "--netns" ) {
         o.netNs = value;
      } else if ( flag == "--log-max" ) {
         char * end = nullptr;
         long long const n = strtoll( value.c_str(), &end, 10 );
         if ( *end || n <= 0 ) {
            refuse( "--log-max takes a positive number of bytes, not " + value );
         }
         o.logMax = off_t( n );
      } else {
         refuse( "unknown option " + flag );
      }
   }
   o.command.assign( argv + std::min( i + 1, argc ), argv + argc );
   if ( o.pidFile.empty() || o.logFile.empty() || o.command.empty() ) {
      refuse( String( "--pid-file, --log-file and a program are needed\n" ) + kUsage );
   }
   return o;
}

void noteChild( Options const & o, pid_t child, unsigned starts ) {
   if ( !o.childFile.empty() ) {
      std::ofstream cf( o.childFile, std::ios::trunc );
      cf << ( child > 0 ? child : 0 ) << " " << starts << "\n";
   }
}

bool reap( pid_t pid ) {
   int st;
   return pid <= 0 || waitpid( pid, &st, WNOHANG ) == pid;
}

// Waits up to `ms` for SIGTERM or SIGINT; true when one arrived.
bool waitForTerm( sigset_t const & set, long ms ) {
   struct timespec ts = { ms / 1000, ( ms % 1000 ) * 1000000 };
   for ( ;; ) {
      int const sig = sigtimedwait( &set, nullptr, &ts );
      if ( sig == SIGTERM || sig == SIGINT ) {
         return true;
      }
      if ( sig < 0 && errno == EAGAIN ) {
         return false;
      }
      // SIGCHLD or EINTR: the remaining wait is approximate, which is fine here.
   }
}

void stopChild( Options const & o, pid_t child ) {
   if ( child <= 0 || reap( child ) ) {
      return;
   }
   kill( child, SIGTERM );
   sigset_t chld;
   sigemptyset( &chld );
   sigaddset( &chld, SIGCHLD );
   for ( int i = 0; i < kStopSteps; ++i ) {
      struct timespec ts = { 0, 100000000 };
      sigtimedwait( &chld, nullptr, &ts );
      if ( reap( child ) ) {
         return;
      }
   }
   logLine( o.name + " ignored SIGTERM; killing it" );
   kill( child, SIGKILL );
   int st;
   waitpid( child, &st, 0 );
}

[[noreturn]] void stopped( Options const & o ) {
   logLine( "stopped" );
   unlink( o.pidFile.c_str() );
   _exit( 0 );
}

[[noreturn]] void supervise( Options const & o, sigset_t const & set, Spawner const & spawner ) {
   long backoffMs = 1000;
   for ( unsigned starts = 1;; ++starts ) {
      time_t const started = time( nullptr );
      // The program outlives its supervisor by design (the containers' shims
      // stay with it); it is stopped only through SIGTERM here.
      pid_t const child = spawner.spawnChild( { .argv = o.command, .dieWithAgent = false } );
      logLine( child > 0 ? o.name + " started" : "fork of " + o.name + " failed" );
      noteChild( o, child, starts );
      for ( ;; ) {
         struct timespec const check = { kLogCheckMs / 1000, ( kLogCheckMs % 1000 ) * 1000000 };
         int const sig = sigtimedwait( &set, nullptr, &check );
         if ( sig < 0 ) {
            capLogFile( o.logFile, o.logMax );
         } else if ( sig == SIGTERM || sig == SIGINT ) {
            stopChild( o, child );
            stopped( o );
         } else if ( sig == SIGCHLD && reap( child ) ) {
            break;
         }
      }
      logLine( o.name + " exited unexpectedly; restarting" );
      noteChild( o, 0, starts );
      // A program that ran for a while earns a fresh back-off.
      if ( time( nullptr ) - started > 60 ) {
         backoffMs = 1000;
      }
      if ( waitForTerm( set, backoffMs ) ) {
         stopped( o );
      }
      backoffMs = std::min( backoffMs * 2, 30000L );
   }
}

} // namespace

int main( int argc, char ** argv ) {
   if ( argc == 2 && String( argv[ 1 ] ) == "--help" ) {
      printf( "%s"
              "Runs PROGRAM, in the network namespace PATH when given, detached in a session of\n"
              "its own; starts it again when it dies, stops it on SIGTERM (SIGKILL 20 s later)\n"
              "and ends. Its pid goes to --pid-file, PROGRAM's pid and number of starts to\n"
              "--child-file; PROGRAM's output is appended to --log-file, which is emptied into\n"
              "FILE.1 past --log-max bytes. Started by quayd, which reads its answer on\n"
              "descriptor 3.\n",
              kUsage );
      return 0;
   }
   Options const o = parse( argc, argv );
   int const in = open( "/dev/null", O_RDONLY | O_CLOEXEC );
   int const out = open( o.logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600 );
   if ( in < 0 || out < 0 ) {
      refuse( "cannot open " + o.logFile + ": " + strerror( errno ) );
   }
   dup2( in, 0 );
   dup2( out, 1 );
   dup2( out, 2 );
   if ( !o.netNs.empty() ) {
      int const ns = open( o.netNs.c_str(), O_RDONLY | O_CLOEXEC );
      if ( ns < 0 || setns( ns, CLONE_NEWNET ) != 0 ) {
         refuse( "cannot enter network namespace " + o.netNs + ": " + strerror( errno ) );
      }
      close( ns );
   }
   // Blocked before the fork: a SIGTERM sent as soon as the pid file names
   // the supervisor is waited for, never the default death.
   sigset_t set;
   sigemptyset( &set );
   sigaddset( &set, SIGTERM );
   sigaddset( &set, SIGINT );
   sigaddset( &set, SIGCHLD );
   sigprocmask( SIG_BLOCK, &set, nullptr );
   signal( SIGHUP, SIG_IGN );
   pid_t const sup = fork();
   if ( sup < 0 ) {
      refuse( String( "fork: " ) + strerror( errno ) );
   }
   if ( sup == 0 ) {
      close( kAnswerFd );
      // The program gets the supervisor's environment, as the agent gave it.
      supervise( o, set, Spawner( environmentOf( environ ) ) );
   }
   {
      std::ofstream pf( o.pidFile, std::ios::trunc );
      pf << sup << "\n";
      if ( !pf.flush() ) {
         kill( sup, SIGTERM ); // stops the program it may have started
         refuse( "cannot write " + o.pidFile );
      }
   }
   answer( "OK" );
   return 0;
}
