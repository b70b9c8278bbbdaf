// UpdateContainer: break before make. The old container steps aside under
// another name and stops, the new one starts under the name; once it runs
// the old one goes. Whatever fails on the way (an error, a time-out, the
// service killed) the old one comes back under its name, running: at once,
// or at the next start or sweep when the daemon did not answer.
#include <iostream>

#include "platform/Exception.h"
#include "platform/docker/ContainerLaunch.h"
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
      throw CallError( codeOfAnswer( r.status ), "container " + id + " not renamed to " + to +
                                                    ": " + DockerApiClient::errorMessage( r ) );
   }
}

String withoutSlash( String const & name ) {
   return name.starts_with( "/" ) ? name.substr( 1 ) : name;
}

} // namespace

void ContainerzServer::restore( String const & name, String const & oldId, bool start ) {
   DockerApiClient api( socketPath_ );
   // What holds the name now is the new container, made but not running.
   if ( auto const c = inspectContainer( api, name ); c && c->value( "Id", "" ) != oldId ) {
      api.request( "DELETE", "/containers/" + c->value( "Id", "" ) + "?force=1" );
   }
   renameContainer( api, oldId, name );
   if ( start ) {
      if ( auto refused = startContainer( api, oldId ) ) {
         throw CallError( codeOfAnswer( refused->status ),
                          "container " + name +
                             " back, not started: " + DockerApiClient::errorMessage( *refused ) );
      }
   }
}

void ContainerzServer::update( DockerApiClient & api, pb::UpdateContainerRequest const & req,
                               json const & old ) {
   String const & name = req.instance_name();
   String const oldId = old.value( "Id", "" );
   String const oldImage = old.value( "Image", "" );
   bool const wasRunning = old.value( "/State/Running"_json_pointer, false );
   // Refused before anything of the old container changes.
   privileges_()->checkStart( startOf( req ) );
   // Aside before it stops: from here on, a kill leaves a name that says
   // what to bring back.
   renameContainer( api, oldId, name + kReplaced + oldId.substr( 0, 12 ) );
   try {
      if ( wasRunning ) {
         stopRunning( api, oldId, false );
      }
      startNew( api, startOf( req ) );
   } catch ( std::exception const & e ) {
      grpc::Status const failed = statusOf( e, "container " + name );
      String outcome = "; " + name + " runs its previous container again";
      try {
         restore( name, oldId, wasRunning );
      } catch ( std::exception const & r ) {
         outcome = "; its previous container comes back once the daemon answers (" +
                   String( r.what() ) + ")";
      }
      throw CallError( failed.error_code(), failed.error_message() + outcome );
   }
   api.request( "DELETE", "/containers/" + oldId + "?force=1" );
   // The image the update replaced goes unless another container uses it.
   if ( !oldImage.empty() ) {
      removeIfUnused( api, oldImage );
   }
}

void ContainerzServer::updateErrorIs( String const & name, String const & error ) {
   if ( !error.empty() ) {
      std::cerr << "quayd-containerz: the update of " << name << " failed: " << error << std::endl;
   }
   std::lock_guard lock( errorsMutex_ );
   if ( error.empty() ) {
      updateErrors_.erase( name );
   } else {
      updateErrors_[ name ] = error;
   }
}

void ContainerzServer::restoreReplaced() {
   try {
      std::lock_guard lock( changing_ );
      DockerApiClient api( socketPath_ );
      json const all =
         api.call( "GET", "/containers/json?all=1&filters=" +
                             DockerApiClient::escape( json{ { "name", { kReplaced } } }.dump() ) );
      for ( auto const & c : all ) {
         String const aside = c.contains( "Names" ) && !c[ "Names" ].empty()
                                 ? withoutSlash( c[ "Names" ][ 0 ].get< String >() )
                                 : "";
         size_t const at = aside.rfind( kReplaced );
         if ( at == String::npos || at == 0 ) {
            continue;
         }
         String const name = aside.substr( 0, at );
         String const oldId = c.value( "Id", "" );
         auto const now = inspectContainer( api, name );
         if ( now && now->value( "/State/Running"_json_pointer, false ) ) {
            // The update got as far as the new one running.
            api.request( "DELETE", "/containers/" + oldId + "?force=1" );
            continue;
         }
         restore( name, oldId, true );
         std::cerr << "quayd-containerz: " << name << " runs its previous container again, "
                   << oldId.substr( 0, 12 ) << ": its update did not end" << std::endl;
      }
   } catch ( std::exception const & e ) {
      std::cerr << "quayd-containerz: containers not restored yet: " << e.what() << std::endl;
   }
}

grpc::Status ContainerzServer::UpdateContainer( grpc::ServerContext * ctx,
                                                pb::UpdateContainerRequest const * req,
                                                pb::UpdateContainerResponse * resp ) {
   String const & name = req->instance_name();
   String const ref = imageRef( req->image_name(), req->image_tag() );
   try {
      std::shared_ptr< Claims::Claim > claim = updating_.claim( name );
      if ( !claim ) {
         return { grpc::StatusCode::UNAVAILABLE, "an update of " + name + " is in progress" };
      }
      auto lock = turnOf( ctx );
      auto api = clientOf( ctx );
      auto const old = existingContainer( *api, name );
      if ( !inspectImage( *api, ref ) ) {
         return { grpc::StatusCode::NOT_FOUND, "no image " + ref + " to update " + name + " to" };
      }
      createBodyOf( startOf( *req ) ); // a request the daemon cannot take fails before any change
      resp->mutable_update_ok()->set_instance_name( name );
      resp->mutable_update_ok()->set_is_async( req->async() );
      if ( !req->async() ) {
         try {
            update( *api, *req, old );
         } catch ( std::exception const & e ) {
            grpc::Status const s = statusOf( e, "container " + name, ctx );
            updateErrorIs( name, s.error_message() );
            return s;
         }
         updateErrorIs( name, "" );
         return grpc::Status::OK;
      }
      // The update runs after the answer, in its turn with other changes;
      // the claim goes with it.
      lock.unlock();
      bool const queued = updates_.submit( [ this, r = *req, claim ] {
         try {
            std::lock_guard turn( changing_ );
            DockerApiClient a( socketPath_ );
            if ( auto const o = inspectContainer( a, r.instance_name() ) ) {
               update( a, r, *o );
               updateErrorIs( r.instance_name(), "" );
            }
         } catch ( std::exception const & e ) {
            updateErrorIs( r.instance_name(),
                           statusOf( e, "container " + r.instance_name() ).error_message() );
         }
      } );
      if ( !queued ) {
         return { grpc::StatusCode::UNAVAILABLE, "container " + name + ": " +
                                                    std::to_string( UpdateQueue::kMaxWaiting ) +
                                                    " updates wait already" };
      }
      return grpc::Status::OK;
   } catch ( std::exception const & e ) {
      return statusOf( e, "container " + name, ctx );
   }
}

} // namespace Quayd::Containerz
