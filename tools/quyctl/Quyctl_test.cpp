// quyctl against a private redis-server: what each command writes, what it
// refuses (writing nothing), and what show prints.
#include <gtest/gtest.h>

#include <sstream>

#include "model/Model.h"
#include "platform/redis/TestServer.h"
#include "tools/quyctl/Quyctl.h"

namespace Quayd::Quyctl {
namespace {

TEST( QuyctlSize, ParsesBytesAndBinarySuffixes ) {
   struct Case {
      char const * text;
      std::optional< uint64_t > bytes;
   } const cases[] = {
      { "0", 0 },           { "2147483648", 2147483648u }, { "512M", 512u << 20 },
      { "2G", 2ull << 30 }, { "2g", 2ull << 30 },          { "2GiB", 2ull << 30 },
      { "1.5G", 3ull << 29 }, { "1T", 1ull << 40 },        { "16EB", std::nullopt },
      { "", std::nullopt }, { "G", std::nullopt },         { "2X", std::nullopt },
      { "-1", std::nullopt }, { "1.2.3", std::nullopt }, { ".", std::nullopt },
      { ".5K", 512 },   { "1.5", std::nullopt },
      { "99999999999999999999", std::nullopt },
   };
   for ( auto const & c : cases ) {
      EXPECT_EQ( parseSize( c.text ), c.bytes ) << c.text;
   }
}

TEST( QuyctlRedaction, PasswordsNeverShow ) {
   EXPECT_EQ( redacted( "password", "hunter2" ), "***" );
   EXPECT_EQ( redacted( "params", R"({"password":"hunter2","server":"r"})" ),
              R"({"password":"***","server":"r"})" );
   EXPECT_EQ( redacted( "params", R"({"password":"","server":"r"})" ),
              R"({"password":"","server":"r"})" );
   EXPECT_EQ( redacted( "state", "started_" ), "started_" );
}

class QuyctlTest : public ::testing::Test {
 protected:
   int quyctl( std::vector< String > args ) {
      out_.str( "" );
      err_.str( "" );
      return run(
         args,
         [ this ] {
            ++connects_;
            return std::make_unique< Redis::Connection >( server_.address() );
         },
         out_, err_ );
   }
   std::optional< String > hget( String const & key, String const & field ) {
      return server_.client().hget( key, field );
   }
   size_t dbsize() { return server_.client().scan( "*" ).size(); }

