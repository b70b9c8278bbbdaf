#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "platform/posix/Files.h"
#include "platform/posix/PosixEventLoop.h"
#include "platform/posix/PosixFileSystem.h"
#include "platform/posix/PosixProcessRunner.h"
#include "platform/posix/Sinks.h"
#include "platform/posix/TestSpawner.h"

namespace Quayd {
namespace {

Spawner const spawner = Testing::testSpawner();

using namespace std::chrono_literals;

TEST( ProcessRunner, HandleReportsHowTheChildEnded ) {
   struct {
      std::vector< String > argv;
      uint8_t code;
      int32_t status;
      int32_t signal;
   } const cases[] = { { { "true" }, kChildExited, 0, 0 },
                       { { "sh", "-c", "exit 7" }, kChildExited, 7, 0 },
                       { { "sleep", "30" }, kChildSignaled, 0, 9 },
                       { { "/nonexistent/program" }, kChildExited, 127, 0 } };
   PosixEventLoop loop;
   PosixProcessRunner runner( loop, spawner );
   for ( auto const & c : cases ) {
      SCOPED_TRACE( c.argv[ 0 ] );
      auto child = runner.run( c.argv, -1, -1, -1, -1 );
      ASSERT_TRUE( child );
      EXPECT_EQ( child->signalCode(), kChildRunning );
      if ( c.signal ) {
         runner.kill( child->pid(), c.signal );
      }
      ASSERT_TRUE( loop.runUntil( [ & ] { return child->signalCode() != kChildRunning; }, 10s ) );
      EXPECT_EQ( child->signalCode(), c.code );
      EXPECT_EQ( child->exitStatus(), c.status );
      EXPECT_EQ( child->signal(), c.signal );
      // Reaped: no zombie is left behind.
      EXPECT_EQ( ::waitpid( child->pid(), nullptr, WNOHANG ), -1 );
      EXPECT_EQ( runner.childCount(), 0u );
   }
}

TEST( ProcessRunner, ACallerMayWaitForTheChildItself ) {
   PosixEventLoop loop;
   PosixProcessRunner runner( loop, spawner );
   auto child = runner.run( { "sh", "-c", "exit 2" }, -1, -1, -1, -1 );
   int status = 0;
   ASSERT_EQ( ::waitpid( child->pid(), &status, 0 ), child->pid() );
   EXPECT_EQ( WEXITSTATUS( status ), 2 );
   loop.runUntil( [ & ] { return runner.childCount() == 0; }, 5s );
   EXPECT_EQ( runner.childCount(), 0u );
   EXPECT_EQ( child->signalCode(), kChildRunning ); // the loop found nothing to report
}

TEST( ProcessRunner, WaitBlocksUntilTheChildEndsAndFillsItsHandle ) {
   PosixEventLoop loop;
   PosixProcessRunner runner( loop, spawner );
   // Ends only when the second child kills it.
   auto child = runner.run( { "sleep", "600" }, -1, -1, -1, -1 );
   ASSERT_TRUE( child );
   auto killer =
      runner.run( { "sh", "-c", "kill -TERM $0", std::to_string( child->pid() ) }, -1, -1, -1, -1 );
   runner.wait( child );
   EXPECT_EQ( child->signalCode(), kChildSignaled );
   EXPECT_EQ( child->signal(), SIGTERM );
   runner.wait( killer );
   EXPECT_EQ( killer->signalCode(), kChildExited );
   EXPECT_EQ( killer->exitStatus(), 0 );
   EXPECT_EQ( runner.childCount(), 0u );
   runner.wait( killer ); // an ended child returns at once
}

// Gone, or a zombie nobody reaps yet: in either case it writes nothing.
bool processGone( pid_t pid ) {
   for ( int i = 0; i < 500; ++i ) {
      std::ifstream stat( "/proc/" + std::to_string( pid ) + "/stat" );
      String line;
      if ( !std::getline( stat, line ) || line.find( ") Z" ) != String::npos ) {
         return true;
      }
      ::usleep( 10000 );
   }
   return false;
}

TEST( ProcessRunner, AToolOverItsLimitIsKilledWithEverythingItStarted ) {
   PosixEventLoop loop;
   PosixProcessRunner runner( loop, spawner, 300ms );
   char dir[] = "/tmp/quayd-tool-XXXXXX";
   ASSERT_TRUE( ::mkdtemp( dir ) );
   String const pidFile = String( dir ) + "/pid";
   // As the mount tool waiting for e2fsck.
   ToolRun const run = runner.runTool(
      { "sh", "-c", "sleep 60 >/dev/null 2>&1 & echo $! > " + pidFile + "; wait" } );
   ASSERT_TRUE( run.child );
   EXPECT_EQ( run.child->signalCode(), kChildSignaled );
   pid_t grandchild = 0;
   std::ifstream( pidFile ) >> grandchild;
   ASSERT_GT( grandchild, 0 );
   EXPECT_TRUE( processGone( grandchild ) );
   std::filesystem::remove_all( dir );
}

TEST( ProcessRunner, DescriptorsAreHandedToTheChild ) {
   PosixEventLoop loop;
   PosixProcessRunner runner( loop, spawner );
   int p[ 2 ];
   ASSERT_EQ( ::pipe( p ), 0 );
   auto child = runner.run( { "sh", "-c", "echo oops >&2" }, -1, -1, p[ 1 ], -1 );
   ::close( p[ 1 ] );
   char buf[ 16 ] = {};
   EXPECT_EQ( ::read( p[ 0 ], buf, sizeof buf - 1 ), 5 );
   EXPECT_STREQ( buf, "oops\n" );
   ::close( p[ 0 ] );
   loop.runUntil( [ & ] { return child->signalCode() != kChildRunning; }, 5s );
}

// A task that throws costs only its own run; a timer still fires on the
// real clock.
TEST( EventLoop, AHandlerThatThrowsDoesNotStopTheLoop ) {
   PosixEventLoop loop;
   bool fired = false;
   auto bad = makePtr< Task >( loop.scheduler(), TaskPriority( 3 ), "bad",
                               [] { throw std::runtime_error( "boom" ); } );
   auto t =
      makePtr< TimerTask >( loop.scheduler(), TaskPriority( 1 ), "t", [ & ] { fired = true; } );
   bad->scheduleTask();
   t->scheduleTaskDelay( 20ms );
   EXPECT_TRUE( loop.runUntil( [ & ] { return fired; }, 5s ) );
}

// A loop with nothing to do would sleep up to a minute per turn; with a
// watchdog it wakes each keep-alive interval to say it is alive.
TEST( EventLoop, AnIdleLoopTellsTheServiceManagerItIsAliveEachInterval ) {
   struct Manager : ServiceManager {
      PosixEventLoop * loop = nullptr;
      int alive_ = 0;
      void readyIs() override {}
      void statusIs( String const & ) override {}
      void alive() override {
         if ( ++alive_ == 5 ) {
            loop->stop();
         }
      }
      Duration aliveInterval() const override { return 10ms; }
   } manager;
   PosixEventLoop loop( &manager );
   manager.loop = &loop;
   auto const start = std::chrono::steady_clock::now();
   loop.run();
   EXPECT_EQ( manager.alive_, 5 );
   EXPECT_LT( std::chrono::steady_clock::now() - start, 5s );
}

class RingTest : public ::testing::Test {
 protected:
   void SetUp() override {
      dir_ =
         std::filesystem::temp_directory_path() / ( "quayd-ring-" + std::to_string( ::getpid() ) );
      std::filesystem::create_directories( dir_ );
   }
   void TearDown() override { std::filesystem::remove_all( dir_ ); }
   std::filesystem::path dir_;
};

TEST_F( RingTest, KeepsTheLatestRecordsPerLevelAcrossReopen ) {
   String const path = dir_ / "a.rlog";
   std::array< uint32_t, 10 > sizes{ 2, 8, 3, 0, 0, 0, 0, 0, 0, 0 };
   {
      RingFile ring( path, sizes, 128 );
      ASSERT_TRUE( ring.ok() );
      for ( int i = 0; i < 5; ++i ) {
         ring.write( "M", 0, fmt::format( "zero {}", i ) );
      }
      ring.write( "M", 2, "two" );
      ring.write( "M", 3, "dropped: no room at this level" );
   }
   RingFile reopened( path, sizes, 128 );
   reopened.write( "M", 0, "after" );
   auto lines = RingFile::dump( path );
   ASSERT_EQ( lines.size(), 3u );
   EXPECT_NE( lines[ 0 ].find( "zero 4" ), String::npos );
   EXPECT_NE( lines[ 1 ].find( "two" ), String::npos );
   EXPECT_NE( lines[ 2 ].find( "after" ), String::npos );
}

// The agent's ring is named after its PID in the directory given; each
// start keeps only the newest rings beside it.
TEST_F( RingTest, EachStartWritesItsOwnRingAndKeepsOnlyTheNewest ) {
   // Rings of ten earlier starts, oldest first, and a file that is no ring.
   auto const now = std::filesystem::file_time_type::clock::now();
   for ( int pid = 1; pid <= 10; ++pid ) {
      auto const f = dir_ / ( "Quayd-" + std::to_string( pid ) + ".rlog" );
      { std::ofstream( f ) << "ring"; }
      std::filesystem::last_write_time( f, now - std::chrono::minutes( 20 - pid ) );
   }
   { std::ofstream( dir_ / "Quayd-notes.rlog" ) << "kept"; }
   RinglogTraceSink sink( "" );
   sink.ringIs(
      dir_,
      { "Quayd-%d.rlog", { 64, 8, 64, 8, 8, 128, 8, 8, 256, 256 }, "", 0, 24, 0, true, 512 } );
   std::set< String > left;
   for ( auto const & e : std::filesystem::directory_iterator( dir_ ) ) {
      left.insert( e.path().filename().string() );
   }
   std::set< String > const expected = { "Quayd-7.rlog",
                                         "Quayd-8.rlog",
                                         "Quayd-9.rlog",
                                         "Quayd-10.rlog",
                                         "Quayd-" + std::to_string( ::getpid() ) + ".rlog",
                                         "Quayd-notes.rlog" };
   EXPECT_EQ( left, expected );
   sink.write( "QuaydAgent", 2, "hello" );
   auto lines = RingFile::dump( sink.ringPath() );
   ASSERT_EQ( lines.size(), 1u );
   EXPECT_NE( lines[ 0 ].find( "QuaydAgent 2 hello" ), String::npos );
}

TEST( TraceSpec, SelectsModulesAndLevelsForStandardError ) {
   RinglogTraceSink sink( "QuaydAgent/0-2,*/0" );
   EXPECT_TRUE( sink.enabled( "QuaydAgent", 2 ) );
   EXPECT_FALSE( sink.enabled( "QuaydAgent", 3 ) );
   EXPECT_TRUE( sink.enabled( "ContainerSm", 0 ) );
   EXPECT_FALSE( sink.enabled( "ContainerSm", 1 ) );
}

TEST( PosixFileSystem, WritesDurablyAndTellsMountPointsAndSizes ) {
   char tmpl[] = "/tmp/quayd-fs-XXXXXX";
   ASSERT_NE( mkdtemp( tmpl ), nullptr );
   String const dir = tmpl;
   PosixFileSystem files;

   writeFileDurably( files, dir + "/pending", "quaydtest-c", 0600 );
   writeFileAtomically( dir + "/pending", "quaydtest-d", 0600 );

   EXPECT_EQ( readFile( dir + "/pending" ), "quaydtest-d" );
   EXPECT_FALSE( files.exists( dir + "/pending.tmp" ) );
   EXPECT_EQ( files.fileSize( dir + "/pending" ), 11u );
   EXPECT_EQ( files.fileSize( dir + "/none" ), 0u );
   EXPECT_TRUE( files.isMountPoint( "/" ) );
   EXPECT_TRUE( files.isMountPoint( "/proc" ) );
   EXPECT_FALSE( files.isMountPoint( dir ) );
   EXPECT_FALSE( files.isMountPoint( dir + "/none" ) );
   std::filesystem::remove_all( dir );
}

// The agent's own log never grows past two files of its limit, and only its
// owner writes it, even when an earlier file was left readable by all.
TEST_F( RingTest, TheLogFileRotatesBySizeKeepingTwoWithMode0640 ) {
   String const path = dir_ / "quayd.log";
   std::ofstream( path ) << "from an earlier run\n";
   std::filesystem::permissions( path, std::filesystem::perms( 0666 ) );
   {
      SyslogSink sink( path, 4096 );
      LogDescriptor const d{ "QUAYD_TEST_MESSAGE", "", "", "", 6 };
      for ( int i = 0; i < 200; ++i ) {
         sink.emit( d, fmt::format( "message {}", i ) );
      }
   }
   std::set< String > names;
   for ( auto const & e : std::filesystem::directory_iterator( dir_ ) ) {
      names.insert( e.path().filename() );
      EXPECT_LT( e.file_size(), 4096u + 128 ) << e.path();
      EXPECT_EQ( e.status().permissions(), std::filesystem::perms( 0640 ) ) << e.path();
   }
   EXPECT_EQ( names, ( std::set< String >{ "quayd.log", "quayd.log.1" } ) );
   std::ifstream in( path );
   String const last( ( std::istreambuf_iterator< char >( in ) ), {} );
   EXPECT_NE( last.find( "message 199\n" ), String::npos );
}

} // namespace
} // namespace Quayd
