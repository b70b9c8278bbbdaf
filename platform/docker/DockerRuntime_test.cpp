// Drives a real dockerd. Everything runs in a private mount namespace with
// tmpfs over /run and /var/lib/docker, and the daemons in a private network
// namespace, so the host's files, networks and any daemon of its own stay untouched.
#include "platform/docker/DockerRuntime.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include <gtest/gtest.h>

#include "platform/docker/DockerSupervisor.h"
#include "platform/posix/PosixFileSystem.h"
#include "platform/posix/TestSpawner.h"

namespace fs = std::filesystem;
using nlohmann::json;
using namespace Quayd;

namespace {

String const kDockerd = "/usr/sbin/dockerd";
String const kDataRoot = "/run/quayd/test-data-root";
String const kNetNs = "/run/quayd/quaydtest";

template < typename F >
bool eventually( F done, std::chrono::seconds limit = std::chrono::seconds( 60 ) ) {
   auto deadline = std::chrono::steady_clock::now() + limit;
   while ( std::chrono::steady_clock::now() < deadline ) {
      if ( done() ) {
         return true;
      }
      std::this_thread::sleep_for( std::chrono::milliseconds( 100 ) );
   }
   return done();
}

// A network namespace kept alive by a bind mount on kNetNs.
void makeNetNs() {
   int ready[ 2 ], go[ 2 ]; // one pipe per direction
   ASSERT_EQ( pipe( ready ), 0 );
   ASSERT_EQ( pipe( go ), 0 );
   pid_t child = fork();
   if ( child == 0 ) {
      char c;
      if ( unshare( CLONE_NEWNET ) != 0 ) {
         _exit( 1 );
      }
      ssize_t ignored = write( ready[ 1 ], "x", 1 );
      ignored = read( go[ 0 ], &c, 1 ); // wait for the parent's bind mount
      (void)ignored;
      _exit( 0 );
   }
   char c;
   ASSERT_EQ( read( ready[ 0 ], &c, 1 ), 1 );
   { std::ofstream( kNetNs ).flush(); }
   String src = "/proc/" + std::to_string( child ) + "/ns/net";
   ASSERT_EQ( mount( src.c_str(), kNetNs.c_str(), nullptr, MS_BIND, nullptr ), 0 )
      << strerror( errno );
   ASSERT_EQ( write( go[ 1 ], "x", 1 ), 1 );
   int st;
   waitpid( child, &st, 0 );
   for ( int fd : { ready[ 0 ], ready[ 1 ], go[ 0 ], go[ 1 ] } ) {
      close( fd );
   }
}

void privateMounts() {
   static bool done = false;
   if ( done ) {
      return;
   }
   ASSERT_EQ( unshare( CLONE_NEWNS ), 0 ) << strerror( errno );
   ASSERT_EQ( mount( "", "/", nullptr, MS_REC | MS_PRIVATE, nullptr ), 0 );
   fs::create_directories( "/var/lib/docker" );
   for ( char const * d : { "/run", "/var/lib/docker" } ) {
      ASSERT_EQ( mount( "tmpfs", d, "tmpfs", 0, "mode=0755" ), 0 ) << d;
   }
   fs::create_directories( "/run/quayd" );
   fs::create_directories( kDataRoot );
   makeNetNs();
   done = true;
}

// Private per process: parallel test processes never share a supervisor.
DockerSettings testSettings() {
   DockerSettings s;
   s.runtimeDir = "/run/quayd/docker-test-" + std::to_string( getpid() );
   s.clientConfigDir = s.runtimeDir + "-client";
   return s;
}

// Processes whose command line names `needle`.
std::vector< pid_t > processesMentioning( String const & needle ) {
   std::vector< pid_t > out;
   for ( auto const & e : fs::directory_iterator( "/proc" ) ) {
      String n = e.path().filename();
      if ( n.find_first_not_of( "0123456789" ) != String::npos ) {
         continue;
      }
      std::ifstream in( e.path() / "cmdline" );
      String cmd( ( std::istreambuf_iterator< char >( in ) ), {} );
      pid_t pid = std::stoi( n );
      if ( cmd.find( needle ) != String::npos && pid != getpid() && processAlive( pid ) ) {
         out.push_back( pid );
      }
   }
   return out;
}

json get( DockerRuntime & rt, String const & path ) {
   DockerApiClient c( rt.socketPath() );
   return c.call( "GET", path );
}

class DockerRuntimeTest : public ::testing::Test {
 protected:
   void SetUp() override {
      if ( access( kDockerd.c_str(), X_OK ) != 0 ) {
         GTEST_SKIP() << kDockerd << " is not installed";
      }
      privateMounts();
   }
   void TearDown() override {
      if ( IsSkipped() ) {
         return;
      }
      DockerRuntime rt( testSettings(), files_, spawner_ );
      rt.disableRuntime();
      rt.resetConfig();
      EXPECT_TRUE( processesMentioning( rt.runtimeDir() + "/" ).empty() )
         << "a daemon or supervisor of this test is still running";
   }
   void startDaemon( DockerRuntime & rt, Ptr< InsecureRegistries const > regs = nullptr ) {
      rt.applyConfig( kDataRoot, kNetNs, nullptr, true, regs );
      rt.enableRuntime();
   }
   PosixFileSystem files_;
   // The daemon's supervisor of this build, found on PATH as installed.
   Spawner const spawner_ = Testing::testSpawner( QUAYD_SUPERVISOR_DIR );
   DockerSettings settings_ = testSettings();
};

TEST_F( DockerRuntimeTest, NotInstalledWhenTheProgramIsMissing ) {
   settings_.dockerd = "/nonexistent/dockerd";
   EXPECT_FALSE( DockerRuntime( settings_, files_, spawner_ ).runtimeInstalled() );
   EXPECT_TRUE( DockerRuntime( testSettings(), files_, spawner_ ).runtimeInstalled() );
}

TEST_F( DockerRuntimeTest, ApplyConfigWritesTheDaemonConfig ) {
   DockerRuntime rt( settings_, files_, spawner_ );
   auto regs = insecureRegistriesFactory();
   regs->regIs( "reg.example:5000" );
   rt.applyConfig( "/data", "/run/netns/red",
                   syslogDriverFactory( "udp://1.2.3.4:514", LogTag::containerName,
                                        SyslogFacility::local3 ),
                   false, regs );
   std::ifstream in( rt.configFile() );
   json c = json::parse( in );
   EXPECT_EQ( c[ "data-root" ], "/data" );
   EXPECT_EQ( c[ "insecure-registries" ], json( { "reg.example:5000" } ) );
   EXPECT_EQ( c[ "log-driver" ], "syslog" );
   EXPECT_EQ( c[ "log-opts" ][ "syslog-facility" ], "local3" );
   EXPECT_EQ( c[ "hosts" ], json( { "unix://" + rt.runtimeDir() + "/red.sock" } ) );
   EXPECT_EQ( c[ "pidfile" ], rt.runtimeDir() + "/red.pid" );
   EXPECT_EQ( rt.socketPath(), rt.runtimeDir() + "/red.sock" );

   rt.applyConfig( "", "", nullptr, true, nullptr );
   std::ifstream in2( rt.configFile() );
   json d = json::parse( in2 );
   EXPECT_FALSE( d.contains( "data-root" ) );
   // Without a syslog driver the daemon keeps its files, bounded.
   EXPECT_EQ( d[ "log-driver" ], "json-file" );
   EXPECT_TRUE( d[ "log-opts" ].contains( "max-size" ) );
   EXPECT_EQ( d[ "hosts" ], json( { "unix:///var/run/docker.sock" } ) );

   rt.resetConfig();
   EXPECT_FALSE( fs::exists( rt.configFile() ) );
}

TEST_F( DockerRuntimeTest, EnableStartsTheDaemonAndALaterProcessStopsIt ) {
   DockerRuntime rt( settings_, files_, spawner_ );
   EXPECT_FALSE( rt.runtimeActive() );
   startDaemon( rt );
   EXPECT_TRUE( rt.runtimeActive() );
   EXPECT_EQ( get( rt, "/info" )[ "DockerRootDir" ], kDataRoot );
   pid_t sup = rt.supervisorPid();
   ASSERT_NE( sup, 0 );
   // A program of its own, not a fork holding this process's memory.
   EXPECT_EQ( fs::read_symlink( "/proc/" + std::to_string( sup ) + "/exe" ).filename(),
              "quayd-supervisor" );

   DockerRuntime later( settings_, files_,
                        spawner_ ); // what an agent restarted meanwhile would hold
   EXPECT_TRUE( later.runtimeActive() );
   later.enableRuntime(); // reuses the running supervisor
   EXPECT_EQ( later.supervisorPid(), sup );
   later.disableRuntime();
   EXPECT_FALSE( later.runtimeActive() );
   EXPECT_FALSE( processAlive( sup ) );
   EXPECT_EQ( later.dockerdPid(), 0 );
}

TEST_F( DockerRuntimeTest, ReloadTakesNewInsecureRegistriesWithoutRestart ) {
   DockerRuntime rt( settings_, files_, spawner_ );
   startDaemon( rt );
   pid_t before = rt.dockerdPid();
   auto regs = insecureRegistriesFactory();
   regs->regIs( "10.9.8.7:5000" );
   rt.applyConfig( kDataRoot, kNetNs, nullptr, true, regs );
   rt.reloadConfig();
   EXPECT_TRUE( eventually(
      [ & ] {
         json idx = get( rt, "/info" )[ "RegistryConfig" ][ "IndexConfigs" ];
         return idx.contains( "10.9.8.7:5000" ) && idx[ "10.9.8.7:5000" ][ "Secure" ] == false;
      },
      std::chrono::seconds( 20 ) ) )
      << get( rt, "/info" )[ "RegistryConfig" ].dump();
   EXPECT_EQ( rt.dockerdPid(), before );
}

TEST_F( DockerRuntimeTest, SupervisorRestartsAKilledDaemon ) {
   DockerRuntime rt( settings_, files_, spawner_ );
   startDaemon( rt );
   pid_t first = rt.dockerdPid();
   ASSERT_NE( first, 0 );
   ASSERT_EQ( kill( first, SIGKILL ), 0 );
   EXPECT_TRUE( eventually( [ & ] {
      pid_t now = rt.dockerdPid();
      return now != 0 && now != first && rt.runtimeActive();
   } ) );
}

TEST_F( DockerRuntimeTest, DaemonThatNeverAnswersFailsTheStart ) {
   DockerRuntime rt( settings_, files_, spawner_ );
   fs::create_directories( rt.runtimeDir() );
   String standIn = rt.runtimeDir() + "/silent-dockerd";
   {
      std::ofstream s( standIn );
      s << "#!/bin/sh\necho stand-in running\nexec sleep 1000\n";
   }
   chmod( standIn.c_str(), 0755 );
   settings_.dockerd = standIn;
   settings_.startTimeout = std::chrono::seconds( 2 );
   DockerRuntime slow( settings_, files_, spawner_ );
   slow.applyConfig( kDataRoot, kNetNs, nullptr, true, nullptr );
   try {
      slow.enableRuntime();
      FAIL() << "enableRuntime returned";
   } catch ( Unitctl::SdbusJobException const & e ) {
      EXPECT_NE( String( e.what() ).find( "did not come up within 2 s" ), String::npos )
         << e.what();
      EXPECT_NE( String( e.what() ).find( "stand-in running" ), String::npos ) << e.what();
   }
   EXPECT_EQ( slow.supervisorPid(), 0 );
}

TEST_F( DockerRuntimeTest, ImagesAndContainers ) {
   DockerRuntime rt( settings_, files_, spawner_ );
   startDaemon( rt );
   // A one-binary image made from busybox, then saved to a tarball to load.
   String dir = rt.runtimeDir() + "/img";
   fs::create_directories( dir + "/rootfs/bin" );
   fs::copy_file( "/bin/busybox", dir + "/rootfs/bin/busybox" );
   fs::create_symlink( "busybox", dir + "/rootfs/bin/sh" );
   fs::create_symlink( "busybox", dir + "/rootfs/bin/sleep" );
   String host = "unix://" + rt.socketPath();
   String cmd = "tar -C " + dir + "/rootfs -c . | /usr/bin/docker --host " + host +
                " import - quaydtest:1 >/dev/null && /usr/bin/docker --host " + host + " save -o " +
                dir + "/img.tar quaydtest:1 && /usr/bin/docker --host " + host +
                " rmi quaydtest:1 >/dev/null";
   ASSERT_EQ( system( cmd.c_str() ), 0 );

   EXPECT_THROW( rt.inspectImage( "quaydtest:1" ), ApiRequestException );
   EXPECT_EQ( rt.loadImage( dir + "/img.tar" ), std::vector< String >{ "quaydtest:1" } );
   ImageRecord img = rt.inspectImage( "quaydtest:1" );
   EXPECT_EQ( img.ref, "quaydtest:1" );
   EXPECT_EQ( img.id.rfind( "sha256:", 0 ), 0u );
   EXPECT_TRUE( rt.listStaleImages().empty() );
   EXPECT_THROW( rt.loadImage( dir + "/rootfs/bin/sh" ), RuntimeException );

   auto p = runContainerParamsFactory();
   p->name = "quaydtest-c";
   p->image = "quaydtest:1";
   p->settingIs( "network", "none" );
   p->commandPush( "sleep" );
   p->commandPush( "1000" );
   rt.runContainer( p );
   ContainerRecord c = rt.inspectContainer( "quaydtest-c" );
   EXPECT_TRUE( c.running );
   EXPECT_EQ( c.name, "quaydtest-c" );
   EXPECT_EQ( c.labels[ "quayd.agent" ], "quayd" );
   EXPECT_FALSE( c.foreign );
   // The agent runs a container only when its status records none: one of
   // ours by that name is a leftover, and is replaced.
   rt.runContainer( p );
   EXPECT_NE( rt.inspectContainer( "quaydtest-c" ).id, c.id );
   EXPECT_FALSE( fs::exists( rt.pendingRunFile() ) );
   // A run cut short by a killed agent: its container goes as soon as the
   // daemon is found up, since no status recorded it.
   writeFileDurably( files_, rt.pendingRunFile(), "quaydtest-c", 0600 );
   EXPECT_TRUE( rt.runtimeActive() );
   EXPECT_THROW( rt.inspectContainer( "quaydtest-c" ), ApiRequestException );
   EXPECT_FALSE( fs::exists( rt.pendingRunFile() ) );
   // One that is not ours is left alone, and the run fails naming it.
   String const foreign = "/usr/bin/docker --host " + host +
                          " create --name quaydtest-c quaydtest:1 sleep 1000 >/dev/null";
   ASSERT_EQ( system( foreign.c_str() ), 0 );
   try {
      rt.runContainer( p );
      FAIL() << "a second container of the same name started";
   } catch ( RuntimeException const & e ) {
      EXPECT_NE( String( e.what() ).find( "quaydtest-c" ), String::npos ) << e.what();
   }
   EXPECT_TRUE( rt.inspectContainer( "quaydtest-c" ).labels.empty() );
   EXPECT_TRUE( rt.inspectContainer( "quaydtest-c" ).foreign );
   rt.removeContainer( "quaydtest-c", true );
   rt.runContainer( p );
   // A name that is the start of another container's ID names no container:
   // neither looking it up, nor stopping, removing or running it touches
   // the other one.
   String const id = rt.inspectContainer( "quaydtest-c" ).id;
   String const prefix = id.substr( 0, 4 );
   EXPECT_THROW( rt.inspectContainer( prefix ), ApiRequestException );
   EXPECT_THROW( rt.stopContainer( prefix ), ApiRequestException );
   EXPECT_THROW( rt.removeContainer( prefix, true ), ApiRequestException );
   auto q = runContainerParamsFactory();
   q->name = prefix;
   q->image = "quaydtest:1";
   q->settingIs( "network", "none" );
   q->commandPush( "sleep" );
   q->commandPush( "1000" );
   rt.runContainer( q );
   EXPECT_EQ( rt.inspectContainer( "quaydtest-c" ).id, id );
   EXPECT_TRUE( rt.inspectContainer( "quaydtest-c" ).running );
   EXPECT_EQ( rt.inspectContainer( prefix ).name, prefix );
   rt.removeContainer( prefix, true );
   EXPECT_TRUE( rt.inspectContainer( "quaydtest-c" ).running );
   EXPECT_EQ( rt.inspectContainer( id ).name, "quaydtest-c" ); // the full ID still counts
   rt.stopContainer( "quaydtest-c" );
   EXPECT_EQ( rt.inspectContainer( "quaydtest-c" ).status, "exited" );
   rt.removeContainer( "quaydtest-c", true );
   EXPECT_THROW( rt.inspectContainer( "quaydtest-c" ), ApiRequestException );
   EXPECT_THROW( rt.stopContainer( "quaydtest-c" ), ApiRequestException );

   rt.removeImage( "quaydtest:1" );
   EXPECT_THROW( rt.inspectImage( "quaydtest:1" ), ApiRequestException );
}

TEST_F( DockerRuntimeTest, LogoutForgetsOnlyThatServer ) {
   DockerRuntime rt( settings_, files_, spawner_ );
   String file = settings_.clientConfigDir + "/config.json";
   fs::create_directories( fs::path( file ).parent_path() );
   std::ofstream( file )
      << R"({"auths":{"a.example":{"auth":"eDp5"},"b.example":{"auth":"eDp5"}}})";
   rt.logout( "a.example" );
   std::ifstream in( file );
   json c = json::parse( in );
   EXPECT_FALSE( c[ "auths" ].contains( "a.example" ) );
   EXPECT_TRUE( c[ "auths" ].contains( "b.example" ) );
   EXPECT_EQ( fs::status( file ).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write );
}

// Refused before the daemon is asked, so none runs here; a FIFO would block
// the loop, a device never end.
TEST( DockerRuntimeTarball, AnythingButARegularFileIsRefusedAtOnce ) {
   char tmpl[] = "/tmp/quayd-tarball-XXXXXX";
   ASSERT_TRUE( mkdtemp( tmpl ) );
   String const dir = tmpl;
   ASSERT_EQ( mkfifo( ( dir + "/fifo" ).c_str(), 0600 ), 0 );
   fs::create_directory( dir + "/dir" );
   fs::create_symlink( dir + "/fifo", dir + "/link" );
   PosixFileSystem files;
   Spawner const spawner = Testing::testSpawner();
   DockerRuntime rt( DockerSettings{}, files, spawner );
   for ( String const & path :
         { String( "/dev/zero" ), dir + "/dir", dir + "/fifo", dir + "/link" } ) {
      try {
         rt.loadImage( path );
         ADD_FAILURE() << path << " was loaded";
      } catch ( RuntimeException const & e ) {
         EXPECT_EQ( String( e.what() ), path + " is not a regular file" );
      }
   }
   fs::remove_all( dir );
}

} // namespace
