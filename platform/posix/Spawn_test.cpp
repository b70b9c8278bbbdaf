#include "platform/posix/Spawn.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <set>
#include <sstream>
#include <thread>

#include "platform/BoundedOutput.h"
#include "platform/Exception.h"
#include "platform/ServiceManager.h"
#include "platform/posix/Termination.h"
#include "platform/testing/SigtermBlocked.h"

namespace Quayd {
namespace {

using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

// What a program's main would hand down: its environment, no service manager.
Spawner const kSpawner( { { "PATH", "/usr/bin:/bin" }, { "QUAYD_SPAWN_TEST", "agent" } } );

// Runs `script` under sh with its standard output on a pipe handed over as
// descriptor 1 (and `extra` as 3 when given); what it printed.
String outputOf( String const & script, SpawnRequest r = {} ) {
   int out[ 2 ];
   EXPECT_EQ( ::pipe2( out, O_CLOEXEC ), 0 );
   r.argv = { "/bin/sh", "-c", script };
   r.fds[ 1 ] = out[ 1 ];
   pid_t const pid = kSpawner.spawnChild( r );
   ::close( out[ 1 ] );
   EXPECT_GT( pid, 0 );
   ChildEnd const end = kSpawner.awaitChild( pid, out[ 0 ], 10s, "sh" );
   ::close( out[ 0 ] );
   EXPECT_TRUE( WIFEXITED( end.status ) );
   return end.output;
}

// The descriptors a shell holds, one per line.
constexpr char const * kListFds = "ls /proc/$$/fd";

SpawnRequest request( std::vector< String > argv ) {
   SpawnRequest r;
   r.argv = std::move( argv );
   return r;
}

std::set< String > lines( String const & text ) {
   std::set< String > out;
   std::istringstream in( text );
   for ( String l; std::getline( in, l ); ) {
      out.insert( l );
   }
   return out;
}

TEST( Spawn, TheChildHoldsOnlyItsStandardDescriptorsAndWhatIsHandedOver ) {
   // Opened the careless way: without close-on-exec.
   int const leaked = ::open( "/dev/null", O_RDONLY );
   int const handed = ::open( "/dev/zero", O_RDONLY | O_CLOEXEC );
   ASSERT_GE( leaked, 0 );
   EXPECT_EQ( lines( outputOf( kListFds ) ), ( std::set< String >{ "0", "1", "2" } ) );
   SpawnRequest withFd3;
   withFd3.fds[ 3 ] = handed;
   EXPECT_EQ( lines( outputOf( String( kListFds ) + "; readlink /proc/$$/fd/3", withFd3 ) ),
              ( std::set< String >{ "0", "1", "2", "3", "/dev/zero" } ) );
   ::close( leaked );
   ::close( handed );
}

TEST( Spawn, TheChildGetsTheDefaultSignalMaskAndDispositions ) {
   sigset_t block, old;
   sigemptyset( &block );
   sigaddset( &block, SIGTERM );
   sigaddset( &block, SIGUSR1 );
   ::sigprocmask( SIG_BLOCK, &block, &old );
   auto const oldPipe = ::signal( SIGPIPE, SIG_IGN );
   // The shell execs grep, which reads its own status: the shell itself
   // blocks signals for a moment around each child it forks.
   String const out = outputOf( "exec grep -E '^Sig(Blk|Ign)' /proc/self/status" );
   ::signal( SIGPIPE, oldPipe );
   ::sigprocmask( SIG_SETMASK, &old, nullptr );
   EXPECT_NE( out.find( "SigBlk:\t0000000000000000" ), String::npos ) << out;
   auto const ign = out.find( "SigIgn:\t" );
   ASSERT_NE( ign, String::npos ) << out;
   unsigned long long const ignored = std::stoull( out.substr( ign + 8, 16 ), nullptr, 16 );
   EXPECT_EQ( ignored & ( 1ull << ( SIGPIPE - 1 ) ), 0u ) << out;
}

TEST( Spawn, TheEnvironmentIsTheSpawnersWithTheGivenNamesReplacing ) {
   EXPECT_EQ( outputOf( "echo $QUAYD_SPAWN_TEST" ), "agent\n" );
   SpawnRequest r;
   r.env = { "QUAYD_SPAWN_TEST=child", "QUAYD_SPAWN_OTHER=x" };
   EXPECT_EQ( outputOf( "echo $QUAYD_SPAWN_TEST $QUAYD_SPAWN_OTHER", r ), "child x\n" );
}

// A bare name is looked up on the spawner's PATH, not on the process's.
TEST( Spawn, ProgramsAreFoundOnTheSpawnersPath ) {
   String const dir = ::testing::TempDir() + "spawn-path-" + std::to_string( ::getpid() );
   ::mkdir( dir.c_str(), 0755 );
   String const program = dir + "/quayd-spawn-probe";
   std::ofstream( program ) << "#!/bin/sh\necho found\n";
   ::chmod( program.c_str(), 0755 );
   Spawner const own( { { "PATH", "/nonexistent:" + dir } } );
   EXPECT_EQ( own.findProgram( "quayd-spawn-probe" ), program );
   EXPECT_EQ( kSpawner.findProgram( "quayd-spawn-probe" ), "/usr/sbin/quayd-spawn-probe" );
   int out[ 2 ];
   ASSERT_EQ( ::pipe2( out, O_CLOEXEC ), 0 );
   SpawnRequest r = request( { "quayd-spawn-probe" } );
   r.fds[ 1 ] = out[ 1 ];
   r.searchPath = true;
   pid_t const pid = own.spawnChild( r );
   ::close( out[ 1 ] );
   EXPECT_EQ( own.awaitChild( pid, out[ 0 ], 10s, "probe" ).output, "found\n" );
   ::close( out[ 0 ] );
   r.fds[ 1 ] = -1;
   pid_t const missing = kSpawner.spawnChild( r );
   EXPECT_EQ( WEXITSTATUS( kSpawner.awaitChild( missing, -1, 10s, "probe" ).status ), 127 );
   ::unlink( program.c_str() );
   ::rmdir( dir.c_str() );
}

TEST( Spawn, AnEndedChildIsReapedWithItsStatus ) {
   pid_t const pid = kSpawner.spawnChild( request( { "/bin/sh", "-c", "exit 7" } ) );
   ASSERT_GT( pid, 0 );
   ChildEnd const end = kSpawner.awaitChild( pid, -1, 10s, "sh" );
   EXPECT_TRUE( WIFEXITED( end.status ) );
   EXPECT_EQ( WEXITSTATUS( end.status ), 7 );
   EXPECT_EQ( ::waitpid( pid, nullptr, WNOHANG ), -1 ); // no zombie left
}

TEST( Spawn, AProgramThatCannotRunEndsWith127 ) {
   pid_t const pid = kSpawner.spawnChild( request( { "/nonexistent/program" } ) );
   ASSERT_GT( pid, 0 );
   EXPECT_EQ( WEXITSTATUS( kSpawner.awaitChild( pid, -1, 10s, "x" ).status ), 127 );
}

bool gone( pid_t pid ) {
   std::ifstream stat( "/proc/" + std::to_string( pid ) + "/stat" );
   String line;
   if ( !std::getline( stat, line ) ) {
      return true;
   }
   char const state = line[ line.rfind( ')' ) + 2 ];
   return state == 'Z' || state == 'X';
}

// A stand-in agent that spawns `sleep` as asked and ends at once; the
// sleep's pid.
pid_t orphanOfAnAgent( bool dieWithAgent ) {
   int p[ 2 ];
   EXPECT_EQ( ::pipe( p ), 0 );
   pid_t const agent = ::fork();
   if ( agent == 0 ) {
      SpawnRequest r = request( { "/bin/sleep", "30" } );
      r.dieWithAgent = dieWithAgent;
      pid_t const child = kSpawner.spawnChild( r );
      ssize_t const n = ::write( p[ 1 ], &child, sizeof child );
      ::_exit( n == sizeof child ? 0 : 1 );
   }
   ::close( p[ 1 ] );
   pid_t child = 0;
   EXPECT_EQ( ::read( p[ 0 ], &child, sizeof child ), ssize_t( sizeof child ) );
   ::close( p[ 0 ] );
   ::waitpid( agent, nullptr, 0 );
   return child;
}

bool goneWithin( pid_t pid, std::chrono::milliseconds limit ) {
   auto const end = Clock::now() + limit;
   while ( !gone( pid ) && Clock::now() < end ) {
      std::this_thread::sleep_for( 10ms );
   }
   return gone( pid );
}

TEST( Spawn, AChildAskedToDieWithTheAgentDoesAndAnotherOutlivesIt ) {
   pid_t const dies = orphanOfAnAgent( true );
   pid_t const outlives = orphanOfAnAgent( false );
   EXPECT_TRUE( goneWithin( dies, 5s ) );
   EXPECT_FALSE( gone( outlives ) );
   ::kill( outlives, SIGKILL );
}

// A child that prints without end costs two KiB: its first and last KiB
// are kept, and what is left out between them is counted.
TEST( AwaitChild, OutputIsKeptAsItsFirstAndLastKibibyte ) {
   String const out =
      outputOf( "printf first; head -c 104857600 /dev/zero | tr '\\0' x; printf last" );
   ASSERT_LT( out.size(), 2 * BoundedOutput::kKept + 64 );
   EXPECT_EQ( out.substr( 0, 9 ), "firstxxxx" );
   EXPECT_EQ( out.substr( out.size() - 8 ), "xxxxlast" );
   EXPECT_NE( out.find( "[... 104855561 bytes left out ...]" ), String::npos ) << out.size();
   EXPECT_EQ( outputOf( "head -c 2048 /dev/zero | tr '\\0' y" ), String( 2048, 'y' ) )
      << "two KiB or less is kept whole";
}

// A long wait keeps telling the service manager that the program is alive.
TEST( AwaitChild, TellsTheServiceManagerThroughoutTheWait ) {
   struct Counting : ServiceManager {
      void readyIs() override {}
      void statusIs( String const & ) override {}
      void alive() override { ++calls; }
      Duration aliveInterval() const override { return 50ms; }
      int calls = 0;
   } manager;
   Spawner const told( {}, &manager );
   pid_t const pid = told.spawnChild( request( { "/bin/sleep", "0.5" } ) );
   ASSERT_GT( pid, 0 );
   told.awaitChild( pid, -1, 10s, "sleep" );
   EXPECT_GE( manager.calls, 3 );
}

TEST( AwaitChild, AChildPastItsLimitIsKilledAndReaped ) {
   pid_t const pid = kSpawner.spawnChild( request( { "/bin/sleep", "30" } ) );
   auto const start = Clock::now();
   EXPECT_THROW( kSpawner.awaitChild( pid, -1, 300ms, "sleep" ), RuntimeException );
   EXPECT_LT( Clock::now() - start, 3s );
   EXPECT_EQ( ::waitpid( pid, nullptr, WNOHANG ), -1 );
}

// SIGTERM blocked, as the agent has it, for the life of a test.
class PendingTerm : public ::testing::Test {
 protected:
   Testing::SigtermBlocked term_;
};

TEST_F( PendingTerm, APendingSigtermEndsTheWaitAtOnce ) {
   pid_t const pid = kSpawner.spawnChild( request( { "/bin/sleep", "30" } ) );
   EXPECT_FALSE( terminationPending() );
   ::kill( ::getpid(), SIGTERM );
   EXPECT_TRUE( terminationPending() );
   auto const start = Clock::now();
   try {
      kSpawner.awaitChild( pid, -1, 30s, "sleep" );
      ADD_FAILURE() << "the wait did not give up";
   } catch ( RuntimeException const & e ) {
      EXPECT_NE( String( e.what() ).find( "stopping" ), String::npos ) << e.what();
   }
   EXPECT_LT( Clock::now() - start, 1s );
   EXPECT_EQ( ::waitpid( pid, nullptr, WNOHANG ), -1 );
   // Seen, not taken: the event loop still reads it.
   EXPECT_TRUE( terminationPending() );
}

} // namespace
} // namespace Quayd
