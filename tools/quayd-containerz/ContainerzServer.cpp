#include "tools/quayd-containerz/ContainerzServer.h"

#include "platform/Exception.h"

using nlohmann::json;

namespace Quayd::Containerz {

namespace {
grpc::Status noPlugins( String const & call ) {
   return { grpc::StatusCode::UNIMPLEMENTED,
            call + ": this server runs container images only, not plugins" };
}
} // namespace

ContainerzServer::ContainerzServer( String socketPath, String stagingDir, Privileges privileges )
    : socketPath_( std::move( socketPath ) ), stagingDir_( std::move( stagingDir ) ),
      privileges_( std::move( privileges ) ) {
   // Deploy, the first method of the service, is served on the bytes it
   // receives: its handler replaces the one generated for parsed messages.
   constexpr int kDeployMethod = 0;
   MarkMethodStreamed( kDeployMethod,
                       new grpc::internal::BidiStreamingHandler< ContainerzServer, grpc::ByteBuffer,
                                                                 grpc::ByteBuffer >(
                          []( ContainerzServer * self, grpc::ServerContext * ctx,
                              DeployStream::Raw * raw ) {
                             DeployStream stream( raw );
                             return self->deploy( ctx, stream );
                          },
                          this ) );
}

std::unique_ptr< DockerApiClient > ContainerzServer::clientOf( grpc::ServerContext * ctx ) {
   auto api = std::make_unique< DockerApiClient >( socketPath_ );
   api->callLimitIs( deadlineOf( ctx ), [ ctx ] { return ctx->IsCancelled(); } );
   return api;
}

std::unique_lock< std::timed_mutex > ContainerzServer::turnOf( grpc::ServerContext * ctx ) {
   auto const deadline = deadlineOf( ctx );
   if ( deadline == std::chrono::steady_clock::time_point::max() ) {
      return std::unique_lock( changing_ );
   }
   std::unique_lock lock( changing_, deadline );
   if ( !lock.owns_lock() ) {
      throw CallError( grpc::StatusCode::DEADLINE_EXCEEDED,
                       "the deadline passed while another change ran" );
   }
   return lock;
}

namespace {
// The daemon's description of what `path` names; nothing when it knows no such thing.
std::optional< json > inspected( DockerApiClient & api, String const & path ) {
   auto r = api.request( "GET", path );
   if ( r.status == 404 ) {
      return std::nullopt;
   }
   if ( r.status != 200 ) {
      throw CallError( codeOfAnswer( r.status ), DockerApiClient::errorMessage( r ) );
   }
   return json::parse( r.body );
}
} // namespace

std::optional< json > ContainerzServer::inspectContainer( DockerApiClient & api,
                                                          String const & name ) {
   return inspected( api, "/containers/" + DockerApiClient::escape( name ) + "/json" );
}

json ContainerzServer::existingContainer( DockerApiClient & api, String const & name ) {
   auto c = inspectContainer( api, name );
   if ( !c ) {
      throw CallError( grpc::StatusCode::NOT_FOUND, "no container " + name );
   }
   return std::move( *c );
}

std::optional< json > ContainerzServer::inspectImage( DockerApiClient & api, String const & ref ) {
   return inspected( api, "/images/" + DockerApiClient::escape( ref ) + "/json" );
}

void ContainerzServer::removeIfUnused( DockerApiClient & api, String const & imageId ) {
   // Without force the daemon refuses an image a container still uses;
   // that refusal is the answer wanted here.
   api.request( "DELETE", "/images/" + DockerApiClient::escape( imageId ) );
}

grpc::Status ContainerzServer::StartPlugin( grpc::ServerContext *, pb::StartPluginRequest const *,
                                            pb::StartPluginResponse * ) {
   return noPlugins( "StartPlugin" );
}
grpc::Status ContainerzServer::StopPlugin( grpc::ServerContext *, pb::StopPluginRequest const *,
                                           pb::StopPluginResponse * ) {
   return noPlugins( "StopPlugin" );
}
grpc::Status ContainerzServer::ListPlugins( grpc::ServerContext *, pb::ListPluginsRequest const *,
                                            pb::ListPluginsResponse * ) {
   return noPlugins( "ListPlugins" );
}
grpc::Status ContainerzServer::RemovePlugin( grpc::ServerContext *, pb::RemovePluginRequest const *,
                                             pb::RemovePluginResponse * ) {
   return noPlugins( "RemovePlugin" );
}
grpc::Status ContainerzServer::RemovePluginTar( grpc::ServerContext *,
                                                pb::RemovePluginTarRequest const *,
                                                pb::RemovePluginTarResponse * ) {
   return noPlugins( "RemovePluginTar" );
}

} // namespace Quayd::Containerz
