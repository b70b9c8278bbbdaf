#pragma once
// The gRPC Containerz service on one container daemon, reached through its
// Engine API socket. Each call runs on a gRPC thread with a client of its
// own, bound by the call's deadline; calls that change containers take
// turns, so that an update never sees a half-made start. Deploys and reads
// do not wait for them.
#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>

#include <nlohmann/json.hpp>

#include "gnoi/containerz/containerz.grpc.pb.h"
#include "platform/Types.h"
#include "platform/docker/DockerApiClient.h"
#include "tools/quayd-containerz/CallError.h"
#include "tools/quayd-containerz/DeployStream.h"
#include "tools/quayd-containerz/PrivilegePolicy.h"
#include "tools/quayd-containerz/Reservations.h"
#include "tools/quayd-containerz/Statuses.h"
#include "tools/quayd-containerz/UpdateQueue.h"

namespace Quayd::Containerz {

namespace pb = ::gnoi::containerz;

class ContainerzServer final : public pb::Containerz::Service {
 public:
   // Content chunks a Deploy asks for; below gRPC's default message limit.
   static constexpr int32_t kChunkSize = 3 << 20;
   // Between two progress messages of a Deploy.
   static constexpr uint64_t kProgressEvery = 16 << 20;
   // How long a stop waits for a container to end before killing it.
   static constexpr long kStopGraceSec = 10;
   // How long a Log without follow may take.
   static constexpr std::chrono::seconds kLogLimit{ 60 };
   // The name of an old container while its update runs: "<name>-replaced-<id>".
   static constexpr char const * kReplaced = "-replaced-";
   // The label ListContainer shows on a container whose last update failed.
   static constexpr char const * kUpdateErrorLabel = "quayd.update-error";

   // The privilege policy in force at the time of a call.
   using Privileges = std::function< std::shared_ptr< PrivilegePolicy const >() >;

   // `stagingDir`: where Deploy keeps a tarball until it is loaded, on the
   // same flash as the daemon's data.
   ContainerzServer( String socketPath, String stagingDir, Privileges privileges );

   // Removes the containers that have been stopped for `grace` or longer.
   void removeStopped( std::chrono::seconds grace );
   // Brings back under its own name, running, each old container whose
   // update ended without its new one running (an error, the service
   // killed); removes it where the new one runs. Before serving, and at
   // each sweep.
   void restoreReplaced();
   // Removes what deploys left in the staging directory; before serving.
   void sweepStaging();

   // Deploy, on its stream's received bytes (DeployStream) rather than on
   // messages parsed for it.
   grpc::Status deploy( grpc::ServerContext * ctx, DeployStream & stream );
   grpc::Status ListImage( grpc::ServerContext * ctx, pb::ListImageRequest const * req,
                           grpc::ServerWriter< pb::ListImageResponse > * out ) override;
   grpc::Status RemoveImage( grpc::ServerContext * ctx, pb::RemoveImageRequest const * req,
                             pb::RemoveImageResponse * resp ) override;
   grpc::Status RemoveContainer( grpc::ServerContext * ctx, pb::RemoveContainerRequest const * req,
                                 pb::RemoveContainerResponse * resp ) override;
   grpc::Status ListContainer( grpc::ServerContext * ctx, pb::ListContainerRequest const * req,
                               grpc::ServerWriter< pb::ListContainerResponse > * out ) override;
   grpc::Status StartContainer( grpc::ServerContext * ctx, pb::StartContainerRequest const * req,
                                pb::StartContainerResponse * resp ) override;
   grpc::Status StopContainer( grpc::ServerContext * ctx, pb::StopContainerRequest const * req,
                               pb::StopContainerResponse * resp ) override;
   grpc::Status UpdateContainer( grpc::ServerContext * ctx, pb::UpdateContainerRequest const * req,
                                 pb::UpdateContainerResponse * resp ) override;
   grpc::Status Log( grpc::ServerContext * ctx, pb::LogRequest const * req,
                     grpc::ServerWriter< pb::LogResponse > * out ) override;
   grpc::Status CreateVolume( grpc::ServerContext * ctx, pb::CreateVolumeRequest const * req,
                              pb::CreateVolumeResponse * resp ) override;
   grpc::Status RemoveVolume( grpc::ServerContext * ctx, pb::RemoveVolumeRequest const * req,
                              pb::RemoveVolumeResponse * resp ) override;
   grpc::Status ListVolume( grpc::ServerContext * ctx, pb::ListVolumeRequest const * req,
                            grpc::ServerWriter< pb::ListVolumeResponse > * out ) override;
   grpc::Status StartPlugin( grpc::ServerContext * ctx, pb::StartPluginRequest const * req,
                             pb::StartPluginResponse * resp ) override;
   grpc::Status StopPlugin( grpc::ServerContext * ctx, pb::StopPluginRequest const * req,
                            pb::StopPluginResponse * resp ) override;
   grpc::Status ListPlugins( grpc::ServerContext * ctx, pb::ListPluginsRequest const * req,
                             pb::ListPluginsResponse * resp ) override;
   grpc::Status RemovePlugin( grpc::ServerContext * ctx, pb::RemovePluginRequest const * req,
                              pb::RemovePluginResponse * resp ) override;
   grpc::Status RemovePluginTar( grpc::ServerContext * ctx, pb::RemovePluginTarRequest const * req,
                                 pb::RemovePluginTarResponse * resp ) override;

