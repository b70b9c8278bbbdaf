// quyctl against a private redis-server: what each command writes, what it
// refuses (writing nothing), and what show prints.
#include <gtest/gtest.h>

#include <sstream>

#include <sys/stat.h>

#include <filesystem>

#include "model/Model.h"
#include "platform/Credentials.h"
#include "platform/Files.h"
#include "platform/redis/TestServer.h"
#include "tools/quyctl/Quyctl.h"

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
         out_, err_, in_, daemon_ );
   }
   std::optional< String > hget( String const & key, String const & field ) {
      return server_.client().hget( key, field );
   }
   size_t dbsize() { return server_.client().scan( "*" ).size(); }

   Redis::TestServer server_;
   DaemonView daemon_;
   std::ostringstream out_, err_;
   std::istringstream in_;
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
      { { "daemon", "enable" },
        "quayd/config",
        { { "enabled", "true" }, { "onFlash", "false" }, { "flashLimit", "0" } } },
      { { "daemon", "enable", "--on-flash", "--flash-limit", "2G" },
        "quayd/config",
        { { "enabled", "true" }, { "onFlash", "true" }, { "flashLimit", "2147483648" } } },
      { { "daemon", "disable" }, "quayd/config", { { "enabled", "false" } } },
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
      { { "containerz", "--syslog-server", "udp://h:1" },
        "--syslog-server needs --log-driver syslog" },
      { { "containerz", "--vrf", String( 101, 'v' ) }, "longer than 100" },
      { { "containerz", "--delete", "--vrf", "red" }, "--delete takes no other option" },
      { { "vrf", "red" }, "vrf needs a name and one of" },
      { { "set", "no/such/path", "a=b" }, "unknown path 'no/such/path'" },
      { { "set", "quayd/config", "enabled" }, "'enabled' is not FIELD=VALUE" },
      { { "set", "quayd/config", "colour=red" },
        "quayd/config has no field 'colour' (fields: enabled" },
      { { "set", "quayd/config", "enabled=true", "flashLimit=-5" },
        "field flashLimit: not a valid" },
      { { "set", "cell/0/quayd/status", "state=started_" }, "is status that the agent writes" },
      { { "delete", "cell/0/quayd/status" }, "is status that the agent writes" },
      { { "get", "no/such/path" }, "unknown path" },
      { { "show", "--yaml" }, "unknown option --yaml" },
      { { "show", "everything" }, "show takes images, registries" },
      { { "image", "load", "relative.tar" }, "must be an absolute path" },
      { { "image", "load" }, "image load needs one tarball path" },
      { { "image", "persistent-path", "flash" }, "must be an absolute path" },
      { { "registry", "rr" }, "registry needs --server" },
      { { "registry", "rr", "--server", "https://r:5000" }, "no scheme" },
      { { "registry", "rr", "--server", "r:5000", "--password", "x" },
        "a password needs --username" },
      { { "registry", "rr", "--server", "r", "--username", "u", "--password", "p",
          "--password-stdin" },
        "not both" },
      { { "registry", "a|b", "--server", "r" }, "bad registry name" },
      { { "container", "web", "--memory", "lots" }, "bad --memory 'lots'" },
      { { "container", "web", "--memory", "1.5q" }, "bad --memory" },
      { { "container", "web", "--options", "-e A=1 --ulimit nofile" },
        "in --options: bad --ulimit 'nofile'" },
      { { "container", "web", "--options", "-e A\\d" }, "bad --options" },
      { { "container", "web", "--cpuset-cpus", "0-" }, "bad --cpuset-cpus" },
      { { "container", "web", "--restart", "sometimes" }, "bad --restart" },
      { { "container", "web", "--poll-interval", "0" }, "bad --poll-interval" },
      { { "container", "web", "--poll-interval", "70000" }, "bad --poll-interval" },
      { { "container", "web", "--volume", "/data" }, "bad --volume '/data'" },
      { { "container", "web", "--volume", "data:/data" }, "host path must be an absolute path" },
      { { "container", "web", "--volume", "/d:/x:rx" }, "bad --volume" },
      { { "container", "web", "--image", "a", "--image", "b" }, "--image given twice" },
      { { "container", "web", "--enable", "--disable" }, "not both" },
      { { "container", "web", "--tty", "--no-tty" }, "not both" },
      { { "container", "web", "--delete", "--image", "x" }, "--delete takes no other option" },
      { { "container", "-bad" }, "bad container name" },
      { { "container", ".web" }, "bad container name" },
      { { "container", "w" }, "bad container name 'w': two or more" },
      { { "container", "web", "--frobnicate" }, "unknown option --frobnicate" },
      { { "profile", "base", "--enable" }, "unknown option --enable" },
   };
   for ( auto const & c : cases ) {
      EXPECT_EQ( quyctl( c.args ), kUsage ) << ( c.args.empty() ? "" : c.args[ 0 ] );
      EXPECT_NE( err_.str().find( c.says ), String::npos ) << err_.str();
   }
   EXPECT_EQ( connects_, 0 ) << "refused input never reaches the database";
   EXPECT_EQ( dbsize(), 0u );
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
   ASSERT_EQ( quyctl( { "container", "web", "--volume", "/srv:/srv" } ), kOk );
   EXPECT_EQ( nlohmann::json::parse( *hget( key, "bindMount" ) ).size(), 1u );

   ASSERT_EQ( quyctl( { "profile", "base", "--memory", "32m" } ), kOk ) << err_.str();
   EXPECT_NE( hget( "quayd/container/profileConfig|base", "params" )->find( "32m" ), String::npos );
   ASSERT_EQ( quyctl( { "container", "web", "--profile", "base" } ), kOk );
   EXPECT_EQ( hget( key, "profile" ), "base" );

   ASSERT_EQ( quyctl( { "container", "web", "--delete" } ), kOk );
   EXPECT_FALSE( server_.client().exists( key ) );
}

