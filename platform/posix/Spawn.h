#pragma once
// The one way the agent starts a program. The child gets a clean descriptor
// table (0, 1, 2 and what is handed over, nothing else of the agent's), the
// default signal mask and dispositions, and, unless it must outlive the
// agent, SIGKILL when the agent ends. Waiting for a child has a limit and
// gives up at once when the agent is told to stop (Termination.h).
#include <sys/types.h>

#include <array>
#include <chrono>
#include <vector>

#include "platform/Environment.h"
#include "platform/Types.h"

namespace Quayd {

class ServiceManager;

struct SpawnRequest {
   std::vector< String > argv;
   // fds[i] becomes descriptor i of the child. -1: descriptors 0 to 2 stay
   // as the agent has them; no descriptor 3.
   std::array< int, 4 > fds{ -1, -1, -1, -1 };
   // "NAME=value", added to the spawner's environment or replacing a name in it.
   std::vector< String > env = {};
   // Looks argv[0] up on PATH when it has no slash.
   bool searchPath = false;
   // SIGKILL to the child when the agent ends: a child that must not go on
   // working for an agent that is gone.
   bool dieWithAgent = true;
   // A session of its own, detached from the agent's terminal and group.
   bool newSession = false;
};

struct ChildEnd {
   int status = 0; // as waitpid reports it
   String output;  // what the child wrote to the descriptor read: its first and last KiB
};

// Starts and waits for a program's children: built once in its main from
// its environment, which every child starts with, and its service manager,
// told alive() through every wait.
class Spawner {
 public:
   explicit Spawner( Environment environment, ServiceManager * serviceManager = nullptr )
       : environment_( std::move( environment ) ), serviceManager_( serviceManager ) {}
   Environment const & environment() const { return environment_; }
   ServiceManager * serviceManager() const { return serviceManager_; }

   // Forks and execs; returns the child's pid, or -1 (errno set) when no
   // child could be forked. A program that cannot be executed ends with
   // status 127 after saying so on its descriptor 2.
   pid_t spawnChild( SpawnRequest const & r ) const;

   // Reads `outFd` (when not -1) to its end and reaps `pid`. When `limit`
   // passes first, or SIGTERM is pending, the child is killed and reaped and
   // RuntimeException says why, naming `what`.
   ChildEnd awaitChild( pid_t pid, int outFd, std::chrono::milliseconds limit,
                        String const & what ) const;

   // The path of `name` as a child would find it: the first executable on
   // the environment's PATH, else where the package installs it (/usr/sbin).
   String findProgram( String const & name ) const;

 private:
   Environment environment_;
   ServiceManager * serviceManager_;
};

// waitpid(2) on `pid`, begun again when a signal interrupts it: the pid
// reaped, 0 (WNOHANG, still running) or -1 with errno set.
pid_t reapChild( pid_t pid, int & status, int flags = 0 );

// Closes every descriptor from `first` on. Safe between fork and exec.
void closeDescriptorsFrom( int first );

} // namespace Quayd
