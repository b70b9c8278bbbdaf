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
// keeps at most max-file files of max-size (DockerSettings.h).
#include <map>

#include <nlohmann/json.hpp>

#include "platform/ContainerRuntimeInterface.h"
#include "platform/FileSystem.h"
#include "platform/Types.h"

namespace Quayd {

struct ContainerLogLimits {
   String maxSize = "10m";
   String maxFile = "3";
};

// What the agent's settings say of every daemon it starts.
struct DaemonSettings {
   ContainerLogLimits logs;
   // A cgroup of their own for the containers ("cgroup-parent"), apart from
   // other daemons that see the same hierarchies; empty: the daemon's default.
   String cgroupParent;
};

class DaemonConfig {
 public:
   DaemonConfig( String runtimeDir, FileSystem & files )
       : runtimeDir_( std::move( runtimeDir ) ), files_( files ) {}

   String const & runtimeDir() const { return runtimeDir_; }
   String file() const { return runtimeDir_ + "/daemon.json"; }
   bool exists() const;
   // The written configuration; an empty object when there is none (or one
   // too large to be ours).
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
   FileSystem & files_;
};

} // namespace Quayd