TEST_F( QuyctlTest, ShowContainersAndOneContainer ) {
   auto c = server_.client();
   c.command( { "HSET", "cell/0/quayd/container/status|web", "name", "web", "state",
                "containerStartFailed_", "params", R"({"image":"bb:1"})", "startAttempts", "3",
                "lastError", "no such image" } );
   c.command( { "HSET", "quayd/container/config|web", "enabled", "true", "profile", "base" } );
   ASSERT_EQ( quyctl( { "show", "containers" } ), kOk ) << err_.str();
   EXPECT_NE( out_.str().find( "base (missing)" ), String::npos ) << out_.str();
   c.command( { "HSET", "quayd/container/profileConfig|base", "enabled", "false" } );
   ASSERT_EQ( quyctl( { "show", "containers" } ), kOk ) << err_.str();
   EXPECT_EQ( out_.str().find( "(missing)" ), String::npos ) << out_.str();
   EXPECT_NE( out_.str().find( "NAME" ), String::npos ) << out_.str();
   EXPECT_NE( out_.str().find( "web" ), String::npos );
   EXPECT_NE( out_.str().find( "containerStartFailed_" ), String::npos );
   EXPECT_NE( out_.str().find( "bb:1" ), String::npos );
   EXPECT_NE( out_.str().find( "no such image" ), String::npos );
   EXPECT_EQ( out_.str().find( "Registries" ), String::npos ) << "only the containers";

   ASSERT_EQ( quyctl( { "show", "container", "web", "--json" } ), kOk );
   auto j = nlohmann::json::parse( out_.str() );
   EXPECT_EQ( j[ "status" ][ "startAttempts" ], 3 );
   EXPECT_EQ( j[ "config" ][ "enabled" ], true );
   EXPECT_EQ( quyctl( { "show", "container", "nosuch" } ), kFailed );
   EXPECT_NE( err_.str().find( "no container 'nosuch'" ), String::npos );
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

// The daemon's side beside the agent's: a container the daemon restarts by
// itself, one it does not have, and a daemon that cannot be asked.
TEST_F( QuyctlTest, ShowContainersTellsWhatTheDaemonReports ) {
   auto c = server_.client();
   for ( char const * name : { "web", "db" } ) {
      c.command( { "HSET", String( "cell/0/quayd/container/status|" ) + name, "name", name, "state",
                   "containerRunning_" } );
   }
   std::optional< std::map< String, String > > states =
      std::map< String, String >{ { "web", "restarting" }, { "other", "running" } };
   daemon_ = [ & ] { return states; };
   auto lineOf = [ & ]( String const & name ) {
      std::istringstream lines( out_.str() );
      for ( String l; std::getline( lines, l ); ) {
         if ( l.rfind( name + " ", 0 ) == 0 ) {
            return l;
         }
      }
      return String();
   };
   ASSERT_EQ( quyctl( { "show", "containers" } ), kOk ) << err_.str();
   EXPECT_NE( out_.str().find( "DAEMON" ), String::npos ) << out_.str();
   EXPECT_NE( lineOf( "web" ).find( "restarting" ), String::npos ) << out_.str();
   EXPECT_NE( lineOf( "db" ).find( "absent" ), String::npos ) << out_.str();
   ASSERT_EQ( quyctl( { "show", "containers", "--json" } ), kOk );
   auto j = nlohmann::json::parse( out_.str() )[ "cell/0/quayd/container/status" ][ "elements" ];
   EXPECT_EQ( j[ "web" ][ "daemon" ], "restarting" );
   EXPECT_EQ( j[ "db" ][ "daemon" ], "absent" );
   EXPECT_EQ( j[ "web" ][ "state" ], "containerRunning_" );

   states.reset();
   ASSERT_EQ( quyctl( { "show", "containers" } ), kOk );
   EXPECT_NE( lineOf( "web" ).find( " ? " ), String::npos ) << out_.str();
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
   EXPECT_NE( out_.str().find( "vrfUsable     true" ), String::npos ) << out_.str();
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

   ASSERT_EQ(
      quyctl( { "set", "quayd/registry/config|local",
                R"(params={"server":"127.0.0.1:5000","username":"ops","password":"hunter2"})" } ),
      kOk )
      << err_.str();
   ASSERT_EQ( quyctl( { "get", "quayd/registry/config" } ), kOk );
   EXPECT_NE( out_.str().find( "local" ), String::npos ) << out_.str();
   EXPECT_EQ( out_.str().find( "hunter2" ), String::npos ) << out_.str();
   EXPECT_EQ( hget( "quayd/registry/config|local", "params" )->find( "hunter2" ) != String::npos,
              true );
   c.command( { "HSET", "cell/0/quayd/registry/status|local", "params",
                R"({"server":"127.0.0.1:5000","username":"ops","password":"hunter2"})", "state",
                "loggedIn" } );
   for ( auto const & args : std::vector< std::vector< String > >{
            { "show", "registries" }, { "show", "registries", "--json" }, { "show" } } ) {
      ASSERT_EQ( quyctl( args ), kOk );
      EXPECT_NE( out_.str().find( "loggedIn" ), String::npos ) << out_.str();
      EXPECT_EQ( out_.str().find( "hunter2" ), String::npos ) << out_.str();
   }
}

// With the credential store of a real quyctl: the password goes to a
// root-only file, the database holds only its name, and files nobody names
// any more are removed.
class QuyctlCredentialTest : public QuyctlTest {
 protected:
   QuyctlCredentialTest() { credentialStoreIs( &store_ ); }
   ~QuyctlCredentialTest() override {
      credentialStoreIs( nullptr );
      std::filesystem::remove_all( dir_ );
   }
   std::set< String > files() {
      std::set< String > names;
      for ( auto const & e : std::filesystem::directory_iterator( store_.dir() ) ) {
         names.insert( e.path().filename() );
      }
      return names;
   }
   // Every key and field of the database, as one text.
   String dump() {
      String all;
      auto c = server_.client();
      for ( auto const & key : c.scan( "*" ) ) {
         for ( auto const & [ f, v ] : c.hgetall( key ) ) {
            all += key + " " + f + " " + v + "\n";
         }
      }
      return all;
   }
   mode_t modeOf( String const & path ) {
      struct stat st {};
      EXPECT_EQ( stat( path.c_str(), &st ), 0 ) << path;
      return st.st_mode & 07777;
   }

   String dir_ =
      std::filesystem::temp_directory_path() / ( "quyctl-cred-" + std::to_string( getpid() ) );
   CredentialStore store_{ dir_ + "/credentials" };
};

TEST_F( QuyctlCredentialTest, PasswordsLiveInRootOnlyFilesNotInTheDatabase ) {
   in_.str( "s3cret\n" );
   ASSERT_EQ( quyctl( { "registry", "lab", "--server", "127.0.0.1:5000", "--username", "ops",
                        "--password-stdin" } ),
              kOk )
      << err_.str();
   ASSERT_EQ( files().size(), 1u );
   String const first = *files().begin();
   EXPECT_EQ( modeOf( store_.dir() ), 0700u );
   EXPECT_EQ( modeOf( store_.dir() + "/" + first ), 0600u );
   EXPECT_EQ( readFile( store_.dir() + "/" + first ), "s3cret" );
   EXPECT_EQ( hget( "quayd/registry/config|lab", "params" ),
              R"({"credential":")" + first +
                 R"(","insecure":false,"server":"127.0.0.1:5000","username":"ops"})" );

   // A plain password written with set is kept the same way.
   ASSERT_EQ( quyctl( { "set", "quayd/registry/config|other",
                        R"(params={"server":"r:5000","username":"u","password":"hunter2"})" } ),
              kOk )
      << err_.str();
   EXPECT_EQ( files().size(), 2u );
   String const db = dump();
   EXPECT_EQ( db.find( "s3cret" ), String::npos ) << db;
   EXPECT_EQ( db.find( "hunter2" ), String::npos ) << db;

   // A new password replaces the file; the old one goes unless status names it.
   server_.client().command( { "HSET", "cell/0/quayd/registry/status|lab", "params",
                               *hget( "quayd/registry/config|lab", "params" ), "state",
                               "loggedIn" } );
   in_.str( "n3w\n" );
   ASSERT_EQ( quyctl( { "registry", "lab", "--server", "127.0.0.1:5000", "--username", "ops",
                        "--password-stdin" } ),
              kOk );
   EXPECT_EQ( files().size(), 3u ) << "the status still names the old password";
   server_.client().command( { "DEL", "cell/0/quayd/registry/status|lab" } );
   ASSERT_EQ( quyctl( { "registry", "other", "--delete" } ), kOk );
   ASSERT_EQ( files().size(), 1u );
   EXPECT_EQ( readFile( store_.dir() + "/" + *files().begin() ), "n3w" );
   ASSERT_EQ( quyctl( { "registry", "lab", "--delete" } ), kOk );
   EXPECT_TRUE( files().empty() );
}

