#pragma once
// What keeps dockerd running. Where systemd is the init system (it has
// /run/systemd/system) the daemon is a unit of its own, written there as
// "quayd-dockerd.service"; elsewhere the agent's own supervisor keeps it
// (DockerSupervisor.h). Either way the daemon outlives the agent, is
// restarted when it dies, and is found again by a later agent.
#include <memory>

#include "platform/docker/DockerSupervisor.h"

namespace Quayd {

class Spawner;

class DaemonService {
 public:
   virtual ~DaemonService() = default;
   // Whether the service has dockerd running or on its way back up.
   virtual bool running() = 0;
   // Brings dockerd up as `p` says; throws RuntimeException with the reason.
   virtual void start( DockerSupervisorParams const & p ) = 0;
   // Takes dockerd down and waits for the service to end; throws
   // RuntimeException when it does not.
   virtual void stop() = 0;
};

inline constexpr char const * kDockerdUnit = "quayd-dockerd.service";

// systemd when `unitDir` exists, the supervisor with `supervisorPidFile`
// otherwise; either starts what it runs through `spawner`.
std::unique_ptr< DaemonService > daemonServiceFor( Spawner const & spawner, String const & unitDir,
                                                   String const & systemctl,
                                                   String const & supervisorPidFile );

// The unit systemd runs dockerd from.
String systemdUnitText( DockerSupervisorParams const & p );

} // namespace Quayd
