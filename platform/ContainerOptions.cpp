#include "platform/ContainerOptions.h"

#include <regex>

#include "platform/OptionValues.h"

namespace Quayd {

namespace {

using nlohmann::json;
using K = OptionKind;
using namespace OptionValues;

// A `needs` of the machines whose bounding set lacks no capability (a
// privileged container gets every one).
char const * const kAllCapabilities = "all-capabilities";
char const * const kWord = "[^\\s]+";
char const * const kKeyValue = "[^=\\s][^=]*=.*";
char const * const kLabel = "[^=\\s][^=]*(=.*)?";
char const * const kMode = "host|private|shareable|none|container:.+";

// clang-format off
ContainerOption const kOptions[] = {
   // The structured parameters, in the order of the run request.
   { .flag = "cpu-shares", .shortFlag = 'c', .kind = K::integer, .target = "HostConfig.CpuShares",
     .pattern = "[0-9]{1,9}", .hint = "a number of shares", .field = "cpuShares", .testValue = "512" },
   { .flag = "cpuset-cpus", .target = "HostConfig.CpusetCpus",
     .pattern = "[0-9]+(-[0-9]+)?(,[0-9]+(-[0-9]+)?)*", .hint = "CPUs like 0-1 or 0,2",
     .field = "cpuCores", .testValue = "0" },
   { .flag = "memory", .shortFlag = 'm', .kind = K::bytes, .target = "HostConfig.Memory",
     .hint = "a size like 512m or 1g", .field = "memory", .testValue = "64m" },
   { .flag = "network", .target = "HostConfig.NetworkMode", .pattern = kWord,
     .hint = "bridge, host, none or a network name", .field = "networking", .testValue = "none" },
   { .flag = "restart", .kind = K::special, .target = "HostConfig.RestartPolicy",
     .pattern = "no|always|unless-stopped|on-failure(:[0-9]+)?",
     .hint = "no, always, unless-stopped or on-failure[:N]", .field = "restartPolicy",
     .testValue = "on-failure:3", .land = landRestart },
   { .flag = "privileged", .kind = K::boolean, .target = "HostConfig.Privileged",
     .field = "privileged", .needs = kAllCapabilities },
   { .flag = "tty", .shortFlag = 't', .kind = K::boolean, .target = "Config.Tty", .field = "tty" },
   { .flag = "read-only", .kind = K::boolean, .target = "HostConfig.ReadonlyRootfs",
     .field = "readOnlyRootfs" },
   { .flag = "init", .kind = K::boolean, .target = "HostConfig.Init", .field = "init" },

   // Free-form options.
   { .flag = "env", .shortFlag = 'e', .kind = K::special, .target = "Config.Env",
     .pattern = "[^=\\s][^=]*(=.*)?", .hint = "NAME=VALUE, or NAME to pass the agent's",
     .testValue = "A=1", .land = landEnv },
   { .flag = "env-file", .kind = K::special, .target = "Config.Env", .pattern = ".+",
     .hint = "a file of NAME=VALUE lines", .testValue = "/run/options-test.env",
     .land = landEnvFile },
   { .flag = "publish", .shortFlag = 'p', .kind = K::special,
     .target = "HostConfig.PortBindings, Config.ExposedPorts",
     .pattern = "([0-9a-fA-F.:\\[\\]]+:)?([0-9-]*:)?[0-9-]+(/(tcp|udp|sctp))?",
     .hint = "[IP:][HOSTPORT:]PORT[/PROTO]", .testValue = "127.0.0.1:8080:80/tcp",
     .land = landPublish },
   { .flag = "expose", .kind = K::special, .target = "Config.ExposedPorts",
     .pattern = "[0-9]+(-[0-9]+)?(/(tcp|udp|sctp))?", .hint = "PORT[/PROTO]", .testValue = "8081",
     .land = landExpose },
   { .flag = "cap-add", .kind = K::list, .target = "HostConfig.CapAdd", .pattern = kWord,
     .hint = "a capability like NET_ADMIN", .testValue = "NET_ADMIN" },
   { .flag = "cap-drop", .kind = K::list, .target = "HostConfig.CapDrop", .pattern = kWord,
     .hint = "a capability like CHOWN", .testValue = "CHOWN" },
   { .flag = "device", .kind = K::special, .target = "HostConfig.Devices",
     .pattern = "/[^:]+(:[^:]+)?(:[rwm]+)?", .hint = "HOSTPATH[:CONTAINERPATH][:rwm]",
     .testValue = "/dev/fuse", .needs = "/dev/fuse", .land = landDevice },
   { .flag = "ulimit", .kind = K::special, .target = "HostConfig.Ulimits",
     .pattern = "[a-z]+=-?[0-9]+(:-?[0-9]+)?", .hint = "NAME=SOFT[:HARD]",
     .testValue = "nofile=1024:2048", .land = landUlimit },
   { .flag = "user", .shortFlag = 'u', .target = "Config.User", .pattern = kWord,
     .hint = "USER[:GROUP], names or numbers", .testValue = "1000:1000" },
   { .flag = "workdir", .shortFlag = 'w', .target = "Config.WorkingDir", .pattern = "/.*",
     .hint = "an absolute path", .testValue = "/tmp" },
   { .flag = "hostname", .shortFlag = 'h', .target = "Config.Hostname", .pattern = kWord,
     .hint = "a host name", .testValue = "box" },
   { .flag = "domainname", .target = "Config.Domainname", .pattern = kWord,
     .hint = "a domain name", .testValue = "example.org" },
   { .flag = "entrypoint", .kind = K::special, .target = "Config.Entrypoint",
     .hint = "a program, replacing the image's entry point", .testValue = "/bin/busybox",
     .land = landEntrypoint },
   { .flag = "label", .shortFlag = 'l', .kind = K::keyValue, .target = "Config.Labels",
     .pattern = kLabel, .hint = "KEY=VALUE or KEY", .testValue = "tier=web" },
   { .flag = "log-driver", .target = "HostConfig.LogConfig.Type", .pattern = kWord,
     .hint = "a log driver like json-file, syslog or none", .testValue = "none" },
   { .flag = "log-opt", .kind = K::keyValue, .target = "HostConfig.LogConfig.Config",
     .pattern = kKeyValue, .hint = "KEY=VALUE of the log driver", .testValue = "max-size=10m" },
   { .flag = "pid", .target = "HostConfig.PidMode", .pattern = "host|container:.+",
     .hint = "host or container:NAME", .testValue = "host" },
   { .flag = "ipc", .target = "HostConfig.IpcMode", .pattern = kMode,
     .hint = "host, private, shareable, none or container:NAME", .testValue = "host" },
   { .flag = "uts", .target = "HostConfig.UTSMode", .pattern = "host", .hint = "host",
     .testValue = "host" },
   { .flag = "userns", .target = "HostConfig.UsernsMode", .pattern = "host", .hint = "host",
     .testValue = "host" },
   { .flag = "cgroupns", .target = "HostConfig.CgroupnsMode", .pattern = "host|private",
     .hint = "host or private", .testValue = "private" },
   { .flag = "security-opt", .kind = K::special, .target = "HostConfig.SecurityOpt",
     .pattern = ".+", .hint = "no-new-privileges, apparmor=P, label=..., seccomp=unconfined",
     .testValue = "no-new-privileges", .land = landSecurityOpt },
   { .flag = "sysctl", .kind = K::keyValue, .target = "HostConfig.Sysctls", .pattern = kKeyValue,
     .hint = "NAME=VALUE", .testValue = "net.core.somaxconn=1024" },
   { .flag = "tmpfs", .kind = K::special, .target = "HostConfig.Tmpfs", .pattern = "/[^:]*(:.*)?",
     .hint = "PATH[:MOUNT-OPTIONS]", .testValue = "/scratch:size=1m", .land = landTmpfs },
   { .flag = "shm-size", .kind = K::bytes, .target = "HostConfig.ShmSize",
     .hint = "a size like 64m", .testValue = "128m" },
   { .flag = "health-cmd", .kind = K::special, .target = "Config.Healthcheck.Test",
     .pattern = ".+", .hint = "a shell command", .testValue = "true", .land = landHealthCmd },
   { .flag = "health-interval", .kind = K::duration, .target = "Config.Healthcheck.Interval",
     .hint = "a duration like 30s", .testValue = "5s" },
   { .flag = "health-timeout", .kind = K::duration, .target = "Config.Healthcheck.Timeout",
     .hint = "a duration like 3s", .testValue = "3s" },
   { .flag = "health-start-period", .kind = K::duration,
     .target = "Config.Healthcheck.StartPeriod", .hint = "a duration like 1m",
     .testValue = "2s" },
   { .flag = "health-retries", .kind = K::integer, .target = "Config.Healthcheck.Retries",
     .pattern = "[0-9]+", .hint = "a number", .testValue = "4" },
   { .flag = "no-healthcheck", .kind = K::boolean, .target = "Config.Healthcheck.Test",
     .land = landNoHealthcheck },
   { .flag = "stop-signal", .target = "Config.StopSignal", .pattern = "(SIG)?[A-Z0-9+-]+|[0-9]+",
     .hint = "a signal like SIGINT", .testValue = "SIGUSR1" },
   { .flag = "stop-timeout", .kind = K::integer, .target = "Config.StopTimeout",
     .hint = "seconds", .testValue = "5" },
   { .flag = "dns", .kind = K::list, .target = "HostConfig.Dns", .pattern = "[0-9a-fA-F.:]+",
     .hint = "an IP address", .testValue = "10.0.0.53" },
   { .flag = "dns-search", .kind = K::list, .target = "HostConfig.DnsSearch", .pattern = kWord,
     .hint = "a domain", .testValue = "example.net" },
   { .flag = "dns-option", .kind = K::list, .target = "HostConfig.DnsOptions", .pattern = kWord,
     .hint = "a resolver option like ndots:2", .testValue = "ndots:2" },
   { .flag = "add-host", .kind = K::list, .target = "HostConfig.ExtraHosts",
     .pattern = "[^:\\s]+:[0-9a-fA-F.:]+|[^:\\s]+:host-gateway", .hint = "HOST:IP",
     .testValue = "db:10.0.0.2" },
   { .flag = "volume", .shortFlag = 'v', .kind = K::special,
     .target = "HostConfig.Binds, Config.Volumes", .pattern = "[^:\\s]+(:[^:\\s]+(:[a-z,]+)?)?",
     .hint = "HOST:CONTAINER[:ro], or CONTAINER for an anonymous volume",
     .testValue = "/run:/hostrun:ro", .land = landVolume },
   { .flag = "mount", .kind = K::special, .target = "HostConfig.Mounts",
     .pattern = "[a-z-]+(=[^,]*)?(,[a-z-]+(=[^,]*)?)*",
     .hint = "type=bind|volume|tmpfs,source=S,target=T[,readonly]",
     .testValue = "type=bind,source=/run,target=/hostrun2,readonly", .land = landMount },
   { .flag = "volumes-from", .kind = K::list, .target = "HostConfig.VolumesFrom",
     .pattern = "[^:\\s]+(:(ro|rw))?", .hint = "a container's NAME[:ro|rw]",
     .testValue = "opt-base" },
   { .flag = "memory-reservation", .kind = K::bytes, .target = "HostConfig.MemoryReservation",
     .hint = "a size like 32m", .testValue = "32m" },
   { .flag = "cpus", .kind = K::special, .target = "HostConfig.NanoCpus",
     // Nine digits at most: in nanoCPUs it stays well inside 64 bits.
     .pattern = "[0-9]{1,9}(\\.[0-9]+)?", .hint = "a number of CPUs like 0.5", .testValue = "0.5",
     .land = landCpus },
   { .flag = "mac-address", .target = "Config.MacAddress",
     .pattern = "([0-9a-fA-F]{2}:){5}[0-9a-fA-F]{2}", .hint = "a MAC address like 02:42:ac:11:00:99",
     .testValue = "02:42:ac:11:00:99" },
   { .flag = "cpu-period", .kind = K::integer, .target = "HostConfig.CpuPeriod",
     .pattern = "[0-9]+", .hint = "microseconds of the CFS period", .testValue = "100000" },
   { .flag = "cpu-quota", .kind = K::integer, .target = "HostConfig.CpuQuota",
     .pattern = "-?[0-9]+", .hint = "microseconds per period, -1 for none", .testValue = "50000" },
   { .flag = "blkio-weight", .kind = K::integer, .target = "HostConfig.BlkioWeight",
     .pattern = "[0-9]+", .hint = "10 to 1000, 0 to leave it", .testValue = "300" },
   { .flag = "memory-swappiness", .kind = K::integer, .target = "HostConfig.MemorySwappiness",
     .pattern = "-?[0-9]+", .hint = "0 to 100, -1 for the host's", .testValue = "10" },
   { .flag = "oom-score-adj", .kind = K::integer, .target = "HostConfig.OomScoreAdj",
     .pattern = "-?[0-9]+", .hint = "-1000 to 1000", .testValue = "100" },
   { .flag = "pids-limit", .kind = K::integer, .target = "HostConfig.PidsLimit",
     .hint = "a number of processes, -1 for none", .testValue = "100" },
   { .flag = "oom-kill-disable", .kind = K::boolean, .target = "HostConfig.OomKillDisable" },
   { .flag = "group-add", .kind = K::list, .target = "HostConfig.GroupAdd", .pattern = kWord,
     .hint = "a group name or number", .testValue = "1234" },
   { .flag = "interactive", .shortFlag = 'i', .kind = K::boolean, .target = "Config.OpenStdin" },
   { .flag = "runtime", .target = "HostConfig.Runtime", .pattern = kWord,
     .hint = "a runtime the daemon knows, like runc", .testValue = "runc" },
   { .flag = "detach", .shortFlag = 'd', .kind = K::boolean, .target = "(always)",
     .hint = "every container runs detached", .land = landNothing },
};
// clang-format on

} // namespace

char const * optionKindName( OptionKind k ) {
   static char const * const names[] = { "boolean",  "text", "integer",   "bytes",
                                         "duration", "list", "key=value", "special" };
   return names[ size_t( k ) ];
}

std::span< ContainerOption const > containerOptions() { return kOptions; }

ContainerOption const * findOption( std::string_view flag ) {
   for ( auto const & row : kOptions ) {
      if ( flag == row.flag ) {
         return &row;
      }
   }
   return nullptr;
}

ContainerOption const * findShortOption( char letter ) {
   for ( auto const & row : kOptions ) {
      if ( row.shortFlag && row.shortFlag == letter ) {
         return &row;
      }
   }
   return nullptr;
}

std::optional< String > optionValueError( ContainerOption const & row, String const & value ) {
   bool good = true;
   switch ( row.kind ) {
   case K::boolean:
      good = value == "true" || value == "false";
      break;
   case K::integer:
      good = parseInteger( value ).has_value();
      break;
   case K::bytes:
      good = parseBytes( value ).has_value();
      break;
   case K::duration:
      good = parseDuration( value ).has_value();
      break;
   default:
      break;
   }
   if ( good && *row.pattern ) {
      // Compiled where checked: a value is checked once per create or
      // command, and a cache would be state shared by every thread.
      good = std::regex_match( value, std::regex( row.pattern ) );
   }
   if ( good ) {
      return std::nullopt;
   }
   return "bad --" + String( row.flag ) + " '" + value +
          "': " + ( *row.hint ? row.hint : optionKindName( row.kind ) );
}

std::vector< std::pair< String, String > > fieldSettings( json const & fields ) {
   std::vector< std::pair< String, String > > out;
   for ( auto const & row : kOptions ) {
      if ( !*row.field || !fields.contains( row.field ) ) {
         continue;
      }
      json const & v = fields[ row.field ];
      if ( v.is_string() && !v.get< String >().empty() ) {
         out.emplace_back( row.flag, v.get< String >() );
      } else if ( v.is_number() && v.get< int64_t >() != 0 ) {
         out.emplace_back( row.flag, row.takesValue() ? std::to_string( v.get< int64_t >() )
                                                      : String( "true" ) );
      }
   }
   return out;
}

ParsedOptions parseOptionWords( std::vector< String > const & words ) {
   ParsedOptions out;
   for ( size_t i = 0; i < words.size() && out.unknown.empty(); ++i ) {
      String const & w = words[ i ];
      auto next = [ & ]() -> std::optional< String > {
         return i + 1 < words.size() ? std::optional< String >( words[ ++i ] ) : std::nullopt;
      };
      if ( w.starts_with( "--" ) && w.size() > 2 ) {
         auto [ name, value ] = splitAt( w.substr( 2 ), '=' );
         bool const inline_ = w.find( '=' ) != String::npos;
         auto const * row = findOption( name );
         std::optional< String > v = inline_ ? std::optional< String >( value )
                                     : !row || !row->takesValue()
                                        ? std::optional< String >( "true" )
                                        : next();
         if ( !row || !v ) {
            out.unknown = "--" + name;
         } else {
            out.known.push_back( { row, *v } );
         }
      } else if ( w.size() > 1 && w[ 0 ] == '-' && w[ 1 ] != '-' ) {
         // Letters may be grouped ("-it"); a letter with a value takes the
         // rest of the word or the next word.
         for ( size_t j = 1; j < w.size(); ++j ) {
            auto const * row = findShortOption( w[ j ] );
            if ( !row ) {
               out.unknown = String( "-" ) + w[ j ];
               break;
            }
            if ( !row->takesValue() ) {
               out.known.push_back( { row, "true" } );
               continue;
            }
            String rest = w.substr( j + 1 );
            if ( rest.starts_with( "=" ) ) {
               rest.erase( 0, 1 );
            }
            auto v = !rest.empty() ? std::optional< String >( rest ) : next();
            if ( !v ) {
               out.unknown = String( "-" ) + w[ j ];
            } else {
               out.known.push_back( { row, *v } );
            }
            break;
         }
      } else {
         out.unknown = w;
      }
   }
   return out;
}

bool landOption( json & body, ContainerOption const & row, String const & value,
                 Environment const & environment ) {
   if ( optionValueError( row, value ) ) {
      return false;
   }
   if ( row.land ) {
      return row.land( body, row, value, environment );
   }
   json & at = slot( body, row.target );
   switch ( row.kind ) {
   case K::boolean:
      at = value == "true";
      return true;
   case K::integer:
      at = *parseInteger( value );
      return true;
   case K::bytes:
      at = *parseBytes( value );
      return true;
   case K::duration:
      at = *parseDuration( value );
      return true;
   case K::list:
      at.push_back( value );
      return true;
   case K::keyValue: {
      auto [ k, v ] = splitAt( value, '=' );
      at[ k ] = v;
      return true;
   }
   default:
      at = value;
      return true;
   }
}

} // namespace Quayd
