#include "platform/docker/DaemonConfig.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/docker/DockerSettings.h"
#include "platform/docker/DockerSupervisor.h"
#include "platform/testing/FakeFileSystem.h"

namespace Quayd {
namespace {

using nlohmann::json;

// The settings of the given variables, every other one unset.
DockerSettings settingsOf( std::map< String, String > const & vars ) {
   return dockerSettingsFrom( [ & ]( char const * name ) -> char const * {
      auto const it = vars.find( name );
      return it == vars.end() ? nullptr : it->second.c_str();
   } );
}

json configOf( std::map< String, String > const & vars ) {
   Testing::FakeFileSystem files;
   return DaemonConfig( "/run/x", files )
      .build( "", "", nullptr, nullptr, settingsOf( vars ).daemon );
}

TEST( DaemonConfigTest, TheDefaultDriverKeepsBoundedLogs ) {
   char const * const size = "QUAYD_CONTAINER_LOG_MAX_SIZE";
   char const * const files = "QUAYD_CONTAINER_LOG_MAX_FILE";
   struct {
      std::map< String, String > vars;
      char const * wantSize;
      char const * wantFiles;
   } const cases[] = {
      { {}, "10m", "3" },
      { { { size, "50m" }, { files, "5" } }, "50m", "5" },
      { { { size, "512k" } }, "512k", "3" },
      // Not a size, not a count: the defaults.
      { { { size, "lots" }, { files, "0" } }, "10m", "3" },
      { { { size, "" }, { files, "-1" } }, "10m", "3" },
   };
   for ( auto const & c : cases ) {
      json const j = configOf( c.vars );
      EXPECT_EQ( j[ "log-driver" ], "json-file" );
      EXPECT_EQ( j[ "log-opts" ],
                 ( json{ { "max-size", c.wantSize }, { "max-file", c.wantFiles } } ) )
         << j.dump();
   }
}

TEST( DaemonConfigTest, TheCgroupParentComesFromItsVariableWhenItIsACgroupPath ) {
   struct {
      char const * value; // null: unset
      char const * want;  // null: no cgroup-parent
   } const cases[] = { { nullptr, nullptr },
                       { "", nullptr },
                       { "/quayd-boot", "/quayd-boot" },
                       { "switch/apps", "switch/apps" },
                       { "/a/../b", nullptr },
                       { "/x;rm", nullptr },
                       { "/", nullptr } };
   for ( auto const & c : cases ) {
      std::map< String, String > vars;
      if ( c.value ) {
         vars[ "QUAYD_DOCKER_CGROUP_PARENT" ] = c.value;
      }
      json const j = configOf( vars );
      if ( c.want ) {
         EXPECT_EQ( j.value( "cgroup-parent", "" ), c.want );
      } else {
         EXPECT_FALSE( j.contains( "cgroup-parent" ) ) << j.dump();
      }
   }
}

// Paths and programs move, and a time-out or size that is not a positive
// number keeps its default rather than stopping the agent.
TEST( DockerSettingsTest, VariablesMovePathsAndOnlyValidNumbersChangeLimits ) {
   DockerSettings const d = settingsOf( {} );
   EXPECT_EQ( d.runtimeDir, "/run/quayd/docker" );
   EXPECT_EQ( d.startTimeout, std::chrono::seconds( 60 ) );
   DockerSettings const s = settingsOf( { { "QUAYD_RUNTIME_DIR", "/tmp/rt" },
                                          { "QUAYD_DOCKERD", "/opt/dockerd" },
                                          { "QUAYD_DOCKER_CLI", "" },
                                          { "QUAYD_DOCKERD_START_TIMEOUT", "2" },
                                          { "QUAYD_DOCKERD_LOG_MAX", "-5" } } );
   EXPECT_EQ( s.runtimeDir, "/tmp/rt" );
   EXPECT_EQ( s.dockerd, "/opt/dockerd" );
   EXPECT_EQ( s.dockerCli, d.dockerCli );
   EXPECT_EQ( s.startTimeout, std::chrono::seconds( 2 ) );
   EXPECT_EQ( s.dockerdLogMax, d.dockerdLogMax );
   for ( char const * bad : { "0", "ten", "99999999999999999999" } ) {
      EXPECT_EQ( settingsOf( { { "QUAYD_DOCKERD_START_TIMEOUT", bad } } ).startTimeout,
                 d.startTimeout )
         << bad;
   }
}

TEST( DaemonConfigTest, ASyslogDriverTakesItsOwnOptionsWithoutSizeLimits ) {
   auto driver =
      makePtr< SyslogDriver >( "udp://10.0.0.1:514", LogTag::containerName, SyslogFacility{} );
   Testing::FakeFileSystem files;
   json const j = DaemonConfig( "/run/x", files ).build( "", "", driver, nullptr, {} );
   EXPECT_EQ( j[ "log-driver" ], "syslog" );
   EXPECT_FALSE( j[ "log-opts" ].contains( "max-size" ) );
}

TEST( DaemonConfigTest, AWrittenConfigurationTellsWhereTheDaemonIs ) {
   String const dir = "/run/quayd/docker";
   Testing::FakeFileSystem files;
   DaemonConfig const c( dir, files );
   EXPECT_EQ( c.socketPath(), "/var/run/docker.sock" );
   EXPECT_EQ( c.pidFile(), "/var/run/docker.pid" );
   c.write( c.build( "/data", "/run/netns/red", nullptr, nullptr, {} ) );
   EXPECT_EQ( c.socketPath(), dir + "/red.sock" );
   EXPECT_EQ( c.pidFile(), dir + "/red.pid" );
   EXPECT_EQ( c.read()[ "data-root" ], "/data" );
   EXPECT_EQ( files.modes[ dir ], 0700u );
   c.remove();
   EXPECT_FALSE( c.exists() );
}

TEST( DockerdLog, ALogPastItsCapIsEmptiedAndItsLinesKeptOnce ) {
   String const log =
      std::filesystem::temp_directory_path() / ( "quayd-log-" + std::to_string( ::getpid() ) );
   { std::ofstream( log ) << String( 100, 'a' ); }
   capLogFile( log, 200 );
   EXPECT_EQ( std::filesystem::file_size( log ), 100u ); // under the cap: as it was
   capLogFile( log, 50 );
   EXPECT_EQ( std::filesystem::file_size( log ), 0u );
   EXPECT_EQ( std::filesystem::file_size( log + ".1" ), 100u );
   { std::ofstream( log, std::ios::app ) << String( 60, 'b' ); }
   capLogFile( log, 50 );
   EXPECT_EQ( std::filesystem::file_size( log + ".1" ), 60u ); // one older file, not a chain
   std::filesystem::remove( log );
   std::filesystem::remove( log + ".1" );
}

} // namespace
} // namespace Quayd
