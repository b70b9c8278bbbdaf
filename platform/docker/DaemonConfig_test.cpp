#include "platform/docker/DaemonConfig.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/docker/DockerSupervisor.h"

namespace Quayd {
namespace {

using nlohmann::json;

struct LogLimitCase {
   char const * size; // QUAYD_CONTAINER_LOG_MAX_SIZE, null: unset
   char const * files;
   char const * wantSize;
   char const * wantFiles;
};

class ContainerLogs : public ::testing::TestWithParam< LogLimitCase > {
 protected:
   void TearDown() override {
      ::unsetenv( "QUAYD_CONTAINER_LOG_MAX_SIZE" );
      ::unsetenv( "QUAYD_CONTAINER_LOG_MAX_FILE" );
   }
};

TEST_P( ContainerLogs, TheDefaultDriverKeepsBoundedLogs ) {
   auto const & c = GetParam();
   if ( c.size ) {
      ::setenv( "QUAYD_CONTAINER_LOG_MAX_SIZE", c.size, 1 );
   }
   if ( c.files ) {
      ::setenv( "QUAYD_CONTAINER_LOG_MAX_FILE", c.files, 1 );
   }
   json const j =
      DaemonConfig( "/run/x" ).build( "", "", nullptr, nullptr, DaemonSettings::fromEnvironment() );
   EXPECT_EQ( j[ "log-driver" ], "json-file" );
   EXPECT_EQ( j[ "log-opts" ],
              ( json{ { "max-size", c.wantSize }, { "max-file", c.wantFiles } } ) );
}

INSTANTIATE_TEST_SUITE_P( Limits, ContainerLogs,
                          ::testing::Values( LogLimitCase{ nullptr, nullptr, "10m", "3" },
                                             LogLimitCase{ "50m", "5", "50m", "5" },
                                             LogLimitCase{ "512k", nullptr, "512k", "3" },
                                             // Not a size, not a count: the defaults.
                                             LogLimitCase{ "lots", "0", "10m", "3" },
                                             LogLimitCase{ "", "-1", "10m", "3" } ) );

struct CgroupParentCase {
   char const * env;
   char const * want; // null: no cgroup-parent
};
class CgroupParent : public ::testing::TestWithParam< CgroupParentCase > {
 protected:
   void TearDown() override { ::unsetenv( "QUAYD_DOCKER_CGROUP_PARENT" ); }
};

TEST_P( CgroupParent, ComesFromTheEnvironmentWhenItIsACgroupPath ) {
   auto const & c = GetParam();
   if ( c.env ) {
      ::setenv( "QUAYD_DOCKER_CGROUP_PARENT", c.env, 1 );
   }
   json const j =
      DaemonConfig( "/run/x" ).build( "", "", nullptr, nullptr, DaemonSettings::fromEnvironment() );
   if ( c.want ) {
      EXPECT_EQ( j.value( "cgroup-parent", "" ), c.want );
   } else {
      EXPECT_FALSE( j.contains( "cgroup-parent" ) ) << j.dump();
   }
}

INSTANTIATE_TEST_SUITE_P( Paths, CgroupParent,
                          ::testing::Values( CgroupParentCase{ nullptr, nullptr },
                                             CgroupParentCase{ "", nullptr },
                                             CgroupParentCase{ "/quayd-boot", "/quayd-boot" },
                                             CgroupParentCase{ "switch/apps", "switch/apps" },
                                             CgroupParentCase{ "/a/../b", nullptr },
                                             CgroupParentCase{ "/x;rm", nullptr },
                                             CgroupParentCase{ "/", nullptr } ) );

TEST( DaemonConfigTest, ASyslogDriverTakesItsOwnOptionsWithoutSizeLimits ) {
   auto driver =
      makePtr< SyslogDriver >( "udp://10.0.0.1:514", LogTag::containerName, SyslogFacility{} );
   json const j = DaemonConfig( "/run/x" ).build( "", "", driver, nullptr, {} );
   EXPECT_EQ( j[ "log-driver" ], "syslog" );
   EXPECT_FALSE( j[ "log-opts" ].contains( "max-size" ) );
}

TEST( DaemonConfigTest, AWrittenConfigurationTellsWhereTheDaemonIs ) {
   String const dir =
      std::filesystem::temp_directory_path() / ( "quayd-cfg-" + std::to_string( ::getpid() ) );
   DaemonConfig const c( dir );
   EXPECT_EQ( c.socketPath(), "/var/run/docker.sock" );
   EXPECT_EQ( c.pidFile(), "/var/run/docker.pid" );
   c.write( c.build( "/data", "/run/netns/red", nullptr, nullptr, {} ) );
   EXPECT_EQ( c.socketPath(), dir + "/red.sock" );
   EXPECT_EQ( c.pidFile(), dir + "/red.pid" );
   EXPECT_EQ( c.read()[ "data-root" ], "/data" );
   c.remove();
   EXPECT_FALSE( c.exists() );
   std::filesystem::remove_all( dir );
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