   Redis::TestServer server_;
   std::ostringstream out_, err_;
   int connects_ = 0;
};

struct Write {
   std::vector< String > args;
   String key;
   std::map< String, String > fields;
};

TEST_F( QuyctlTest, CommandsWriteTheConfiguration ) {
   String const crt = "mgmt/gnoi/config|containerz";
   Write const cases[] = {
      { { "daemon", "enable" }, "quayd/config",
        { { "enabled", "true" }, { "onFlash", "false" }, { "flashLimit", "0" } } },
      { { "daemon", "enable", "--on-flash", "--flash-limit", "2G" }, "quayd/config",
        { { "enabled", "true" }, { "onFlash", "true" }, { "flashLimit", "2147483648" } } },
      { { "daemon", "disable" }, "quayd/config", { { "enabled", "false" } } },
      { { "containerz" }, crt,
        { { "crtConfig", R"({"logDriver":0,"syslogServer":"","vrfName":"default"})" } } },
      { { "containerz", "--vrf", "red", "--log-driver", "syslog", "--syslog-server",
          "udp://10.0.0.1:514" },
        crt,
        { { "crtConfig",
            R"({"logDriver":1,"syslogServer":"udp://10.0.0.1:514","vrfName":"red"})" } } },
      { { "vrf", "red", "--active" }, "cell/0/ip/vrf/status/local|red",
        { { "vrfState", "1" }, { "vrfReady", "true" } } },
      { { "set", "quayd/image/persistentPathConfig", "path=/mnt/flash/.quayd" },
        "quayd/image/persistentPathConfig", { { "path", "/mnt/flash/.quayd" } } },
   };
   for ( auto const & c : cases ) {
      ASSERT_EQ( quyctl( c.args ), kOk ) << c.args[ 0 ] << ": " << err_.str();
      for ( auto const & [ field, value ] : c.fields ) {
         EXPECT_EQ( hget( c.key, field ), value ) << c.args[ 0 ] << " " << field;
      }
   }
   EXPECT_EQ( quyctl( { "containerz", "--delete" } ), kOk );
   EXPECT_FALSE( server_.client().exists( crt ) );
   EXPECT_EQ( quyctl( { "vrf", "red", "--delete" } ), kOk );
   EXPECT_FALSE( server_.client().exists( "cell/0/ip/vrf/status/local|red" ) );
}

struct Refusal {
   std::vector< String > args;
   char const * says;
};

TEST_F( QuyctlTest, BadInputIsRefusedAndNothingWritten ) {
   Refusal const cases[] = {
      { {}, "Usage" },
      { { "frobnicate" }, "unknown command 'frobnicate'" },
      { { "daemon" }, "daemon needs 'enable' or 'disable'" },
      { { "daemon", "enable", "--flash-limit", "lots", "--on-flash" }, "bad --flash-limit 'lots'" },
      { { "daemon", "enable", "--flash-limit", "1G" }, "--flash-limit needs --on-flash" },
      { { "daemon", "enable", "--flash-limit" }, "--flash-limit needs a value" },
      { { "daemon", "disable", "--on-flash" }, "unknown option --on-flash" },
      { { "containerz", "--log-driver", "journald" }, "unknown --log-driver 'journald'" },
      { { "containerz", "--syslog-server", "udp://h:1" }, "--syslog-server needs --log-driver syslog" },
      { { "containerz", "--vrf", String( 101, 'v' ) }, "longer than 100" },
      { { "containerz", "--delete", "--vrf", "red" }, "--delete takes no other option" },
      { { "vrf", "red" }, "vrf needs a name and one of" },
      { { "set", "no/such/path", "a=b" }, "unknown path 'no/such/path'" },
      { { "set", "quayd/config", "enabled" }, "'enabled' is not FIELD=VALUE" },
      { { "set", "quayd/config", "colour=red" }, "quayd/config has no field 'colour' (fields: enabled" },
      { { "set", "quayd/config", "enabled=true", "flashLimit=-5" }, "field flashLimit: not a valid" },
      { { "set", "cell/0/quayd/status", "state=started_" }, "is status that the agent writes" },
      { { "delete", "cell/0/quayd/status" }, "is status that the agent writes" },
      { { "get", "no/such/path" }, "unknown path" },
      { { "show", "--yaml" }, "unknown option --yaml" },
   };
   for ( auto const & c : cases ) {
      EXPECT_EQ( quyctl( c.args ), kUsage ) << ( c.args.empty() ? "" : c.args[ 0 ] );
      EXPECT_NE( err_.str().find( c.says ), String::npos ) << err_.str();
   }
   EXPECT_EQ( connects_, 0 ) << "refused input never reaches the database";
   EXPECT_EQ( dbsize(), 0u );
}

TEST_F( QuyctlTest, AnUnreachableDatabaseFails ) {
   server_.stop();
   EXPECT_EQ( quyctl( { "daemon", "enable" } ), kFailed );
   EXPECT_NE( err_.str().find( "cannot reach Redis at " + server_.socketPath() ), String::npos )
      << err_.str();
}

TEST_F( QuyctlTest, ShowPrintsStatusWithDefaultsAndWithoutPasswords ) {
   auto c = server_.client();
   c.command( { "HSET", "cell/0/quayd/status", "state", "started_", "runningOnFlash", "true",
                "flashLimit", "1073741824" } );
   c.command( { "HSET", kSubAgentCandidatePath, "subAgentRunning",
                R"({"subAgentType":"subAgentQuy","flashLimit":0})" } );
   c.command( { "HSET", "cell/0/quayd/container/status|web", "name", "web" } );

   ASSERT_EQ( quyctl( { "show" } ), kOk ) << err_.str();
   String const text = out_.str();
   EXPECT_NE( text.find( "Runtime manager (cell/0/quayd/status)" ), String::npos ) << text;
   EXPECT_NE( text.find( "state           started_" ), String::npos ) << text;
   EXPECT_NE( text.find( "runningOnFlash  true" ), String::npos ) << text;
   EXPECT_NE( text.find( "  web\n" ), String::npos ) << text;

   ASSERT_EQ( quyctl( { "show", "--json" } ), kOk );
   auto j = nlohmann::json::parse( out_.str() );
   EXPECT_EQ( j[ "cell/0/quayd/status" ][ "state" ], "started_" );
   EXPECT_EQ( j[ "cell/0/quayd/status" ][ "flashLimit" ], 1073741824 );
   EXPECT_EQ( j[ kSubAgentCandidatePath ][ "subAgentRunning" ][ "subAgentType" ], "subAgentQuy" );
   EXPECT_EQ( j[ kSubAgentCandidatePath ][ "subAgentConfigured" ][ "subAgentType" ],
              "subAgentNone" )
      << "a field never written shows its default";
   EXPECT_TRUE( j[ "cell/0/quayd/container/status" ][ "elements" ].contains( "web" ) );

   ASSERT_EQ( quyctl( { "set", "quayd/registry/config|local",
                        R"(params={"server":"127.0.0.1:5000","username":"ops","password":"hunter2"})" } ),
              kOk )
      << err_.str();
   ASSERT_EQ( quyctl( { "get", "quayd/registry/config" } ), kOk );
   EXPECT_NE( out_.str().find( "local" ), String::npos ) << out_.str();
   EXPECT_EQ( out_.str().find( "hunter2" ), String::npos ) << out_.str();
   EXPECT_EQ( hget( "quayd/registry/config|local", "params" )->find( "hunter2" ) != String::npos,
              true );
}

} // namespace
} // namespace Quayd::Quyctl
