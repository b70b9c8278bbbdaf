#pragma once
// The daemon's configuration file, daemon.json in the runtime directory:
// what the agent writes for the next start or reload, and where a running
// daemon is found (its socket and pid file), also by a later agent process.
//
// Example, the default namespace, data root on flash, no log driver:
//   {"data-root":"/mnt/flash/.quy/data-root","exec-root":"/var/run/docker",
//    "hosts":["unix:///var/run/docker.sock"],"insecure-registries":[],
//    "log-driver":"json-file","log-opts":{"max-file":"3","max-size":"10m"},
//    "pidfile":"/var/run/docker.pid"}
//
// Container logs are bounded: with the default log driver each container
// keeps at most max-file files of max-size, from QUAYD_CONTAINER_LOG_MAX_SIZE
// (default 10m) and QUAYD_CONTAINER_LOG_MAX_FILE (default 3).
#include <map>

#include <nlohmann/json.hpp>

#include "platform/ContainerRuntimeInterface.h"
#include "platform/Types.h"

namespace Quayd {

struct ContainerLogLimits {
   String maxSize = "10m";
   String maxFile = "3";
   // From the environment; a value that is not a size or a count keeps the
   // default.
   static ContainerLogLimits fromEnvironment();
};

// What the agent's environment says of every daemon it starts.
struct DaemonSettings {
   ContainerLogLimits logs;
   // A cgroup of their own for the containers ("cgroup-parent"), apart from
   // other daemons that see the same hierarchies; empty: the daemon's default.
   String cgroupParent;
   // From the environment; a cgroup path that is not one is left out.
   static DaemonSettings fromEnvironment();
};

class DaemonConfig {
 public:
   explicit DaemonConfig( String runtimeDir ) : runtimeDir_( std::move( runtimeDir ) ) {}

   String const & runtimeDir() const { return runtimeDir_; }
   String file() const { return runtimeDir_ + "/daemon.json"; }
   bool exists() const;
   // The written configuration; an empty object when there is none.
   nlohmann::json read() const;
   // The daemon's socket and pid file, from the written configuration, the
   // system's defaults otherwise.
   String socketPath() const;
   String pidFile() const;

   // The configuration for a daemon with `dataRoot` (empty: the default) in
   // the network namespace at `netNsPath` (empty: the agent's).
   nlohmann::json build( String const & dataRoot, String const & netNsPath,
                         Ptr< SyslogDriver const > const & logDriver,
                         Ptr< InsecureRegistries const > const & insecure,
                         DaemonSettings const & settings ) const;
   // Writes `config` atomically; throws RuntimeException.
   void write( nlohmann::json const & config ) const;
   void remove() const;

 private:
   String runtimeDir_;
};

} // namespace Quayd
