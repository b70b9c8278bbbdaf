// Log: a container's output, line by line, and with follow the lines that
// come after until the client goes or the container ends. Without follow
// it ends within kLogLimit, whatever the daemon does.
#include "tools/quayd-containerz/ContainerzServer.h"
#include "tools/quayd-containerz/LogFrames.h"

namespace Quayd::Containerz {

grpc::Status ContainerzServer::Log( grpc::ServerContext * ctx, pb::LogRequest const * req,
                                    grpc::ServerWriter< pb::LogResponse > * out ) {
   String const & name = req->instance_name();
   try {
      auto const api = clientOf( ctx );
      auto const c = existingContainer( *api, name );
      bool const framed = !c.value( "/Config/Tty"_json_pointer, false );
      bool clientGone = false;
      LogLines lines( framed, [ & ]( String const & line ) {
         pb::LogResponse r;
         r.set_msg( line );
         clientGone = clientGone || !out->Write( r );
      } );
      String const path = "/containers/" + DockerApiClient::escape( c.value( "Id", name ) ) +
                          "/logs?stdout=1&stderr=1" + ( req->follow() ? "&follow=1" : "" );
      auto const limit = std::chrono::steady_clock::now() + kLogLimit;
      bool late = false;
      long const status = api->follow(
         path,
         [ & ]( std::string_view data ) {
            lines.feed( data );
            return !clientGone;
         },
         [ & ] {
            late = !req->follow() && std::chrono::steady_clock::now() >= limit;
            return !clientGone && !ctx->IsCancelled() && !late;
         } );
      if ( late ) {
         return { grpc::StatusCode::DEADLINE_EXCEEDED,
                  "the logs of " + name + " took longer than " +
                     std::to_string( kLogLimit.count() ) + " s" };
      }
      if ( status != 200 && !clientGone ) {
         return { codeOfAnswer( status ), "the logs of " + name +
                                             " are not readable (HTTP status " +
                                             std::to_string( status ) + ")" };
      }
      lines.finish();
      return grpc::Status::OK;
   } catch ( std::exception const & e ) {
      return statusOf( e, "the logs of " + name, ctx );
   }
}

} // namespace Quayd::Containerz
