// A run request as the daemon gets it: the create body, or the client's
// words when an option is one the table does not take.
#include "platform/docker/ContainerCreateBody.h"

#include <gtest/gtest.h>

namespace Quayd {
namespace {

using nlohmann::json;
using Strings = std::vector< String >;
std::map< String, String > const kLabels{ { "quayd.agent", "quayd" } };

Ptr< RunContainerParams > request() {
   auto p = runContainerParamsFactory();
   p->name = "web";
   p->image = "bb:1";
   p->settingIs( "memory", "64m" );
   p->settingIs( "init", "true" );
   p->bindsIs( { "/mnt/flash/web", "/data", true } );
   p->commandPush( "sleep" );
   p->commandPush( "9" );
   return p;
}

TEST( ContainerCreateBodyTest, EverythingOfTheRequestLandsInTheBody ) {
   auto p = request();
   for ( String w : { "-e", "A=1", "-e", "B", "--label", "tier=web" } ) {
      p->optionsPush( w );
   }
   auto const out = containerCreateBody( *p, kLabels, { { "B", "2" } } );
   EXPECT_EQ( out.clientFlag, "" );
   EXPECT_EQ( out.body, json::parse( R"({
      "Image": "bb:1", "Cmd": ["sleep", "9"], "Env": ["A=1", "B=2"],
      "Labels": {"quayd.agent": "quayd", "tier": "web"},
      "HostConfig": {"Memory": 67108864, "Init": true, "Binds": ["/mnt/flash/web:/data:ro"],
                     "PortBindings": {}, "RestartPolicy": {"Name": "no"}, "Dns": [],
                     "DnsOptions": [], "DnsSearch": [], "Devices": [], "BlkioWeightDevice": []}
   })" ) )
      << out.body.dump();
}

TEST( ContainerCreateBodyTest, AnOptionTheTableDoesNotTakeNamesTheFlag ) {
   auto p = request();
   for ( String w : { "-e", "A=1", "--label-file", "/etc/labels" } ) {
      p->optionsPush( w );
   }
   EXPECT_EQ( containerCreateBody( *p, kLabels, {} ).clientFlag, "--label-file" );
   auto q = request();
   q->settingIs( "memory", "lots" ); // written by hand into the database
   EXPECT_EQ( containerCreateBody( *q, kLabels, {} ).clientFlag, "--memory" );
}

TEST( ContainerCreateBodyTest, TheClientGetsTheSameRequestAsFlags ) {
   auto p = request();
   for ( String w : { "--label-file", "/etc/labels" } ) {
      p->optionsPush( w );
   }
   EXPECT_EQ( clientRunArgs( *p, kLabels ),
              ( Strings{ "--label", "quayd.agent=quayd", "--memory", "64m", "--init", "--volume",
                         "/mnt/flash/web:/data:ro", "--label-file", "/etc/labels", "bb:1", "sleep",
                         "9" } ) );
}

} // namespace
} // namespace Quayd
