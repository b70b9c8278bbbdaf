#pragma once
// Child processes. run() starts a program and returns a handle whose
// attributes change when the child ends; the loop reaps children itself, so
// the owner only reacts to the handle's notifications. A caller may instead
// wait for the child with waitpid; the loop then finds nothing to reap.
#include <sys/types.h>

#include <vector>

#include "platform/Codec.h"
#include "platform/Entity.h"
#include "platform/Namespace.h"

namespace Quayd {

// Signal codes of a child's end, as waitid reports them.
inline constexpr uint8_t kChildRunning = 0;
inline constexpr uint8_t kChildExited = 3;   // CLD_EXITED
inline constexpr uint8_t kChildSignaled = 4; // CLD_KILLED (`signaled_`)

#define QUAYD_CHILD_SIGINFO_FIELDS( F ) \
   F( ATTR, int32_t, pid, 0 )           \
   F( ATTR, uint8_t, signalCode, 0 )    \
   F( ATTR, int32_t, exitStatus, 0 )    \
   F( ATTR, int32_t, signal, 0 )
QUAYD_ENTITY( ChildSiginfo, QUAYD_CHILD_SIGINFO_FIELDS );

// What starting a child in a network namespace came to: a running child, or
// why there is none. A namespace that cannot be entered is a problem of the
// configuration; a child that cannot be spawned is one of the machine.
enum class SpawnFailure : uint8_t { none, namespaceSwitch, spawn };
struct Spawned {
   Ptr< ChildSiginfo > child;
   SpawnFailure failure = SpawnFailure::none;
};

// A short tool run to its end, with what it wrote to standard error. A null
// child: it could not be started.
struct ToolRun {
   Ptr< ChildSiginfo > child;
   String stderrText;
};

class ProcessRunner {
 public:
   virtual ~ProcessRunner() = default;
   // Starts argv[0] (searched on PATH) with the given standard descriptors
   // (-1: inherited); fd3 becomes descriptor 3 of the child. Returns null when
   // the program could not be started.
   virtual Ptr< ChildSiginfo > run( std::vector< String > const & argv, int fd0, int fd1, int fd2,
                                    int fd3 ) = 0;
   // Sends `signal` to child `pid` of this runner; its end arrives through
   // the child's handle.
   virtual void kill( int32_t pid, int signal ) = 0;
   // Blocks until `child` has ended (at once when it has); its handle then
   // tells how. For short tools that the agent runs synchronously.
   virtual void wait( Ptr< ChildSiginfo > const & child ) = 0;
   // Starts argv (standard descriptors inherited) inside the network
   // namespace `netNs`; the agent's own stays as it was.
   virtual Spawned runIn( NamespaceName const & netNs, std::vector< String > const & argv ) = 0;
   // Runs argv to its end and collects its standard error.
   virtual ToolRun runTool( std::vector< String > const & argv ) = 0;
};

} // namespace Quayd
