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

struct CheckCase {
   char const * flag;
   char const * value;
   bool good;
};
class OptionChecks : public ::testing::TestWithParam< CheckCase > {};

TEST_P( OptionChecks, AcceptOrNameTheFlagAndAGoodValue ) {
   auto const & c = GetParam();
   auto err = optionValueError( row( c.flag ), c.value );
   EXPECT_EQ( !err, c.good ) << c.flag << " " << c.value;
   if ( err ) {
      EXPECT_EQ( err->rfind( "bad --" + String( c.flag ) + " '" + c.value + "': ", 0 ), 0u )
         << *err;
   }
}

INSTANTIATE_TEST_SUITE_P(
   Table, OptionChecks,
   ::testing::Values(
      CheckCase{ "memory", "512m", true }, CheckCase{ "memory", "1.5g", true },
      CheckCase{ "memory", "1024", true }, CheckCase{ "memory", "lots", false },
      CheckCase{ "memory", "64x", false }, CheckCase{ "cpu-shares", "x", false },
      CheckCase{ "restart", "on-failure:3", true }, CheckCase{ "restart", "sometimes", false },
      CheckCase{ "health-interval", "1m30s", true }, CheckCase{ "health-interval", "30", false },
      CheckCase{ "health-interval", "5sx", false },
      CheckCase{ "sysctl", "net.core.somaxconn", false },
      CheckCase{ "add-host", "db:10.0.0.2", true }, CheckCase{ "add-host", "db", false },
      CheckCase{ "pids-limit", "-1", true }, CheckCase{ "ulimit", "nofile=1024:2048", true },
      CheckCase{ "ulimit", "nofile", false },
      // Past 64 bits: refused, never converted.
      CheckCase{ "memory", "8388608t", false }, CheckCase{ "memory", "8388607t", true },
      CheckCase{ "memory", "99999999999999999999", false },
      CheckCase{ "health-interval", "2562048h", false },
      CheckCase{ "health-interval", "2562047h", true }, CheckCase{ "cpus", "99999999999", false },
      CheckCase{ "cpus", "64.5", true } ) );

struct WordsCase {
   std::vector< String > words;
   std::vector< std::pair< String, String > > known;
   String unknown;
};
class OptionWords : public ::testing::TestWithParam< WordsCase > {};

TEST_P( OptionWords, AreTakenAsTheClientTakesThem ) {
   auto const parsed = parseOptionWords( GetParam().words );
   std::vector< std::pair< String, String > > known;
   for ( auto const & [ r, v ] : parsed.known ) {
      known.emplace_back( r->flag, v );
   }
   EXPECT_EQ( known, GetParam().known );
   EXPECT_EQ( parsed.unknown, GetParam().unknown );
}

INSTANTIATE_TEST_SUITE_P(
   Table, OptionWords,
   ::testing::Values(
      WordsCase{
         { "--env", "A=1", "--hostname=box" }, { { "env", "A=1" }, { "hostname", "box" } }, "" },
      WordsCase{ { "-e", "A=1", "-m64m", "-p=80" },
                 { { "env", "A=1" }, { "memory", "64m" }, { "publish", "80" } },
                 "" },
      WordsCase{ { "-it", "--init", "--privileged=false" },
                 { { "interactive", "true" },
                   { "tty", "true" },
                   { "init", "true" },
                   { "privileged", "false" } },
                 "" },
      WordsCase{ { "--env", "A=1", "--label-file", "x", "--env", "B=2" },
                 { { "env", "A=1" } },
                 "--label-file" },
      WordsCase{ { "-itX" }, { { "interactive", "true" }, { "tty", "true" } }, "-X" },
      WordsCase{ { "--memory" }, {}, "--memory" }, WordsCase{ { "stray" }, {}, "stray" } ) );

TEST( ContainerOptionsTest, StructuredParametersBecomeSettingsInTableOrder ) {
   json fields = { { "image", "bb:1" },          { "init", 1 },        { "memory", "64m" },
                   { "cpuShares", 0 },           { "networking", "" }, { "tty", 0 },
                   { "restartPolicy", "always" } };
   using Settings = std::vector< std::pair< String, String > >;
   EXPECT_EQ( fieldSettings( fields ),
              ( Settings{ { "memory", "64m" }, { "restart", "always" }, { "init", "true" } } ) );
}

