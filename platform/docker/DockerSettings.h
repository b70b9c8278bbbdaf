#pragma once
// Where the runtime finds the daemon, its own files and the programs it
// runs, and how long it waits: one value, built by the program's main and
// handed to the runtime's parts.
#include <sys/types.h>

#include <algorithm>
#include <chrono>
#include <functional>
#include <thread>

#include "platform/docker/DaemonConfig.h"
#include "platform/posix/Credentials.h"

namespace Quayd {

struct DockerSettings {
   // daemon.json, supervisor.pid, dockerd.log, run.pending, the sockets.
   String runtimeDir = "/run/quayd/docker";
   String dockerd = "/usr/sbin/dockerd";
   String systemctl = "/usr/bin/systemctl";
   // The docker client, for a run with an option the option table does not take.
   String dockerCli = "/usr/bin/docker";
   // The client configuration directory of the registry logins.
   String clientConfigDir = String( CredentialStore::kDefaultDir ) + "/docker";
   // The Containerz server's program; empty: quayd-containerz on PATH.
   String containerzServer;
   // How long a started daemon may take to answer.
   std::chrono::seconds startTimeout{ 60 };
   // Bytes of dockerd.log before its supervisor empties it.
   off_t dockerdLogMax = 8 << 20;
   // Container runs, stops and removals out together at most. A create and
   // start spends most of its time waiting on containerd and runc, not on a
   // core: on 2 cores, 100 of them took 18.5-21 s with 2 out (the machine a
   // sixth idle), 15.5-19.5 s with 4 and 15-17 s with 8 (the floor of
   // bench/containers_bench.sh, same run), so four a core is the default.
   size_t callsInFlight = 4 * std::max( 1u, std::thread::hardware_concurrency() );
   DaemonSettings daemon;
};

// The settings from named variables (the environment, in main): QUAYD_RUNTIME_DIR,
// QUAYD_DOCKERD, QUAYD_SYSTEMCTL, QUAYD_DOCKER_CLI, QUAYD_DOCKER_CONFIG,
// QUAYD_CONTAINERZ_SERVER, QUAYD_DOCKERD_START_TIMEOUT (seconds),
// QUAYD_DOCKERD_LOG_MAX (bytes), QUAYD_RUNTIME_CALLS_IN_FLIGHT, QUAYD_CONTAINER_LOG_MAX_SIZE,
// QUAYD_CONTAINER_LOG_MAX_FILE and QUAYD_DOCKER_CGROUP_PARENT. `variable`
// gives a variable's value or null; an empty value, or one that is not what
// its variable takes, keeps the default.
DockerSettings
dockerSettingsFrom( std::function< char const *( char const * name ) > const & variable );

} // namespace Quayd
