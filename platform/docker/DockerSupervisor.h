#pragma once
// Keeps dockerd (or another program of the agent's) running without a
// service manager: the program quayd-supervisor, found on PATH as the mount
// tool is, a detached process in its own session that outlives the agent,
// restarts the program when it dies, and stops it on SIGTERM. Found again
// by later agent processes via its pid file. It keeps the program's output,
// in the log file, below a size.
#include <sys/types.h>

#include <vector>

#include "platform/Types.h"

namespace Quayd {

class Spawner;

struct DockerSupervisorParams {
   String dockerd = {};    // program to run
   String configFile = {}; // passed as --config-file
   String netNsPath = {};  // empty: the caller's network namespace
   String logFile = {};
   String pidFile = {}; // the supervisor's own pid
   // The log is emptied, its lines kept in one older file, once it is larger.
   off_t logMaxBytes = 8 << 20;
   // When set, run instead of dockerd with configFile; named in the log.
   std::vector< String > command = {};
   String name = "dockerd";
   // When set, "PID STARTS" of the program is written there at each start.
   String childFile = {};
};

// Starts a supervisor and returns its pid once it runs and has entered the
// namespace; throws RuntimeException with the reason otherwise.
pid_t startDockerSupervisor( Spawner const & spawner, DockerSupervisorParams const & p );

// Empties `path` when it holds more than `maxBytes`, keeping what it held
// in `path`.1; the processes writing it append on to the emptied file.
void capLogFile( String const & path, off_t maxBytes );

// The pid in `pidFile` when that process is alive (not a zombie), else 0.
pid_t livePidFromFile( String const & pidFile );
bool processAlive( pid_t pid );

} // namespace Quayd