TEST_F( QuyctlCredentialTest, AStoreThatCannotBeWrittenWritesNothing ) {
   credentialStoreIs( nullptr );
   CredentialStore broken( "/proc/no-such-dir/credentials" );
   credentialStoreIs( &broken );
   in_.str( "s3cret\n" );
   EXPECT_EQ( quyctl(
                 { "registry", "lab", "--server", "r", "--username", "ops", "--password-stdin" } ),
              kFailed );
   EXPECT_NE( err_.str().find( "/proc/no-such-dir/credentials" ), String::npos ) << err_.str();
   EXPECT_EQ( dbsize(), 0u );
}

// The value carries the password's name only; encoding and decoding never
// touch the store, and only a name of the store's form decodes.
TEST( RegistryParamsText, CarriesTheCredentialNameAndNeverThePassword ) {
   RegistryParams p{ "r:5000", "ops", "", false, String( 32, 'a' ) };
   String const text = Codec< RegistryParams >::encode( p );
   EXPECT_EQ( text, R"({"credential":")" + p.credential +
                       R"(","insecure":false,"server":"r:5000","username":"ops"})" );
   RegistryParams back;
   EXPECT_FALSE( Codec< RegistryParams >::decode( text, back ) );
   EXPECT_EQ( back, p );
   for ( char const * bad : { R"({"credential":"../../etc/shadow"})", R"({"credential":7})" } ) {
      EXPECT_TRUE( Codec< RegistryParams >::decode( bad, back ) ) << bad;
   }
}

} // namespace
} // namespace Quayd::Quyctl
