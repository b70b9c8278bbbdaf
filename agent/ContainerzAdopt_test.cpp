// A Containerz machine made anew, as after a restart of the agent, finds the
// runtime and the service that the earlier one left running: it keeps them
// exactly when they run as it would start them, in a usable VRF.
#include <gtest/gtest.h>

#include "agent/ContainerzServerSmTest.h"

namespace Quayd {
namespace {

using CrtConfig = Gnoi::Containerz::CrtConfig;

String const kRedNs = "/run/netns/ns-red";

struct LeftRunning : ContainerzWithServer {
   // The earlier agent's runtime in VRF red, logging to the host's syslog,
   // with its service; red and blue are usable unless told otherwise.
   LeftRunning() {
      time.files.addFile( kRedNs );
      time.files.addFile( "/run/netns/ns-blue" );
      runtime->applyConfig( ContainerzSm::kDataRoot, kRedNs,
                            syslogDriverFactory( "", LogTag( 1 ), SyslogFacility( 1 ) ), false,
                            nullptr );
      runtime->active = true;
      ContainerzServerParams p;
      p.netNsPath = kRedNs;
      p.stagingDir = ContainerzSm::kStagingDir;
      p.port = Gnoi::Containerz::GrpcConfig::kDefaultPort;
      server->start( p );
      runtime->clearCalls();
      for ( char const * name : { "red", "blue" } ) {
         vrfIs( name, Ip::kVrfStateActive, true );
      }
   }
};

TEST( ContainerzAdopt, OnlyTheRuntimeItWouldStartIsKept ) {
   CrtConfig const was{ L3::VrfName( "red" ), 1, "" };
   struct Case {
      char const * what;
      CrtConfig now;
      uint8_t redState;
      bool redReady;
      bool runtimeActive;
      bool adopted;
   };
   uint8_t const up = Ip::kVrfStateActive;
   for ( Case const & c : std::vector< Case >{
            { "unchanged", was, up, true, true, true },
            { "another VRF", { L3::VrfName( "blue" ), 1, "" }, up, true, true, false },
            { "another log driver", { L3::VrfName( "red" ), 0, "" }, up, true, true, false },
            { "a syslog server",
              { L3::VrfName( "red" ), 1, "udp://10.0.0.1:514" },
              up,
              true,
              true,
              false },
            { "the VRF not ready", was, up, false, true, false },
            { "the VRF inactive", was, 2, true, true, false },
            { "the runtime down", was, up, true, false, false },
         } ) {
      SCOPED_TRACE( c.what );
      LeftRunning w;
      w.vrfIs( "red", c.redState, c.redReady );
      w.runtime->active = c.runtimeActive;
      pid_t const serverPid = w.server->state().pid;
      w.start( c.now );
      ASSERT_EQ( w.runtime->count( "runtimeRunsWith" ) != 0, c.redState == up && c.redReady )
         << "the VRF is looked at first";
      EXPECT_TRUE( w.crt->enabled() );
      if ( c.adopted ) {
         EXPECT_EQ( w.runtime->calls(),
                    std::vector< String >{ "runtimeRunsWith(" + String( ContainerzSm::kDataRoot ) +
                                           "," + kRedNs + ",,[])" } );
         EXPECT_EQ( w.server->stopCalls, 0 );
         EXPECT_EQ( w.status->state(), "running" );
         EXPECT_EQ( w.status->pid(), serverPid );
         EXPECT_EQ( w.crt->lastError(), "" );
         EXPECT_TRUE( w.sm->vrfEnabledStatus()->enabled() );
         EXPECT_FALSE( w.sm->urlReachabilitySm() );
         // Adopted, it follows its VRF as a runtime it started would.
         w.runtime->clearCalls();
         w.vrfs->vrf( "red" )->vrfStateIs( 2 );
         EXPECT_EQ( w.runtime->calls(),
                    ( std::vector< String >{ "disableRuntime()", "resetConfig()" } ) );
         EXPECT_EQ( w.status->state(), "stopped" );
      } else {
         EXPECT_EQ( w.runtime->count( "disableRuntime" ), 1u ) << "cleaned up first";
         EXPECT_GE( w.server->stopCalls, 1 );
      }
   }
}

} // namespace
} // namespace Quayd
