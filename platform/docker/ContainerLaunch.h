#pragma once
// Creating and starting a container through the Engine API, one path for the
// agent's runs and the Containerz service's starts. Where the two differ on
// purpose it is a parameter: the agent frees a name held by a leftover of
// its own and pulls a missing image; the service does neither and tells its
// caller instead.
#include <functional>
#include <optional>

#include "platform/Exception.h"
#include "platform/docker/DockerApiClient.h"

namespace Quayd {

struct LaunchOptions {
   // On a name already taken: frees it, and says whether to create again.
   // None: the launch is refused at its create.
   std::function< bool() > freeName;
   // On a missing image: pulls it, once. None: refused at its create.
   std::function< void() > pullImage;
};

// The daemon refused a launch: its answer, and at which step.
class LaunchRefused : public RuntimeException {
 public:
   enum class Step { create, start };
   LaunchRefused( Step step, DockerApiClient::Response answer )
       : RuntimeException( DockerApiClient::errorMessage( answer ) ), step( step ),
         answer( std::move( answer ) ) {}
   Step step;
   DockerApiClient::Response answer;
};

// The API path of container `ref`, escaped: a configured name must not
// reach another endpoint.
String containerPath( String const & ref );
// Where a container named `name` (empty: the daemon names it) is created.
String createPath( String const & name );
// The ID of the container a create answered with; LaunchRefused unless
// the daemon created it.
String createdId( DockerApiClient::Response const & created );
// Whether a start's answer says the container runs: started, or already.
bool startAccepted( DockerApiClient::Response const & started );
// The removal of container `id` and its anonymous volumes (a new container
// never gets them back); named volumes and bind mounts stay.
String deletePath( String const & id, bool force );
// A removal may wait for the container's processes to be killed.
constexpr long kRemoveLimitSec = 30;

// Creates a container named `name` (empty: the daemon names it) from the
// create body `body`, and starts it; its ID. One that does not start is
// removed again, or every retry would fail on its name. Throws
// LaunchRefused, or RuntimeException when the daemon does not answer.
String launchContainer( DockerApiClient & api, String const & name, String const & body,
                        LaunchOptions const & options );

// Starts the container `ref` (a name or a full ID); one that runs already
// counts as started. The daemon's answer when it refused; none otherwise.
std::optional< DockerApiClient::Response > startContainer( DockerApiClient & api,
                                                           String const & ref );

// Removes the container with the full ID `id` as deletePath says.
void deleteContainer( DockerApiClient & api, String const & id, bool force );

} // namespace Quayd
