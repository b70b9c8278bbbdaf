#pragma once
// `docker run` through the docker client, for a run with an option the
// option table does not take (DockerSettings::dockerCli).
// The image is expected to be there already: the client only creates and
// starts, and is killed when that takes longer than a minute.
#include <map>

#include "platform/ContainerRuntimeInterface.h"

namespace Quayd {

struct ClientRunOutcome {
   int status = 0;     // the client's exit status
   String error;       // what it said on standard error
   String containerId; // of the container it created; empty when none
};

// Runs `p` with the client `cli`, detached on the daemon at `socketPath`, with `labels`, and the
// registry logins of `clientConfigDir`. `cidFile` is where the client
// writes the new container's ID. Throws RuntimeException when the client
// cannot be run or does not end in time.
class Spawner;

// The client started through `spawner`, with the request's `--env NAME`
// read from the spawner's environment, as the client reads its own.
ClientRunOutcome runWithDockerClient( Spawner const & spawner, String const & cli,
                                      RunContainerParams const & p, String const & socketPath,
                                      String const & clientConfigDir, String const & cidFile,
                                      std::map< String, String > const & labels );

} // namespace Quayd
