// The option table: value checks, the words of a command line, the
// structured parameters as settings, and where each kind of value lands.
#include "platform/ContainerOptions.h"

#include <set>

#include <gtest/gtest.h>

namespace Quayd {
namespace {

using nlohmann::json;

ContainerOption const & row( char const * flag ) {
   auto const * r = findOption( flag );
   EXPECT_TRUE( r ) << flag;
   return *r;
}

TEST( ContainerOptionsTest, EveryRowIsNamedOnceAndItsTestValuePassesItsCheck ) {
   std::set< String > flags;
   std::set< char > letters;
   for ( auto const & r : containerOptions() ) {
      EXPECT_TRUE( flags.insert( r.flag ).second ) << r.flag;
      EXPECT_TRUE( !r.shortFlag || letters.insert( r.shortFlag ).second ) << r.flag;
      EXPECT_EQ( optionValueError( r, r.takesValue() ? r.testValue : "true" ), std::nullopt );
      EXPECT_EQ( r.kind == OptionKind::special, r.land != nullptr && r.takesValue() ) << r.flag;
      EXPECT_EQ( String( r.testValue ).find( '|' ), String::npos ) << "quayd-options --rows";
   }
}

TEST( ContainerOptionsTest, ChecksAcceptOrNameTheFlagAndTheValue ) {
   struct {
      char const * flag;
      char const * value;
      bool good;
   } const cases[] = {
      { "memory", "512m", true },
      { "memory", "1.5g", true },
      { "memory", "1024", true },
      { "memory", "lots", false },
      { "memory", "64x", false },
      { "cpu-shares", "x", false },
      { "restart", "on-failure:3", true },
      { "restart", "sometimes", false },
      { "health-interval", "1m30s", true },
      { "health-interval", "30", false },
      { "health-interval", "5sx", false },
      { "sysctl", "net.core.somaxconn", false },
      { "add-host", "db:10.0.0.2", true },
      { "add-host", "db", false },
      { "pids-limit", "-1", true },
      { "ulimit", "nofile=1024:2048", true },
      { "ulimit", "nofile", false },
      // Past 64 bits: refused, never converted.
      { "memory", "8388608t", false },
      { "memory", "8388607t", true },
      { "memory", "99999999999999999999", false },
      { "health-interval", "2562048h", false },
      { "health-interval", "2562047h", true },
      { "cpus", "99999999999", false },
      { "cpus", "64.5", true },
   };
   for ( auto const & c : cases ) {
      auto err = optionValueError( row( c.flag ), c.value );
      EXPECT_EQ( !err, c.good ) << c.flag << " " << c.value;
      if ( err ) {
         EXPECT_EQ( err->rfind( "bad --" + String( c.flag ) + " '" + c.value + "': ", 0 ), 0u )
            << *err;
      }
   }
}

TEST( ContainerOptionsTest, WordsAreTakenAsTheClientTakesThem ) {
   using Known = std::vector< std::pair< String, String > >;
   struct {
      std::vector< String > words;
      Known known;
      String unknown;
   } const cases[] = {
      { { "--env", "A=1", "--hostname=box" }, { { "env", "A=1" }, { "hostname", "box" } }, "" },
      { { "-e", "A=1", "-m64m", "-p=80" },
        { { "env", "A=1" }, { "memory", "64m" }, { "publish", "80" } },
        "" },
      { { "-it", "--init", "--privileged=false" },
        { { "interactive", "true" },
          { "tty", "true" },
          { "init", "true" },
          { "privileged", "false" } },
        "" },
      { { "--env", "A=1", "--label-file", "x", "--env", "B=2" },
        { { "env", "A=1" } },
        "--label-file" },
      { { "-itX" }, { { "interactive", "true" }, { "tty", "true" } }, "-X" },
      { { "--memory" }, {}, "--memory" },
      { { "stray" }, {}, "stray" },
   };
   for ( auto const & c : cases ) {
      auto const parsed = parseOptionWords( c.words );
      Known known;
      for ( auto const & [ r, v ] : parsed.known ) {
         known.emplace_back( r->flag, v );
      }
      EXPECT_EQ( known, c.known ) << c.words[ 0 ];
      EXPECT_EQ( parsed.unknown, c.unknown ) << c.words[ 0 ];
   }
}

TEST( ContainerOptionsTest, StructuredParametersBecomeSettingsInTableOrder ) {
   json fields = { { "image", "bb:1" },          { "init", 1 },        { "memory", "64m" },
                   { "cpuShares", 0 },           { "networking", "" }, { "tty", 0 },
                   { "restartPolicy", "always" } };
   using Settings = std::vector< std::pair< String, String > >;
   EXPECT_EQ( fieldSettings( fields ),
              ( Settings{ { "memory", "64m" }, { "restart", "always" }, { "init", "true" } } ) );
}

// What a bare `--env NAME` reads: the environment handed down, never the process's.
Environment const kEnvironment{ { "FROM_AGENT", "x=1" } };

TEST( ContainerOptionsTest, EachValueLandsWhereTheApiWantsIt ) {
   struct {
      char const * flag;
      char const * value;
      char const * body; // what the create body holds afterwards
   } const cases[] = {
      { "memory", "64m", R"({"HostConfig":{"Memory":67108864}})" },
      { "memory", "1.5k", R"({"HostConfig":{"Memory":1536}})" },
      { "cpu-shares", "512", R"({"HostConfig":{"CpuShares":512}})" },
      { "tty", "true", R"({"Tty":true})" },
      { "restart", "on-failure:3",
        R"({"HostConfig":{"RestartPolicy":{"Name":"on-failure","MaximumRetryCount":3}}})" },
      { "env", "A=1", R"({"Env":["A=1"]})" },
      { "env", "FROM_AGENT", R"({"Env":["FROM_AGENT=x=1"]})" },
      { "env", "UNSET", R"({"Env":["UNSET"]})" },
      { "label", "tier", R"({"Labels":{"tier":""}})" },
      { "log-opt", "max-size=10m",
        R"({"HostConfig":{"LogConfig":{"Config":{"max-size":"10m"}}}})" },
      { "health-interval", "1m30s", R"({"Healthcheck":{"Interval":90000000000}})" },
      { "health-cmd", "true", R"({"Healthcheck":{"Test":["CMD-SHELL","true"]}})" },
      { "publish", "127.0.0.1:8080:80",
        R"({"ExposedPorts":{"80/tcp":{}},"HostConfig":{"PortBindings":{"80/tcp":[{"HostIp":"127.0.0.1","HostPort":"8080"}]}}})" },
      { "publish", "8080:80",
        R"({"ExposedPorts":{"80/tcp":{}},"HostConfig":{"PortBindings":{"80/tcp":[{"HostIp":"","HostPort":"8080"}]}}})" },
      { "publish", "53/udp",
        R"({"ExposedPorts":{"53/udp":{}},"HostConfig":{"PortBindings":{"53/udp":[{"HostIp":"","HostPort":""}]}}})" },
      { "device", "/dev/fuse:r",
        R"({"HostConfig":{"Devices":[{"PathOnHost":"/dev/fuse","PathInContainer":"/dev/fuse","CgroupPermissions":"r"}]}})" },
      { "ulimit", "nofile=1024",
        R"({"HostConfig":{"Ulimits":[{"Name":"nofile","Soft":1024,"Hard":1024}]}})" },
      { "volume", "/data", R"({"Volumes":{"/data":{}}})" },
      { "volume", "/a:/b:ro", R"({"HostConfig":{"Binds":["/a:/b:ro"]}})" },
      { "mount", "type=tmpfs,target=/t,tmpfs-size=1m",
        R"({"HostConfig":{"Mounts":[{"Type":"tmpfs","Target":"/t","TmpfsOptions":{"SizeBytes":1048576}}]}})" },
      { "tmpfs", "/run", R"({"HostConfig":{"Tmpfs":{"/run":""}}})" },
      { "cpus", "0.5", R"({"HostConfig":{"NanoCpus":500000000}})" },
      { "entrypoint", "/bin/sh", R"({"Entrypoint":["/bin/sh"]})" },
      { "detach", "true", R"({})" },
   };
   for ( auto const & c : cases ) {
      json body = json::object();
      ASSERT_TRUE( landOption( body, row( c.flag ), c.value, kEnvironment ) )
         << c.flag << " " << c.value;
      EXPECT_EQ( body, json::parse( c.body ) ) << c.flag << " " << c.value << ": " << body.dump();
   }
}

// Forms the agent does not translate go to the client, which knows them.
TEST( ContainerOptionsTest, FormsLeftToTheClientAreRefused ) {
   json body = json::object();
   EXPECT_FALSE( landOption( body, row( "publish" ), "8000-8001:80-81", kEnvironment ) );
   EXPECT_FALSE(
      landOption( body, row( "security-opt" ), "seccomp=/etc/profile.json", kEnvironment ) );
   EXPECT_FALSE(
      landOption( body, row( "mount" ), "type=volume,target=/v,volume-driver=x", kEnvironment ) );
   EXPECT_FALSE( landOption( body, row( "env-file" ), "/nonexistent/env", kEnvironment ) );
   EXPECT_FALSE( landOption( body, row( "memory" ), "lots", kEnvironment ) );
   EXPECT_EQ( body, json::object() );
}

} // namespace
} // namespace Quayd
