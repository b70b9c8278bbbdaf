#pragma once
// The gRPC Containerz service as the host runs it: quayd-containerz under a
// supervisor (DockerSupervisor.h) entered into the VRF's namespace, its
// files in one runtime directory:
//   supervisor.pid, server.pid ("PID STARTS"), server.args (one word a
//   line, to know a server left by an earlier agent), server.log.
// The program is the one given, else quayd-containerz on PATH, else
// /usr/sbin/quayd-containerz.
#include <functional>

#include "platform/ContainerzServerInterface.h"
#include "platform/posix/Spawn.h"

namespace Quayd {

class ContainerzServerControl : public ContainerzServerInterface {
 public:
   // `daemonSocket`: the Engine API socket of the daemon the server drives,
   // asked at each start. `program`: the server's; empty to look for it.
   ContainerzServerControl( Spawner const & spawner, String runtimeDir,
                            std::function< String() > daemonSocket, String const & program );

   void start( ContainerzServerParams const & params ) override;
   void stop() override;
   ContainerzServerState state() override;

 private:
   std::vector< String > command( ContainerzServerParams const & p ) const;
   String file( char const * name ) const { return runtimeDir_ + "/" + name; }

   Spawner const & spawner_;
   String runtimeDir_;
   std::function< String() > daemonSocket_;
   String program_;
};

} // namespace Quayd