struct LandCase {
   char const * flag;
   char const * value;
   char const * body; // what the create body holds afterwards
};
class OptionLanding : public ::testing::TestWithParam< LandCase > {};

// What a bare `--env NAME` reads: the environment handed down, never the process's.
Environment const kEnvironment{ { "FROM_AGENT", "x=1" } };

TEST_P( OptionLanding, PutsTheValueWhereTheApiWantsIt ) {
   json body = json::object();
   ASSERT_TRUE( landOption( body, row( GetParam().flag ), GetParam().value, kEnvironment ) );
   EXPECT_EQ( body, json::parse( GetParam().body ) ) << body.dump();
}

INSTANTIATE_TEST_SUITE_P(
   Table, OptionLanding,
   ::testing::Values(
      LandCase{ "memory", "64m", R"({"HostConfig":{"Memory":67108864}})" },
      LandCase{ "memory", "1.5k", R"({"HostConfig":{"Memory":1536}})" },
      LandCase{ "cpu-shares", "512", R"({"HostConfig":{"CpuShares":512}})" },
      LandCase{ "tty", "true", R"({"Tty":true})" },
      LandCase{ "env", "FROM_AGENT", R"({"Env":["FROM_AGENT=x=1"]})" },
      LandCase{ "env", "UNSET", R"({"Env":["UNSET"]})" },
      LandCase{ "restart", "on-failure:3",
                R"({"HostConfig":{"RestartPolicy":{"Name":"on-failure","MaximumRetryCount":3}}})" },
      LandCase{ "env", "A=1", R"({"Env":["A=1"]})" },
      LandCase{ "label", "tier", R"({"Labels":{"tier":""}})" },
      LandCase{ "log-opt", "max-size=10m",
                R"({"HostConfig":{"LogConfig":{"Config":{"max-size":"10m"}}}})" },
      LandCase{ "health-interval", "1m30s", R"({"Healthcheck":{"Interval":90000000000}})" },
      LandCase{ "health-cmd", "true", R"({"Healthcheck":{"Test":["CMD-SHELL","true"]}})" },
      LandCase{
         "publish", "127.0.0.1:8080:80",
         R"({"ExposedPorts":{"80/tcp":{}},"HostConfig":{"PortBindings":{"80/tcp":[{"HostIp":"127.0.0.1","HostPort":"8080"}]}}})" },
      LandCase{
         "publish", "8080:80",
         R"({"ExposedPorts":{"80/tcp":{}},"HostConfig":{"PortBindings":{"80/tcp":[{"HostIp":"","HostPort":"8080"}]}}})" },
      LandCase{
         "publish", "53/udp",
         R"({"ExposedPorts":{"53/udp":{}},"HostConfig":{"PortBindings":{"53/udp":[{"HostIp":"","HostPort":""}]}}})" },
      LandCase{
         "device", "/dev/fuse:r",
         R"({"HostConfig":{"Devices":[{"PathOnHost":"/dev/fuse","PathInContainer":"/dev/fuse","CgroupPermissions":"r"}]}})" },
      LandCase{ "ulimit", "nofile=1024",
                R"({"HostConfig":{"Ulimits":[{"Name":"nofile","Soft":1024,"Hard":1024}]}})" },
      LandCase{ "volume", "/data", R"({"Volumes":{"/data":{}}})" },
      LandCase{ "volume", "/a:/b:ro", R"({"HostConfig":{"Binds":["/a:/b:ro"]}})" },
      LandCase{
         "mount", "type=tmpfs,target=/t,tmpfs-size=1m",
         R"({"HostConfig":{"Mounts":[{"Type":"tmpfs","Target":"/t","TmpfsOptions":{"SizeBytes":1048576}}]}})" },
      LandCase{ "tmpfs", "/run", R"({"HostConfig":{"Tmpfs":{"/run":""}}})" },
      LandCase{ "cpus", "0.5", R"({"HostConfig":{"NanoCpus":500000000}})" },
      LandCase{ "entrypoint", "/bin/sh", R"({"Entrypoint":["/bin/sh"]})" },
      LandCase{ "detach", "true", R"({})" } ) );

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
