#pragma once
// The gRPC Containerz service beside the Containerz daemon: a program of its
// own, kept running by a supervisor that restarts it when it dies and that
// outlives the agent, like the daemon.
#include <sys/types.h>

#include <functional>

#include "platform/Ptr.h"
#include "platform/Types.h"

namespace Quayd {

struct ContainerzServerParams {
   String netNsPath;  // the namespace it listens in; empty: the agent's
   String stagingDir; // where deployed images wait to be loaded
   String address;    // with TLS; empty: every address
   uint16_t port = 0;
   String tlsCert;
   String tlsKey;
   String tlsCa;
   String authzPolicy;
   String privilegePolicy;
   bool operator==( ContainerzServerParams const & ) const = default;
};

struct ContainerzServerState {
   bool supervised = false; // its supervisor runs
   pid_t pid = 0;           // the server's, 0 between a death and its restart
   uint32_t restarts = 0;   // by the supervisor, since it started
};

class ContainerzServerInterface : public PtrInterface {
 public:
   // Starts the supervised server; one already running with the same
   // parameters (left by an earlier agent) is kept, one with others is
   // replaced. Throws RuntimeException when it does not start.
   virtual void start( ContainerzServerParams const & params ) = 0;
   // Stops it and waits until it has ended; nothing when none runs.
   virtual void stop() = 0;
   virtual ContainerzServerState state() = 0;
};

// How the host makes the agent's server object once, like the runtime's.
using ContainerzServerFactory = std::function< Ptr< ContainerzServerInterface >() >;

} // namespace Quayd
