#include "platform/docker/ClientRun.h"

#include <unistd.h>

#include <chrono>
#include <fstream>

#include "platform/docker/ContainerCreateBody.h"
#include "platform/docker/Subprocess.h"

namespace Quayd {

namespace {
constexpr auto kClientRunLimit = std::chrono::seconds( 60 );
}

ClientRunOutcome runWithDockerClient( Spawner const & spawner, String const & cli,
                                      RunContainerParams const & p, String const & socketPath,
                                      String const & clientConfigDir, String const & cidFile,
                                      std::map< String, String > const & labels ) {
   ::unlink( cidFile.c_str() );
   std::vector< String > w = { cli,    "--host",    "unix://" + socketPath,
                               "run",  "--detach",  "--name",
                               p.name, "--cidfile", cidFile };
   for ( auto & word : clientRunArgs( p, labels ) ) {
      w.push_back( std::move( word ) );
   }
   ClientRunOutcome out;
   auto const r =
      runProgram( spawner, w, { "DOCKER_CONFIG=" + clientConfigDir }, false, kClientRunLimit );
   out.status = r.status;
   out.error = r.output;
   if ( std::ifstream in( cidFile ); in ) {
      std::getline( in, out.containerId );
   }
   ::unlink( cidFile.c_str() );
   return out;
}

} // namespace Quayd
