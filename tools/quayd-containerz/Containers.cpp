// StartContainer, StopContainer, RemoveContainer, ListContainer.
#include "platform/Exception.h"
#include "platform/docker/ContainerLaunch.h"
#include "tools/quayd-containerz/ContainerzServer.h"
#include "tools/quayd-containerz/StartRequest.h"

using nlohmann::json;

namespace Quayd::Containerz {

namespace {

// A start the daemon refused because a port is taken is worth retrying
// later; anything else is a value it cannot run (a command not found).
grpc::StatusCode startFailureCode( String const & why ) {
   return why.find( "port is already allocated" ) != String::npos ||
                why.find( "address already in use" ) != String::npos
             ? grpc::StatusCode::UNAVAILABLE
             : grpc::StatusCode::INVALID_ARGUMENT;
}

// A request naming a stopped container and nothing else starts it again.
bool onlyInstanceName( pb::StartContainerRequest const & req ) {
   pb::StartContainerRequest bare;
   bare.set_instance_name( req.instance_name() );
   return req.SerializeAsString() == bare.SerializeAsString();
}

pb::ListContainerResponse::Status statusOfState( String const & state ) {
   if ( state == "running" || state == "restarting" || state == "paused" ) {
      return pb::ListContainerResponse::RUNNING;
   }
   if ( state == "created" ) {
      return pb::ListContainerResponse::PRESENT;
   }
   return state == "exited" || state == "dead" ? pb::ListContainerResponse::STOPPED
                                               : pb::ListContainerResponse::UNSPECIFIED;
}

// "sha256:<hex>" to the digest's raw bytes.
void hashOf( String const & imageId, ::gnoi::types::HashType * h ) {
   static constexpr char const * kPrefix = "sha256:";
   if ( imageId.rfind( kPrefix, 0 ) != 0 || imageId.size() != 7 + 64 ) {
      return;
   }
   String raw;
   for ( size_t i = 7; i + 1 < imageId.size(); i += 2 ) {
      raw += static_cast< char >( std::stoi( imageId.substr( i, 2 ), nullptr, 16 ) );
   }
   h->set_method( ::gnoi::types::HashType::SHA256 );
   h->set_hash( raw );
}

} // namespace

String ContainerzServer::startNew( DockerApiClient & api, pb::StartContainerRequest const & req ) {
   if ( req.image_name().empty() ) {
      throw CallError( grpc::StatusCode::INVALID_ARGUMENT, "no image to start a container from" );
   }
   privileges_()->checkStart( req );
   json const body = createBodyOf( req );
   String const ref = imageRef( req.image_name(), req.tag() );
   if ( !inspectImage( api, ref ) ) {
      throw CallError( grpc::StatusCode::NOT_FOUND, "no image " + ref );
   }
   String id;
   try {
      // A taken name is the caller's to answer for, and nothing is pulled.
      id = launchContainer( api, req.instance_name(), body.dump(), LaunchOptions{} );
   } catch ( LaunchRefused const & e ) {
      if ( e.step == LaunchRefused::Step::start ) {
         throw CallError( startFailureCode( e.what() ), "container " + req.instance_name() +
                                                           " of " + ref +
                                                           " not started: " + e.what() );
      }
      if ( e.answer.status == 409 ) {
         throw CallError( grpc::StatusCode::ALREADY_EXISTS,
                          "a container " + req.instance_name() + " exists already" );
      }
      throw CallError( codeOfAnswer( e.answer.status ),
                       "container of " + ref + " not created: " + e.what() );
   }
   auto const c = inspectContainer( api, id );
   String name = c ? c->value( "Name", id ) : id;
   return name.starts_with( "/" ) ? name.substr( 1 ) : name;
}

grpc::Status ContainerzServer::StartContainer( grpc::ServerContext * ctx,
                                               pb::StartContainerRequest const * req,
                                               pb::StartContainerResponse * resp ) {
   String const & name = req->instance_name();
   try {
      auto const lock = turnOf( ctx );
      auto const client = clientOf( ctx );
      DockerApiClient & api = *client;
      if ( !name.empty() ) {
         if ( auto const c = inspectContainer( api, name ) ) {
            if ( c->value( "/State/Running"_json_pointer, false ) || !onlyInstanceName( *req ) ) {
               return { grpc::StatusCode::ALREADY_EXISTS,
                        "a container " + name + " exists already" };
            }
            if ( auto refused = startContainer( api, name ) ) {
               String const why = DockerApiClient::errorMessage( *refused );
               return { startFailureCode( why ), "container " + name + " not started: " + why };
            }
            resp->mutable_start_ok()->set_instance_name( name );
            return grpc::Status::OK;
         }
      }
      resp->mutable_start_ok()->set_instance_name( startNew( api, *req ) );
      return grpc::Status::OK;
   } catch ( std::exception const & e ) {
      return statusOf( e, "container " + name, ctx );
   }
}

void ContainerzServer::stopRunning( DockerApiClient & api, String const & name, bool force ) {
   String const path = "/containers/" + DockerApiClient::escape( name );
   auto r = force ? api.request( "POST", path + "/kill" )
                  : api.request( "POST", path + "/stop?t=" + std::to_string( kStopGraceSec ), "",
                                 nullptr, kStopGraceSec + DockerApiClient::kChangeLimitSec );
   if ( r.status == 404 ) {
      throw CallError( grpc::StatusCode::NOT_FOUND, "no container " + name );
   }
   if ( r.status == 409 && force ) {
      return; // it ended on its own meanwhile
   }
   if ( r.status >= 300 && r.status != 304 ) {
      throw CallError( grpc::StatusCode::UNAVAILABLE, "container " + name + " not stopped: " +
                                                         DockerApiClient::errorMessage( r ) );
   }
}

grpc::Status ContainerzServer::StopContainer( grpc::ServerContext * ctx,
                                              pb::StopContainerRequest const * req,
                                              pb::StopContainerResponse * ) {
   String const & name = req->instance_name();
   try {
      auto const lock = turnOf( ctx );
      auto const client = clientOf( ctx );
      DockerApiClient & api = *client;
      auto const c = existingContainer( api, name );
      if ( !c.value( "/State/Running"_json_pointer, false ) ) {
         return { grpc::StatusCode::FAILED_PRECONDITION, "container " + name + " is not running" };
      }
      stopRunning( api, name, req->force() );
      if ( req->restart() ) {
         if ( auto refused = startContainer( api, name ) ) {
            return { codeOfAnswer( refused->status ),
                     "container " + name +
                        " stopped, not restarted: " + DockerApiClient::errorMessage( *refused ) };
         }
      }
      return grpc::Status::OK;
   } catch ( std::exception const & e ) {
      return statusOf( e, "container " + name, ctx );
   }
}

grpc::Status ContainerzServer::RemoveContainer( grpc::ServerContext * ctx,
                                                pb::RemoveContainerRequest const * req,
                                                pb::RemoveContainerResponse * ) {
   String const & name = req->name();
   try {
      auto const lock = turnOf( ctx );
      auto const client = clientOf( ctx );
      DockerApiClient & api = *client;
      auto const c = existingContainer( api, name );
      if ( c.value( "/State/Running"_json_pointer, false ) && !req->force() ) {
         return { grpc::StatusCode::FAILED_PRECONDITION,
                  "container " + name + " is running; stop it first or force" };
      }
      auto r =
         api.request( "DELETE", "/containers/" + DockerApiClient::escape( name ) + "?force=1" );
      if ( r.status != 204 && r.status != 404 ) {
         return { codeOfAnswer( r.status ),
                  "container " + name + " not removed: " + DockerApiClient::errorMessage( r ) };
      }
      return grpc::Status::OK;
   } catch ( std::exception const & e ) {
      return statusOf( e, "container " + name, ctx );
   }
}

grpc::Status
ContainerzServer::ListContainer( grpc::ServerContext * ctx, pb::ListContainerRequest const * req,
                                 grpc::ServerWriter< pb::ListContainerResponse > * out ) {
   try {
      auto const client = clientOf( ctx );
      DockerApiClient & api = *client;
      String path = "/containers/json?all=" + String( req->all() ? "1" : "0" ) +
                    "&filters=" + filtersOf( req->filter() );
      if ( req->limit() > 0 ) {
         path += "&limit=" + std::to_string( req->limit() );
      }
      json const list = api.call( "GET", path );
      std::map< String, String > updateErrors;
      {
         std::lock_guard lock( errorsMutex_ );
         updateErrors = updateErrors_;
      }
      for ( auto const & c : list ) {
         pb::ListContainerResponse r;
         r.set_id( c.value( "Id", "" ) );
         if ( c.contains( "Names" ) && !c[ "Names" ].empty() ) {
            String const n = c[ "Names" ][ 0 ].get< String >();
            r.set_name( n.starts_with( "/" ) ? n.substr( 1 ) : n );
         }
         r.set_image_name( c.value( "Image", "" ) );
         r.set_status( statusOfState( c.value( "State", "" ) ) );
         if ( c.contains( "Labels" ) && c[ "Labels" ].is_object() ) {
            for ( auto const & [ k, v ] : c[ "Labels" ].items() ) {
               ( *r.mutable_labels() )[ k ] = v.get< String >();
            }
         }
         if ( auto const e = updateErrors.find( r.name() ); e != updateErrors.end() ) {
            ( *r.mutable_labels() )[ kUpdateErrorLabel ] = e->second;
         }
         hashOf( c.value( "ImageID", "" ), r.mutable_hash() );
         if ( !out->Write( r ) ) {
            break;
         }
      }
      return grpc::Status::OK;
   } catch ( std::exception const & e ) {
      return statusOf( e, "the list of containers", ctx );
   }
}

} // namespace Quayd::Containerz
