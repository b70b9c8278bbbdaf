// The gRPC Containerz service of the Containerz sub-agent on the fake
// runtime and the fake server: it comes up after the runtime and goes down
// before it, follows its listening configuration, and its deaths are
// published and repaired, all in virtual time.
#include <gtest/gtest.h>

#include "agent/ContainerzServerSmTest.h"

namespace Quayd {
namespace {

class ContainerzServerSmTest : public ::testing::Test, public ContainerzWithServer {
 protected:
   // What the status says: "state pid restarts".
   String published() const {
      return status->state() + " " + std::to_string( status->pid() ) + " " +
             std::to_string( status->restarts() );
   }
};

TEST_F( ContainerzServerSmTest, TheServerRunsExactlyWhileTheRuntimeRuns ) {
   start();
   EXPECT_EQ( runtime->count( "enableRuntime" ), 1u );
   EXPECT_EQ( server->startCalls, 1 );
   EXPECT_EQ( server->params().stagingDir, ContainerzSm::kStagingDir );
   EXPECT_EQ( server->params().port, Gnoi::Containerz::GrpcConfig::kDefaultPort );
   EXPECT_EQ( published(), "running 100 0" );
   EXPECT_EQ( status->address(), "unix:/run/quayd/containerz.sock" );

   // The server stops before the runtime does: its calls need the daemon.
   int const stopsBefore = server->stopCalls;
   int stopsAtDisable = -1;
   runtime->onCall = [ & ]( String const & name ) {
      if ( name == "disableRuntime" ) {
         stopsAtDisable = server->stopCalls;
      }
   };
   sm = nullptr;
   EXPECT_EQ( stopsAtDisable, stopsBefore + 1 );
   EXPECT_EQ( published(), "stopped 0 0" );
   EXPECT_EQ( status->address(), "" );
}

TEST_F( ContainerzServerSmTest, ANewListeningConfigurationStartsTheServerAnew ) {
   start();
   Gnoi::Containerz::GrpcConfig g;
   g.port = 50051;
   g.tlsCert = "/etc/quayd/server.crt";
   g.tlsKey = "/etc/quayd/server.key";
   // Without a client CA any host could call: not served, and the one
   // serving goes.
   int const stopsBefore = server->stopCalls;
   config->grpcConfigIs( g );
   EXPECT_EQ( server->startCalls, 1 );
   EXPECT_EQ( server->stopCalls, stopsBefore + 1 );
   EXPECT_EQ( published(), "stopped 0 0" );
   EXPECT_EQ( status->lastError(),
              "TLS without a client CA (tlsCa) is refused: any host could call" );
   time.advance( ContainerzServerSm::kPollInterval * 3 );
   EXPECT_EQ( server->startCalls, 1 ) << "not started by a poll either";

   g.tlsCa = "/etc/quayd/ca.crt";
   g.authzPolicy = "/etc/quayd/authz.json";
   config->grpcConfigIs( g );
   EXPECT_EQ( server->startCalls, 2 );
   EXPECT_EQ( server->params().port, 50051 );
   EXPECT_EQ( server->params().tlsKey, "/etc/quayd/server.key" );
   EXPECT_EQ( server->params().authzPolicy, "/etc/quayd/authz.json" );
   EXPECT_EQ( status->address(), "*:50051" );
   EXPECT_EQ( status->lastError(), "" );
   EXPECT_EQ( runtime->count( "enableRuntime" ), 1u ) << "the runtime stays up";
}

TEST_F( ContainerzServerSmTest, DeathsArePublishedAndAGoneSupervisorIsReplaced ) {
   start();
   // The supervisor restarts a dead server; the next look publishes it.
   server->serverRestarted();
   EXPECT_EQ( published(), "running 100 0" );
   time.advance( ContainerzServerSm::kPollInterval );
   EXPECT_EQ( published(), "running 101 1" );

   // Killed with its supervisor: started anew at the next look.
   server->supervisorDied();
   time.advance( ContainerzServerSm::kPollInterval - std::chrono::seconds( 1 ) );
   EXPECT_EQ( server->startCalls, 1 );
   time.advance( std::chrono::seconds( 1 ) );
   EXPECT_EQ( server->startCalls, 2 );
   EXPECT_EQ( published(), "running 102 2" );
}

TEST_F( ContainerzServerSmTest, AFailedStartIsPublishedAndRetried ) {
   server->startError = "quayd-containerz supervisor did not start: no answer";
   start();
   EXPECT_EQ( status->state(), "restarting" );
   EXPECT_EQ( status->lastError(), server->startError );
   EXPECT_TRUE( crt->enabled() ) << "the runtime runs without its service";
   server->startError = "";
   time.advance( ContainerzServerSm::kPollInterval );
   EXPECT_EQ( server->startCalls, 2 );
   EXPECT_EQ( status->state(), "running" );
   EXPECT_EQ( status->lastError(), "" );
}

TEST_F( ContainerzServerSmTest, WithoutAServerNoneIsStarted ) {
   sm = containerzSmFactory( config, vrfs, crt, runtime, time.scheduler(), time.files, processes,
                             nullptr );
   EXPECT_EQ( runtime->count( "enableRuntime" ), 1u );
   EXPECT_FALSE( sm->serverSm() );
}

} // namespace
} // namespace Quayd