 private:
   // A container's inspection, or nothing when the daemon has none of that name.
   std::optional< nlohmann::json > inspectContainer( DockerApiClient & api, String const & name );
   // Its description, or a NOT_FOUND failure of the call.
   nlohmann::json existingContainer( DockerApiClient & api, String const & name );
   std::optional< nlohmann::json > inspectImage( DockerApiClient & api, String const & ref );
   // Creates and starts a container; throws CallError. Returns its name.
   String startNew( DockerApiClient & api, pb::StartContainerRequest const & req );
   void stopRunning( DockerApiClient & api, String const & name, bool force );
   // The daemon's client of a call, bound by its deadline and cancellation.
   std::unique_ptr< DockerApiClient > clientOf( grpc::ServerContext * ctx );
   // The turn of a call that changes containers, waited for until its deadline.
   std::unique_lock< std::timed_mutex > turnOf( grpc::ServerContext * ctx );
   // The update proper, once the checks passed; throws CallError.
   void update( DockerApiClient & api, pb::UpdateContainerRequest const & req,
                nlohmann::json const & old );
   // The old container `oldId` back under `name`, by a client of its own:
   // the call's may have run out. Throws when the daemon does not answer.
   void restore( String const & name, String const & oldId, bool start );
   // Kept for ListContainer, and logged; "" clears it.
   void updateErrorIs( String const & name, String const & error );
   // A Deploy's image loaded: tagged `ref`, the tarball's own names put
   // back where they were.
   void tagLoaded( DockerApiClient & api, pb::ImageTransfer const & t, String const & loaded,
                   std::map< String, String > const & tagsBefore );
   // Removes an image no container uses any more; keeps it otherwise.
   void removeIfUnused( DockerApiClient & api, String const & imageId );
   // Feeds the transfer's content to the daemon's image load as it arrives;
   // the first reference the load names.
   String loadStreamed( DeployStream & stream, pb::ImageTransfer const & transfer,
                        DockerApiClient & api );

   String socketPath_;
   String stagingDir_;
   Privileges privileges_;
   // Held by every call that changes containers.
   std::timed_mutex changing_;
   Claims updating_;  // containers
   Claims deploying_; // name:tag
   SpaceLedger staging_;
   std::mutex errorsMutex_;
   std::map< String, String > updateErrors_;
   // Last: it goes first, before what its updates use.
   UpdateQueue updates_;
};
// The JSON of the daemon's list filters from a request's key/values.
template < typename F >
String filtersOf( F const & filters ) {
   nlohmann::json j = nlohmann::json::object();
   for ( auto const & f : filters ) {
      for ( auto const & v : f.value() ) {
         j[ f.key() ].push_back( v );
      }
   }
   return DockerApiClient::escape( j.dump() );
}

} // namespace Quayd::Containerz
