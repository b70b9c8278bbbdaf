// UpdateContainer: break before make. The old container stops and steps
// aside under another name, the new one starts under the name; once it
// runs the old one goes, and if it does not, the old one comes back.
#include "platform/Exception.h"
#include "tools/quayd-containerz/ContainerzServer.h"
#include "tools/quayd-containerz/StartRequest.h"

using nlohmann::json;

namespace Quayd::Containerz {

namespace {

// The request the new container starts from: the parameters given, with
// the update's image and name.
pb::StartContainerRequest startOf( pb::UpdateContainerRequest const & req ) {
   pb::StartContainerRequest s = req.params();
   s.set_image_name( req.image_name() );
   s.set_tag( req.image_tag() );
   s.set_instance_name( req.instance_name() );
   return s;
}

void renameContainer( DockerApiClient & api, String const & id, String const & to ) {
   auto r =
      api.request( "POST", "/containers/" + id + "/rename?name=" + DockerApiClient::escape( to ) );
   if ( r.status != 204 ) {
      throw CallError( grpc::StatusCode::INTERNAL, "container " + id + " not renamed to " + to +
                                                      ": " + DockerApiClient::errorMessage( r ) );
   }
}

} // namespace

void ContainerzServer::update( DockerApiClient & api, pb::UpdateContainerRequest const & req,
                               json const & old ) {
   String const & name = req.instance_name();
   String const oldId = old.value( "Id", "" );
   String const oldImage = old.value( "Image", "" );
   bool const wasRunning = old.value( "/State/Running"_json_pointer, false );
   if ( wasRunning ) {
      stopRunning( api, oldId, false );
   }
   String const aside = name + "-replaced-" + oldId.substr( 0, 12 );
   renameContainer( api, oldId, aside );
   try {
      startNew( api, startOf( req ) );
   } catch ( CallError const & e ) {
      renameContainer( api, oldId, name );
      if ( wasRunning ) {
         api.request( "POST", "/containers/" + oldId + "/start" );
      }
      throw CallError( e.code(),
                       String( e.what() ) + "; " + name + " runs its previous image again" );
   }
   api.request( "DELETE", "/containers/" + oldId + "?force=1" );
   // The image the update replaced goes unless another container uses it.
   if ( !oldImage.empty() ) {
      removeIfUnused( api, oldImage );
   }
}

grpc::Status ContainerzServer::UpdateContainer( grpc::ServerContext *,
                                                pb::UpdateContainerRequest const * req,
                                                pb::UpdateContainerResponse * resp ) {
   String const & name = req->instance_name();
   String const ref = imageRef( req->image_name(), req->image_tag() );
   try {
      std::unique_lock lock( changing_ );
      DockerApiClient api( socketPath_ );
      auto const old = existingContainer( api, name );
      if ( !inspectImage( api, ref ) ) {
         return { grpc::StatusCode::NOT_FOUND, "no image " + ref + " to update " + name + " to" };
      }
      createBodyOf( startOf( *req ) ); // a request the daemon cannot take fails before any change
      resp->mutable_update_ok()->set_instance_name( name );
      resp->mutable_update_ok()->set_is_async( req->async() );
      if ( !req->async() ) {
         update( api, *req, old );
         return grpc::Status::OK;
      }
      // The update runs after the answer, in its turn with other changes.
      lock.unlock();
      std::lock_guard asyncLock( asyncMutex_ );
      asyncUpdates_.emplace_back( [ this, r = *req ] {
         try {
            std::lock_guard turn( changing_ );
            DockerApiClient a( socketPath_ );
            if ( auto const o = inspectContainer( a, r.instance_name() ) ) {
               update( a, r, *o );
            }
         } catch ( std::exception const & ) {
            // The client checks the outcome itself, with ListContainer.
         }
      } );
      return grpc::Status::OK;
   } catch ( std::exception const & e ) {
      return statusOf( e, "container " + name );
   }
}

} // namespace Quayd::Containerz
