// The systemd side of keeping dockerd running, against a recording
// systemctl: which calls are made in which order, what the unit says, and
// how the unit's state is read.
#include "platform/docker/DaemonService.h"

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/Exception.h"
#include "platform/posix/Files.h"
#include "platform/posix/TestSpawner.h"

namespace fs = std::filesystem;
using namespace Quayd;
using ::testing::HasSubstr;
using ::testing::Not;

namespace {

class SystemdServiceTest : public ::testing::Test {
 protected:
   void SetUp() override {
      char tmpl[] = "/tmp/quayd-systemd-XXXXXX";
      ASSERT_NE( mkdtemp( tmpl ), nullptr );
      dir_ = tmpl;
      unitDir_ = dir_ + "/system";
      fs::create_directory( unitDir_ );
      // Answers is-active with the content of "state" and fails a start
      // while "fail" exists, as systemctl does when the job fails.
      systemctl_ = dir_ + "/systemctl";
      writeFileAtomically( systemctl_,
                           "#!/bin/sh\n"
                           "echo \"$*\" >>" +
                              dir_ +
                              "/calls\n"
                              "case $1 in\n"
                              "  is-active) cat " +
                              dir_ +
                              "/state; exit 3 ;;\n"
                              "  start) [ -e " +
                              dir_ +
                              "/fail ] && {\n"
                              "    echo \"Job for $2 failed.\" >&2; exit 1; } ;;\n"
                              "esac\n"
                              "exit 0\n",
                           0755 );
      stateIs( "inactive" );
   }
   void TearDown() override { fs::remove_all( dir_ ); }

   void stateIs( String const & s ) { writeFileAtomically( dir_ + "/state", s + "\n", 0644 ); }
   String calls() const { return readFile( dir_ + "/calls" ).value_or( "" ); }
   String unitFile() const { return unitDir_ + "/" + kDockerdUnit; }
   std::unique_ptr< DaemonService > service() const {
      return daemonServiceFor( spawner_, unitDir_, systemctl_, dir_ + "/supervisor.pid" );
   }
   DockerSupervisorParams params( String const & netNs = "" ) const {
      return { "/usr/sbin/dockerd", "/run/quayd/docker/daemon.json", netNs,
               "/run/quayd/docker/dockerd.log", dir_ + "/supervisor.pid" };
   }

   String dir_, unitDir_, systemctl_;
   Spawner const spawner_ = Testing::testSpawner();
};

TEST_F( SystemdServiceTest, StartWritesTheUnitAndStartsItStopRemovesIt ) {
   auto s = service();
   s->start( params() );
   EXPECT_EQ( calls(), "daemon-reload\nstart quayd-dockerd.service\n" );
   EXPECT_EQ( readFile( unitFile() ), systemdUnitText( params() ) );
   struct stat st;
   ASSERT_EQ( stat( unitFile().c_str(), &st ), 0 );
   EXPECT_EQ( st.st_mode & 0777, 0644u );
   s->stop();
   EXPECT_EQ( calls(), "daemon-reload\nstart quayd-dockerd.service\n"
                       "stop quayd-dockerd.service\ndaemon-reload\n" );
   EXPECT_FALSE( fs::exists( unitFile() ) );
}

TEST_F( SystemdServiceTest, AFailedJobIsReportedWithSystemctlsWords ) {
   writeFileAtomically( dir_ + "/fail", "", 0644 );
   try {
      service()->start( params() );
      FAIL() << "no exception";
   } catch ( RuntimeException const & e ) {
      EXPECT_THAT( e.what(), HasSubstr( "start quayd-dockerd.service failed (status 1)" ) );
      EXPECT_THAT( e.what(), HasSubstr( "Job for quayd-dockerd.service failed." ) );
   }
}

TEST_F( SystemdServiceTest, RunningFollowsTheUnitsActiveState ) {
   struct Case {
      char const * state;
      bool running;
   } const cases[] = {
      { "active", true },    { "activating", true }, { "reloading", true },
      { "inactive", false }, { "failed", false },    { "deactivating", false },
   };
   auto s = service();
   for ( auto const & c : cases ) {
      stateIs( c.state );
      EXPECT_EQ( s->running(), c.running ) << c.state;
   }
   EXPECT_THAT( calls(), HasSubstr( "is-active quayd-dockerd.service" ) );
}

TEST_F( SystemdServiceTest, WithoutTheUnitDirectoryTheSupervisorIsUsed ) {
   fs::remove( unitDir_ );
   auto s = service();
   EXPECT_FALSE( s->running() ); // no supervisor pid file
   s->stop();                    // nothing to stop
   EXPECT_EQ( calls(), "" );
}

TEST( SystemdUnitText, SaysHowDockerdRuns ) {
   struct Case {
      String netNs;
      char const * nsLine;
   } const cases[] = {
      { "", nullptr }, { "/var/run/netns/ns-red", "NetworkNamespacePath=/var/run/netns/ns-red\n" }
   };
   for ( auto const & c : cases ) {
      DockerSupervisorParams const p{ "/opt/my docker/dockerd", "/run/q/50%.json", c.netNs,
                                      "/run/q/dockerd.log", "/run/q/supervisor.pid" };
      String const t = systemdUnitText( p );
      EXPECT_THAT( t, HasSubstr( "\nExecStart=\"/opt/my docker/dockerd\" --config-file "
                                 "\"/run/q/50%%.json\"\n" ) );
      EXPECT_THAT( t, HasSubstr( "\nStandardOutput=append:/run/q/dockerd.log\n" ) );
      EXPECT_THAT( t, HasSubstr( "\nConflicts=docker.service docker.socket\n" ) );
      EXPECT_THAT( t, HasSubstr( "\nRestart=always\n" ) );
      EXPECT_THAT( t, HasSubstr( "\nKillMode=process\n" ) );
      EXPECT_THAT( t, HasSubstr( "\nType=notify\n" ) );
      EXPECT_THAT( t, Not( HasSubstr( "[Install]" ) ) );
      if ( c.nsLine ) {
         EXPECT_THAT( t, HasSubstr( c.nsLine ) );
      } else {
         EXPECT_THAT( t, Not( HasSubstr( "NetworkNamespacePath" ) ) );
      }
   }
}

} // namespace
