// quyctl against a private redis-server: what each command writes, the
// transactions, what show, wait, logs and --dry-run print.
#include <gtest/gtest.h>

#include <iterator>
#include <sstream>

#include "model/Model.h"
#include "platform/Exception.h"
#include "tools/quyctl/QuyctlFixture.h"
#include "tools/quyctl/Transaction.h"

namespace Quayd::Quyctl {
namespace {

TEST( QuyctlSize, ParsesBytesAndBinarySuffixes ) {
   struct Case {
      char const * text;
      std::optional< uint64_t > bytes;
   } const cases[] = {
      { "0", 0 },
      { "2147483648", 2147483648u },
      { "512M", 512u << 20 },
      { "2G", 2ull << 30 },
      { "2g", 2ull << 30 },
      { "2GiB", 2ull << 30 },
      { "1.5G", 3ull << 29 },
      { "1T", 1ull << 40 },
      { "16EB", std::nullopt },
      { "", std::nullopt },
      { "G", std::nullopt },
      { "2X", std::nullopt },
      { "-1", std::nullopt },
      { "1.2.3", std::nullopt },
      { ".", std::nullopt },
      { ".5K", 512 },
      { "1.5", std::nullopt },
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

struct Write {
   std::vector< String > args;
   String key;
   std::map< String, String > fields;
};

TEST_F( QuyctlTest, CommandsWriteTheConfiguration ) {
   String const crt = "mgmt/gnoi/config|containerz";
   Write const cases[] = {
      { { "daemon", "enable" },
        "quayd/config",
        { { "enabled", "true" }, { "onFlash", "false" }, { "flashLimit", "0" } } },
      { { "daemon", "enable", "--on-flash", "--flash-limit", "2G" },
        "quayd/config",
        { { "enabled", "true" }, { "onFlash", "true" }, { "flashLimit", "2147483648" } } },
      { { "daemon", "disable" }, "quayd/config", { { "enabled", "false" } } },
      { { "sampling", "--interval", "0", "--ceiling-rounds", "5" },
        "quayd/config",
        { { "usageInterval", "0" }, { "memoryCeilingRounds", "5" } } },
      // Enabling again keeps the sampling settings.
      { { "daemon", "enable" }, "quayd/config", { { "usageInterval", "0" } } },
      { { "containerz" },
        crt,
        { { "crtConfig", R"({"logDriver":0,"syslogServer":"","vrfName":"default"})" } } },
      { { "containerz", "--vrf", "red", "--log-driver", "syslog", "--syslog-server",
          "udp://10.0.0.1:514" },
        crt,
        { { "crtConfig",
            R"({"logDriver":1,"syslogServer":"udp://10.0.0.1:514","vrfName":"red"})" } } },
      { { "vrf", "red", "--active" },
        "cell/0/ip/vrf/status/local|red",
        { { "vrfState", "1" }, { "vrfReady", "true" } } },
      { { "set", "quayd/image/persistentPathConfig", "path=/mnt/flash/.quayd" },
        "quayd/image/persistentPathConfig",
        { { "path", "/mnt/flash/.quayd" } } },
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

TEST_F( QuyctlTest, ImagesRegistriesAndContainersAreEditedInPlace ) {
   ASSERT_EQ( quyctl( { "image", "load", "/mnt/flash/a.tar" } ), kOk ) << err_.str();
   ASSERT_EQ( quyctl( { "image", "load", "/mnt/flash/b.tar" } ), kOk );
   ASSERT_EQ( quyctl( { "image", "load", "/mnt/flash/a.tar", "--delete" } ), kOk );
   EXPECT_EQ( hget( "quayd/image/config", "tarball" ), R"(["/mnt/flash/b.tar"])" );
   ASSERT_EQ( quyctl( { "image", "persistent-path", "/mnt/flash/" } ), kOk );
   EXPECT_EQ( hget( "quayd/image/persistentPathConfig", "path" ), "/mnt/flash/" );

   in_.str( "s3cret\n" );
   ASSERT_EQ( quyctl( { "registry", "lab", "--server", "127.0.0.1:5000", "--username", "ops",
                        "--password-stdin" } ),
              kOk )
      << err_.str();
   EXPECT_EQ(
      hget( "quayd/registry/config|lab", "params" ),
      R"({"insecure":false,"password":"s3cret","server":"127.0.0.1:5000","username":"ops"})" );
   ASSERT_EQ( quyctl( { "registry", "lab", "--delete" } ), kOk );
   EXPECT_FALSE( server_.client().exists( "quayd/registry/config|lab" ) );

   ASSERT_EQ( quyctl( { "container", "web", "--image", "bb:1", "--command", "sleep 100", "--memory",
                        "64m", "--restart", "on-failure:3", "--volume", "/mnt/flash/web:/data:ro",
                        "--volume", "/tmp:/scratch", "--tty", "--startup-condition",
                        "test -e /tmp/ready", "--poll-interval", "2" } ),
              kOk )
      << err_.str();
   String const key = "quayd/container/config|web";
   auto params = nlohmann::json::parse( *hget( key, "params" ) );
   EXPECT_EQ( params[ "image" ], "bb:1" );
   EXPECT_EQ( params[ "command" ], "sleep 100" );
   EXPECT_EQ( params[ "memory" ], "64m" );
   EXPECT_EQ( params[ "restartPolicy" ], "on-failure:3" );
   EXPECT_EQ( params[ "tty" ], 1 );
   EXPECT_EQ( params[ "startupConditionPollInterval" ], 2 );
   EXPECT_EQ( hget( key, "enabled" ), "true" ) << "a new container runs";
   auto mounts = nlohmann::json::parse( *hget( key, "bindMount" ) );
   EXPECT_EQ( mounts[ "/data" ][ "hostPath" ], "/mnt/flash/web" );
   EXPECT_EQ( mounts[ "/data" ][ "readOnly" ], true );
   EXPECT_EQ( mounts[ "/scratch" ][ "readOnly" ], false );

   // Later edits change only what they name.
   ASSERT_EQ( quyctl( { "container", "web", "--disable" } ), kOk );
   EXPECT_EQ( hget( key, "enabled" ), "false" );
   ASSERT_EQ( quyctl( { "container", "web", "--memory", "128m", "--no-tty" } ), kOk );
   params = nlohmann::json::parse( *hget( key, "params" ) );
   EXPECT_EQ( params[ "memory" ], "128m" );
   EXPECT_EQ( params[ "command" ], "sleep 100" );
   EXPECT_EQ( params[ "tty" ], 0 );
   EXPECT_EQ( hget( key, "enabled" ), "false" ) << "a stored container keeps its state";
   ASSERT_EQ( quyctl( { "container", "web", "--restart-unhealthy" } ), kOk );
   EXPECT_EQ( hget( key, "restartUnhealthy" ), "true" );
   EXPECT_EQ( nlohmann::json::parse( *hget( key, "params" ) ), params ) << "its parameters stay";
   ASSERT_EQ( quyctl( { "container", "web", "--no-restart-unhealthy" } ), kOk );
   EXPECT_EQ( hget( key, "restartUnhealthy" ), "false" );
   ASSERT_EQ( quyctl( { "container", "web", "--volume", "/srv:/srv" } ), kOk );
   EXPECT_EQ( nlohmann::json::parse( *hget( key, "bindMount" ) ).size(), 1u );

   // The memory ceiling stays below the hard limit, whichever of them is edited.
   ASSERT_EQ( quyctl( { "container", "web", "--memory-ceiling", "100m" } ), kOk ) << err_.str();
   EXPECT_EQ( hget( key, "memoryCeiling" ), std::to_string( 100 << 20 ) );
   EXPECT_EQ( quyctl( { "container", "web", "--memory-ceiling", "128m" } ), kUsage );
   EXPECT_NE( err_.str().find( "must be below the memory limit 128m" ), String::npos )
      << err_.str();
   EXPECT_EQ( quyctl( { "container", "web", "--memory", "64m" } ), kUsage );
   EXPECT_EQ( quyctl( { "container", "web", "--memory-ceiling", "lots" } ), kUsage );
   EXPECT_EQ( hget( key, "memoryCeiling" ), std::to_string( 100 << 20 ) );
   EXPECT_NE( hget( key, "params" )->find( "128m" ), String::npos );
   ASSERT_EQ( quyctl( { "container", "web", "--memory-ceiling", "" } ), kOk );
   EXPECT_EQ( hget( key, "memoryCeiling" ), "0" );

   ASSERT_EQ( quyctl( { "profile", "base", "--memory", "32m" } ), kOk ) << err_.str();
   EXPECT_NE( hget( "quayd/container/profileConfig|base", "params" )->find( "32m" ), String::npos );
   ASSERT_EQ( quyctl( { "container", "web", "--profile", "base" } ), kOk );
   EXPECT_EQ( hget( key, "profile" ), "base" );

   ASSERT_EQ( quyctl( { "container", "web", "--delete" } ), kOk );
   EXPECT_FALSE( server_.client().exists( key ) );
}

using Words = std::vector< String >;

// The words of each line of a listing, which fits 80 columns.
std::vector< Words > screenLines( String const & text ) {
   std::vector< Words > out;
   std::istringstream in( text );
   for ( String l; std::getline( in, l ); ) {
      EXPECT_LE( l.size(), 80u ) << l;
      std::istringstream words( l );
      out.push_back( { std::istream_iterator< String >( words ), {} } );
   }
   return out;
}

// Every column of a container's line comes from the status the agent
// publishes; the lines fit 80 columns.
TEST_F( QuyctlTest, ShowContainersTellsStatesSinceWhenAndWhyNot ) {
   auto c = server_.client();
   String const usage =
      R"({"cpuPercent":50.04,"memoryUsage":104857600,"memoryLimit":536870912,"pids":4,)"
      R"("netRx":1536,"netTx":2048,"blockRead":0,"blockWrite":4096,"health":"unhealthy"})";
   String const mounts =
      R"({"/data":{"hostPath":"/mnt/flash/web","containerPath":"/data","readOnly":true}})";
   String const history =
      R"([{"time":"2026-11-28T10:00:00Z","reason":"unhealthy","detail":"no /tmp/ok"}])";
   String const webStatus = "cell/0/quayd/container/status|web";
   c.command( { "HSET", webStatus, "name", "web", "state", "containerRunning_", "daemonState",
                "running", "startedAt", "2026-11-28T10:00:00.123456789Z", "restartCount", "2" } );
   c.command( { "HSET", webStatus, "params", R"({"image":"bb:1","memory":"64m","tty":1})",
                "imageId", "sha256:abc", "startAttempts", "1", "conditionRuns", "3" } );
   c.command( { "HSET", webStatus, "conditionFailures", "2", "unhealthyRestarts", "1", "bindMount",
                mounts } );
   c.command( { "HSET", webStatus, "history", history, "usage", usage } );
   c.command( { "HSET", "cell/0/quayd/container/status|db", "name", "db", "state",
                "containerStartFailed_", "daemonState", "exited", "exitCode", "137",
                "startAttempts", "3", "lastError",
                "no such image: registry.example:5000/db:1 (pull refused)" } );
   c.command( { "HSET", "quayd/container/config|web", "enabled", "true", "profile", "base" } );
   c.command( { "HSET", "quayd/container/config|off", "enabled", "false" } );
   ASSERT_EQ( quyctl( { "show", "containers" } ), kOk ) << err_.str();
   std::map< String, Words > lines;
   for ( auto const & w : screenLines( out_.str() ) ) {
      lines[ w.at( 0 ) ] = w;
   }
   EXPECT_EQ( lines[ "NAME" ], ( Words{ "NAME", "CFG", "AGENT", "DAEMON", "UP", "RST", "TRY",
                                        "CPU%", "MEM", "HEALTH" } ) );
   EXPECT_EQ( lines[ "web" ], ( Words{ "web", "on", "running", "running", "1d14h", "2", "1", "50.0",
                                       "100MiB", "unhealthy" } ) );
   // Not sampled: the last error takes the usage columns.
   EXPECT_EQ( lines[ "db" ], ( Words{ "db", "-", "startFailed", "exited(137)", "-", "0", "3", "no",
                                      "such", "image:", "registry~" } ) );
   EXPECT_EQ( lines[ "off" ], ( Words{ "off", "off", "-", "-", "-", "0", "0" } ) );

   ASSERT_EQ( quyctl( { "show", "containers", "--json" } ), kOk );
   auto rows = nlohmann::json::parse( out_.str() )[ "containers" ];
   ASSERT_EQ( rows.size(), 3u );
   auto const & db = rows[ 0 ];
   EXPECT_EQ( db[ "name" ], "db" );
   EXPECT_EQ( db[ "configured" ], false );
   EXPECT_EQ( db[ "agentState" ], "containerStartFailed_" );
   EXPECT_EQ( db[ "daemonState" ], "exited" );
   EXPECT_EQ( db[ "exitCode" ], 137 );
   EXPECT_EQ( db[ "uptimeSeconds" ], nullptr );
   EXPECT_EQ( rows[ 1 ][ "agentState" ], nullptr ) << "off is configured, unknown to the agent";
   auto const & web = rows[ 2 ];
   EXPECT_EQ( web[ "uptimeSeconds" ], 1'796'000'000 - 1'795'860'000 );
   EXPECT_EQ( web[ "imageId" ], "sha256:abc" );
   EXPECT_EQ( web[ "profile" ], "base" );
   EXPECT_EQ( web[ "usage" ][ "memoryUsage" ], 100 << 20 );
   EXPECT_EQ( web[ "usage" ][ "health" ], "unhealthy" );
   EXPECT_EQ( db[ "usage" ], nullptr );

   ASSERT_EQ( quyctl( { "top", "--no-stream" } ), kOk ) << err_.str();
   EXPECT_EQ( screenLines( out_.str() ),
              ( std::vector< Words >{ { "NAME", "CPU%", "MEM", "USAGE", "/", "LIMIT", "MEM%", "NET",
                                        "I/O", "BLOCK", "I/O", "PIDS" },
                                      { "web", "50.0", "100MiB", "/", "512MiB", "19.5",
                                        "1.5KiB/2.0KiB", "0B/4.0KiB", "4" } } ) );
   ASSERT_EQ( quyctl( { "top", "--no-stream", "--json" } ), kOk );
   auto const top = nlohmann::json::parse( out_.str() )[ "containers" ];
   ASSERT_EQ( top.size(), 1u );
   EXPECT_EQ( top[ 0 ][ "usage" ][ "cpuPercent" ], 50.04 );

   ASSERT_EQ( quyctl( { "show", "container", "web", "--json" } ), kOk );
   auto j = nlohmann::json::parse( out_.str() );
   EXPECT_EQ( j[ "run" ], "docker run --memory 64m --tty bb:1" );
   EXPECT_EQ( j[ "bindMounts" ][ 0 ][ "hostPath" ], "/mnt/flash/web" );
   EXPECT_EQ( j[ "startupCondition" ][ "failures" ], 2 );
   EXPECT_EQ( j[ "restartCount" ], 2 );
   EXPECT_EQ( j[ "unhealthyRestarts" ], 1 );
   EXPECT_EQ( j[ "history" ][ 0 ][ "detail" ], "no /tmp/ok" );
   ASSERT_EQ( quyctl( { "show", "container", "web" } ), kOk );
   EXPECT_NE( out_.str().find( "/mnt/flash/web -> /data (ro)" ), String::npos ) << out_.str();
   EXPECT_NE( out_.str().find( "History\n  2026-11-28T10:00:00Z  unhealthy: no /tmp/ok\n" ),
              String::npos )
      << out_.str();
   EXPECT_EQ( quyctl( { "show", "container", "nosuch" } ), kFailed );
   EXPECT_NE( err_.str().find( "no container 'nosuch'" ), String::npos );
}

// A change of a watched key between the read and EXEC makes the edit start
// over from what is now stored; one that always comes first exhausts the
// attempts and nothing is written.
TEST_F( QuyctlTest, AnEditThatRacesAnotherStartsOverFromWhatIsStored ) {
   auto other = server_.client();
   auto edit = [ & ]( int racers ) {
      auto builds = std::make_shared< int >( 0 );
      return Edit{
         { "list" },
         [ &, racers, builds ]( Redis::Connection & c ) {
            auto const seen = c.hgetall( "list" ).size();
            if ( ( *builds )++ < racers ) {
               other.command( { "HSET", "list", "racer" + std::to_string( *builds ), "1" } );
            }
            return Writes{ { "HSET", "list", "mine", std::to_string( seen ) } };
         }
      };
   };
   Redis::Connection c( server_.address() );
   commit( c, edit( 2 ) );
   EXPECT_EQ( hget( "list", "racer1" ), "1" );
   EXPECT_EQ( hget( "list", "racer2" ), "1" );
   EXPECT_EQ( hget( "list", "mine" ), "2" ) << "built on both racers' writes";

   other.command( { "DEL", "list" } );
   try {
      commit( c, edit( 1000 ), 3 );
      ADD_FAILURE() << "committed";
   } catch ( RuntimeException const & e ) {
      EXPECT_NE( String( e.what() ).find( "the edit of list was not committed" ), String::npos )
         << e.what();
   }
   EXPECT_EQ( hget( "list", "mine" ), std::nullopt );
   EXPECT_EQ( server_.client().hgetall( "list" ).size(), 3u );
}

TEST_F( QuyctlTest, WaitEndsWithTheStateOrTheTimeout ) {
   server_.client().command( { "HSET", "cell/0/quayd/container/status|web", "name", "web", "state",
                               "containerWaiting_" } );
   EXPECT_EQ( quyctl( { "wait", "web", "--state", "containerWaiting_", "--timeout", "0" } ), kOk )
      << err_.str();
   EXPECT_EQ( quyctl( { "wait", "web", "--state", "containerRunning_", "--timeout", "0.2" } ),
              kFailed );
   EXPECT_NE( err_.str().find( "container web did not reach containerRunning_ within 0.2 s (it "
                               "is containerWaiting_)" ),
              String::npos )
      << err_.str();
   EXPECT_EQ( quyctl( { "wait", "db", "--state", "containerRunning_", "--timeout", "0" } ),
              kFailed );
   EXPECT_NE( err_.str().find( "unknown to the agent" ), String::npos ) << err_.str();
}

TEST_F( QuyctlTest, LogsRunTheDockerClientForAKnownContainer ) {
   server_.client().command( { "HSET", "quayd/container/config|web", "enabled", "true" } );
   ASSERT_EQ( quyctl( { "logs", "web", "--follow", "--tail", "5" } ), kOk ) << err_.str();
   ASSERT_EQ( quyctl( { "logs", "web" } ), kOk );
   using Argv = std::vector< String >;
   EXPECT_EQ( ran_, ( std::vector< Argv >{ { "docker", "logs", "--follow", "--tail", "5", "web" },
                                           { "docker", "logs", "web" } } ) );
   EXPECT_EQ( quyctl( { "logs", "nosuch" } ), kFailed );
   EXPECT_NE( err_.str().find( "no container 'nosuch'" ), String::npos );
   EXPECT_EQ( ran_.size(), 2u );
}

// Before a profile shared by several containers changes, --dry-run tells
// what becomes of each of them, profiles merged, and writes nothing.
TEST_F( QuyctlTest, DryRunTellsWhatTheAgentWillDoAboutEachContainer ) {
   for ( auto const & args : std::vector< std::vector< String > >{
            { "profile", "small", "--image", "bb:1", "--memory", "64m" },
            { "container", "up", "--profile", "small" },
            { "container", "down", "--profile", "small" },
            { "container", "own", "--memory", "32m", "--profile", "small" },
            { "container", "other", "--image", "bb:1" } } ) {
      ASSERT_EQ( quyctl( args ), kOk ) << err_.str();
   }
   auto c = server_.client();
   // "up" and "own" run with what is configured now; "down" failed to start.
   c.command( { "HSET", "cell/0/quayd/container/status|up", "state", "containerRunning_", "params",
                R"({"image":"bb:1","memory":"64m"})" } );
   c.command( { "HSET", "cell/0/quayd/container/status|own", "state", "containerRunning_", "params",
                R"({"image":"bb:1","memory":"32m"})" } );
   c.command( { "HSET", "cell/0/quayd/container/status|down", "state", "containerStartFailed_" } );
   auto const before = server_.client().hgetall( "quayd/container/profileConfig|small" );

   ASSERT_EQ( quyctl( { "profile", "small", "--memory", "128m", "--dry-run" } ), kOk )
      << err_.str();
   EXPECT_EQ( out_.str().substr( out_.str().find( "container " ) ),
              "container down: start\ncontainer up: restart\n" )
      << out_.str();
   EXPECT_NE( out_.str().find( "quayd/container/profileConfig|small params " ), String::npos );
   EXPECT_EQ( server_.client().hgetall( "quayd/container/profileConfig|small" ), before );

   ASSERT_EQ( quyctl( { "profile", "small", "--delete", "--dry-run" } ), kOk );
   EXPECT_EQ( out_.str().substr( out_.str().find( "container " ) ),
              "container down: leave alone\ncontainer own: stop\ncontainer up: stop\n" )
      << "without their profile they have no image: " << out_.str();
   ASSERT_EQ( quyctl( { "container", "own", "--disable", "--dry-run" } ), kOk );
   EXPECT_NE( out_.str().find( "container own: stop\n" ), String::npos ) << out_.str();
   ASSERT_EQ( quyctl( { "container", "own", "--memory", "32m", "--dry-run" } ), kOk );
   EXPECT_NE( out_.str().find( "no container changes\n" ), String::npos ) << out_.str();
   ASSERT_EQ( quyctl( { "daemon", "disable", "--dry-run" } ), kOk );
   EXPECT_EQ( out_.str(), "quayd/config enabled false\n" );
}

// An edit that keeps what it does not change refuses to build on a stored
// field it cannot read, rather than replace it with the default.
TEST_F( QuyctlTest, EditsRefuseGarbageTheyWouldDrop ) {
   auto c = server_.client();
   c.command( { "HSET", "quayd/container/config|web", "params", R"({"image":"bb:1","comm)",
                "enabled", "true" } );
   EXPECT_EQ( quyctl( { "container", "web", "--memory", "32m" } ), kFailed );
   EXPECT_NE( err_.str().find( "quayd/container/config|web field params" ), String::npos )
      << err_.str();
   EXPECT_EQ( hget( "quayd/container/config|web", "params" ), R"({"image":"bb:1","comm)" );
   c.command( { "HSET", "quayd/image/config", "tarball", "[\"/a.tar\"" } );
   EXPECT_EQ( quyctl( { "image", "load", "/mnt/flash/b.tar" } ), kFailed );
   EXPECT_EQ( hget( "quayd/image/config", "tarball" ), "[\"/a.tar\"" );
   // Writing the field outright is the way out.
   ASSERT_EQ( quyctl( { "set", "quayd/container/config|web", R"(params={"image":"bb:1"})" } ), kOk )
      << err_.str();
   EXPECT_EQ( quyctl( { "container", "web", "--memory", "32m" } ), kOk ) << err_.str();
}

TEST_F( QuyctlTest, ShowContainerzTellsWhetherItsVrfIsUsable ) {
   ASSERT_EQ( quyctl( { "containerz", "--vrf", "red", "--log-driver", "syslog", "--syslog-server",
                        "udp://10.0.0.1:514" } ),
              kOk );
   ASSERT_EQ( quyctl( { "show", "containerz", "--json" } ), kOk ) << err_.str();
   auto j = nlohmann::json::parse( out_.str() );
   EXPECT_EQ( j[ "vrf" ], "red" );
   EXPECT_EQ( j[ "logDriver" ], "syslog" );
   EXPECT_EQ( j[ "syslogServer" ], "udp://10.0.0.1:514" );
   EXPECT_EQ( j[ "vrfUsable" ], false );
   EXPECT_EQ( j[ "enabled" ], false );
   ASSERT_EQ( quyctl( { "vrf", "red", "--active" } ), kOk );
   ASSERT_EQ( quyctl( { "show", "containerz" } ), kOk );
   EXPECT_NE( out_.str().find( "vrfUsable       true" ), String::npos ) << out_.str();
}

TEST_F( QuyctlTest, AnUnreachableDatabaseFails ) {
   server_.stop();
   EXPECT_EQ( quyctl( { "daemon", "enable" } ), kFailed );
   EXPECT_NE( err_.str().find( "cannot reach Redis at " + server_.socketPath() ), String::npos )
      << err_.str();
}

TEST_F( QuyctlTest, ShowSummarisesOnOneScreenWithoutPasswords ) {
   auto c = server_.client();
   c.command( { "HSET", "cell/0/quayd/status", "state", "started_", "runningOnFlash", "true",
                "flashLimit", "1073741824" } );
   c.command( { "HSET", kSubAgentCandidatePath, "subAgentRunning",
                R"({"subAgentType":"subAgentQuy","flashLimit":0})" } );
   for ( char const * name : { "web", "db" } ) {
      c.command( { "HSET", String( "cell/0/quayd/container/status|" ) + name, "name", name, "state",
                   "containerRunning_", "daemonState", "running" } );
   }
   c.command( { "HSET", "quayd/image/config", "tarball", R"(["/a.tar","/b.tar","/c.tar"])" } );
   c.command( { "HSET", "cell/0/quayd/image/status|/a.tar", "tag", R"(["a:1"])" } );
   c.command( { "HSET", "cell/0/quayd/image/status|/c.tar", "tag", R"(["c:1"])", "error",
                "/c.tar is not a regular file" } );
   c.command( { "HSET", "cell/0/quayd/registry/status|lab", "state", "loginFailed", "params",
                R"({"server":"127.0.0.1:5000","username":"ops","password":"hunter2"})" } );

   ASSERT_EQ( quyctl( { "show", "--json" } ), kOk ) << err_.str();
   auto j = nlohmann::json::parse( out_.str() );
   EXPECT_EQ( j[ "subAgent" ][ "running" ], "subAgentQuy" );
   EXPECT_EQ( j[ "subAgent" ][ "configured" ], "subAgentNone" ) << "unwritten: the default";
   EXPECT_EQ( j[ "runtime" ][ "state" ], "started_" );
   EXPECT_EQ( j[ "runtime" ][ "flashLimit" ], 1073741824 );
   EXPECT_EQ( j[ "runtime" ][ "dataRoot" ][ "path" ], "/mnt/flash/.quy/data-root" );
   EXPECT_EQ( j[ "containers" ][ "byAgentState" ][ "containerRunning_" ], 2 );
   EXPECT_EQ( j[ "registries" ][ "loginFailed" ], 1 );
   EXPECT_EQ( j[ "images" ][ "notLoaded" ], 2 ) << "one never loaded, one failed since";

   ASSERT_EQ( quyctl( { "show" } ), kOk );
   String const text = out_.str();
   EXPECT_NE( text.find( "Sub-agents      configured subAgentNone, running subAgentQuy" ),
              String::npos )
      << text;
   EXPECT_NE( text.find( "Containers      2: 2 containerRunning_" ), String::npos ) << text;
   EXPECT_NE( text.find( "Registries      1, 1 failed to log in" ), String::npos ) << text;

   ASSERT_EQ(
      quyctl( { "set", "quayd/registry/config|local",
                R"(params={"server":"127.0.0.1:5000","username":"ops","password":"hunter2"})" } ),
      kOk )
      << err_.str();
   EXPECT_NE( hget( "quayd/registry/config|local", "params" )->find( "hunter2" ), String::npos )
      << "without a credential store the password stays inline";
   for ( auto const & args : std::vector< std::vector< String > >{
            { "show", "registries" },
            { "show", "registries", "--json" },
            { "get", "quayd/registry/config" },
            { "set", "quayd/registry/config|x",
              R"(params={"server":"127.0.0.1:5000","username":"u","password":"hunter2"})",
              "--dry-run" } } ) {
      ASSERT_EQ( quyctl( args ), kOk ) << args[ 0 ] << err_.str();
      EXPECT_NE( out_.str().find( "127.0.0.1:5000" ), String::npos ) << out_.str();
      EXPECT_EQ( out_.str().find( "hunter2" ), String::npos ) << out_.str();
   }
}

} // namespace
} // namespace Quayd::Quyctl
