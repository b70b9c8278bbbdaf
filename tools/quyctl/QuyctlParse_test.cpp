// quyctl's command lines as a table of inputs and outcomes; no server.
#include <gtest/gtest.h>

#include <sstream>

#include "tools/quyctl/Quyctl.h"

namespace Quayd::Quyctl {
namespace {

// The command line alone, without a server: what is refused (status 2,
// nothing connected), what is accepted (it goes on to connect) and what
// prints help.
TEST( QuyctlParse, EachCommandLineHasItsOutcome ) {
   constexpr int kAccepted = -1;
   struct Case {
      std::vector< String > args;
      int outcome;
      char const * says; // on stderr when refused, on stdout for help
   } const cases[] = {
      { {}, kUsage, "Usage: quyctl" },
      { { "frobnicate" }, kUsage, "unknown command 'frobnicate'" },
      { { "--help" }, kOk, "Exit status: 0 done" },
      { { "help" }, kOk, "containerz" },
      { { "help", "container" }, kOk, "--memory" },
      { { "help", "nosuch" }, kUsage, "no command 'nosuch'" },
      { { "container", "--help" }, kOk, "Example:" },
      { { "daemon", "enable", "--help" }, kOk, "SIZE" },
      { { "--version" }, kOk, QUAYD_VERSION },
      { { "daemon" }, kUsage, "subcommand" },
      { { "daemon", "enable" }, kAccepted, "" },
      { { "daemon", "enable", "--on-flash", "--flash-limit", "2G" }, kAccepted, "" },
      { { "daemon", "enable", "--flash-limit", "lots", "--on-flash" },
        kUsage,
        "bad --flash-limit 'lots'" },
      { { "daemon", "enable", "--flash-limit", "1G" }, kUsage, "--flash-limit needs --on-flash" },
      { { "daemon", "enable", "--flash-limit" }, kUsage, "--flash-limit" },
      { { "daemon", "disable", "--on-flash" }, kUsage, "--on-flash" },
      { { "daemon", "disable", "--dry-run" }, kAccepted, "" },
      { { "containerz" }, kAccepted, "" },
      { { "containerz", "--log-driver", "journald" }, kUsage, "journald" },
      { { "containerz", "--syslog-server", "udp://h:1" },
        kUsage,
        "--syslog-server needs --log-driver syslog" },
      { { "containerz", "--log-driver", "none", "--syslog-server", "udp://h:1" },
        kUsage,
        "--syslog-server needs --log-driver syslog" },
      { { "containerz", "--vrf", String( 101, 'v' ) }, kUsage, "longer than 100" },
      { { "containerz", "--delete", "--vrf", "red" }, kUsage, "--delete takes no other option" },
      { { "containerz", "--grpc-port", "0" }, kUsage, "--grpc-port" },
      { { "containerz", "--grpc-port", "9339", "--tls-cert", "c.pem" },
        kUsage,
        "must be an absolute path" },
      { { "containerz", "--grpc-port", "9339", "--grpc-address", "0.0.0.0", "--tls-cert", "/c.pem",
          "--tls-key", "/k.pem", "--tls-ca", "/ca.pem" },
        kAccepted,
        "" },
      { { "vrf", "red" }, kUsage, "give one of --active, --inactive and --delete" },
      { { "vrf", "red", "--active", "--delete" }, kUsage, "give one of" },
      { { "vrf", "red", "", "--x" }, kUsage, "" },
      { { "vrf", "red", "--active" }, kAccepted, "" },
      { { "set", "no/such/path", "a=b" }, kUsage, "unknown path 'no/such/path'" },
      { { "set", "quayd/config" }, kUsage, "fields" },
      { { "set", "quayd/config", "enabled" }, kUsage, "'enabled' is not FIELD=VALUE" },
      { { "set", "quayd/config", "colour=red" },
        kUsage,
        "quayd/config has no field 'colour' (fields: enabled" },
      { { "set", "quayd/config", "enabled=true", "flashLimit=-5" },
        kUsage,
        "field flashLimit: not a valid" },
      { { "set", "cell/0/quayd/status", "state=started_" },
        kUsage,
        "is status that the agent writes" },
      { { "set", "quayd/config", "enabled=true" }, kAccepted, "" },
      { { "delete", "cell/0/quayd/status" }, kUsage, "is status that the agent writes" },
      { { "delete", "quayd/container/config|web" }, kAccepted, "" },
      { { "get", "no/such/path" }, kUsage, "unknown path" },
      { { "get", "cell/0/quayd/status" }, kAccepted, "" },
      { { "show", "--yaml" }, kUsage, "--yaml" },
      { { "show", "everything" }, kUsage, "everything" },
      { { "show" }, kAccepted, "" },
      { { "show", "containers", "--json" }, kAccepted, "" },
      { { "show", "--json", "containers" }, kAccepted, "" },
      { { "show", "container" }, kUsage, "name" },
      { { "show", "container", "web" }, kAccepted, "" },
      { { "image", "load", "relative.tar" }, kUsage, "must be an absolute path" },
      { { "image", "load" }, kUsage, "path" },
      { { "image", "load", "/mnt/flash/a.tar", "--delete" }, kAccepted, "" },
      { { "image", "persistent-path", "flash" }, kUsage, "must be an absolute path" },
      { { "registry", "rr" }, kUsage, "registry needs --server" },
      { { "registry", "rr", "--server", "https://r:5000" }, kUsage, "no scheme" },
      { { "registry", "rr", "--server", "r:5000", "--password", "x" },
        kUsage,
        "a password needs --username" },
      { { "registry", "rr", "--server", "r", "--username", "u", "--password", "p",
          "--password-stdin" },
        kUsage,
        "excludes" },
      { { "registry", "a|b", "--server", "r" }, kUsage, "bad registry name" },
      { { "registry", "rr", "--delete", "--server", "r" }, kUsage, "not --server" },
      { { "registry", "rr", "--server", "r:5000", "--insecure" }, kAccepted, "" },
      { { "container", "web", "--memory", "lots" }, kUsage, "bad --memory 'lots'" },
      { { "container", "web", "-m", "1.5q" }, kUsage, "bad --memory" },
      { { "container", "web", "--memory", "" }, kAccepted, "" },
      { { "container", "web", "--options", "-e A=1 --ulimit nofile" },
        kUsage,
        "in --options: bad --ulimit 'nofile'" },
      { { "container", "web", "--options", "-e A\\d" }, kUsage, "bad --options" },
      { { "container", "web", "--options", "--label-file /dev/null" }, kAccepted, "" },
      { { "container", "web", "--cpuset-cpus", "0-" }, kUsage, "bad --cpuset-cpus" },
      { { "container", "web", "--cpu-shares", "x" }, kUsage, "bad --cpu-shares" },
      { { "container", "web", "--restart", "sometimes" }, kUsage, "bad --restart" },
      { { "container", "web", "--poll-interval", "0" }, kUsage, "--poll-interval" },
      { { "container", "web", "--poll-interval", "70000" }, kUsage, "--poll-interval" },
      { { "container", "web", "--volume", "/data" }, kUsage, "bad --volume '/data'" },
      { { "container", "web", "--volume", "data:/data" },
        kUsage,
        "host path must be an absolute path" },
      { { "container", "web", "--volume", "/d:/x:rx" }, kUsage, "bad --volume" },
      { { "container", "web", "--image", "a", "--image", "b" }, kUsage, "--image" },
      { { "container", "web", "--enable", "--disable" }, kUsage, "excludes" },
      { { "container", "web", "--tty", "--no-tty" }, kUsage, "excludes" },
      { { "container", "web", "--restart-unhealthy", "--no-restart-unhealthy" },
        kUsage,
        "excludes" },
      { { "profile", "base", "--restart-unhealthy" }, kUsage, "--restart-unhealthy" },
      { { "container", "web", "--delete", "--image", "x" },
        kUsage,
        "--delete takes no other option, not --image" },
      { { "profile", "base", "--delete", "--no-tty" }, kUsage, "not --no-tty" },
      { { "container", "web", "--delete", "--dry-run" }, kAccepted, "" },
      { { "container", "-bad" }, kUsage, "name is required" },
      { { "container", ".web" }, kUsage, "bad container name" },
      { { "container", "w" }, kUsage, "bad container name 'w': two or more" },
      { { "container", "web", "--frobnicate" }, kUsage, "--frobnicate" },
      { { "container", "web", "--image", "bb:1", "-t", "--privileged", "-v", "/a:/b:ro", "-v",
          "/c:/d", "--restart", "on-failure:3", "--network", "none", "--profile", "base",
          "--dry-run" },
        kAccepted,
        "" },
      { { "profile", "base", "--enable" }, kUsage, "--enable" },
      { { "profile", "base", "--memory", "32m", "--no-init" }, kAccepted, "" },
      { { "--redis", "/run/redis.sock", "show" }, kAccepted, "" },
      { { "wait", "web" }, kUsage, "--state is required" },
      { { "wait", "web", "--state", "up" }, kUsage, "up" },
      { { "wait", "web", "--state", "containerRunning_", "--timeout", "-1" }, kUsage, "--timeout" },
      { { "wait", "web", "--state", "containerRunning_", "--timeout", "2.5" }, kAccepted, "" },
      { { "logs" }, kUsage, "name is required" },
      { { "logs", "web", "--tail", "x" }, kUsage, "--tail" },
      { { "logs", "web", "-f", "-n", "10" }, kAccepted, "" },
   };
   for ( auto const & c : cases ) {
      std::ostringstream out, err;
      std::istringstream in( "pw\n" );
      int connects = 0;
      int const code = run(
         c.args,
         [ & ]( std::optional< String > const & ) -> std::unique_ptr< Redis::Connection > {
            ++connects;
            throw Redis::Error( "no server in this test" );
         },
         out, err, in );
      String line;
      for ( auto const & a : c.args ) {
         line += a + " ";
      }
      if ( c.outcome == kAccepted ) {
         EXPECT_EQ( connects, 1 ) << line << err.str();
         EXPECT_EQ( code, kFailed ) << line;
         continue;
      }
      EXPECT_EQ( code, c.outcome ) << line << err.str();
      EXPECT_EQ( connects, 0 ) << line;
      String const & text = c.outcome == kOk ? out.str() : err.str();
      EXPECT_NE( text.find( c.says ), String::npos ) << line << "\n" << text;
   }
}

} // namespace
} // namespace Quayd::Quyctl
