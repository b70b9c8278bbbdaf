// Log: a container's output, line by line, and with follow the lines that
// come after until the client goes or the container ends.
#include "tools/quayd-containerz/ContainerzServer.h"
#include "tools/quayd-containerz/LogFrames.h"

namespace Quayd::Containerz {

grpc::Status ContainerzServer::Log( grpc::ServerContext * ctx, pb::LogRequest const * req,
                                    grpc::ServerWriter< pb::LogResponse > * out ) {
   String const & name = req->instance_name();
   try {
      DockerApiClient api( socketPath_ );
      auto const c = existingContainer( api, name );
      bool const framed = !c.value( "/Config/Tty"_json_pointer, false );
      bool clientGone = false;
      LogLines lines( framed, [ & ]( String const & line ) {
         pb::LogResponse r;
         r.set_msg( line );
         clientGone = clientGone || !out->Write( r );
      } );
      String const path = "/containers/" + DockerApiClient::escape( c.value( "Id", name ) ) +
                          "/logs?stdout=1&stderr=1" + ( req->follow() ? "&follow=1" : "" );
      long const status = api.follow(
         path,
         [ & ]( std::string_view data ) {
            lines.feed( data );
            return !clientGone;
         },
         [ & ] { return !clientGone && !ctx->IsCancelled(); } );
      if ( status != 200 && !clientGone ) {
         return { grpc::StatusCode::INTERNAL, "the logs of " + name +
                                                 " are not readable (HTTP status " +
                                                 std::to_string( status ) + ")" };
      }
      lines.finish();
      return grpc::Status::OK;
   } catch ( std::exception const & e ) {
      return statusOf( e, "the logs of " + name );
   }
}

} // namespace Quayd::Containerz
