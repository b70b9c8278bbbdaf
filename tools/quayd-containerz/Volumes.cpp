// CreateVolume, RemoveVolume, ListVolume: named volumes of the daemon's
// own local driver; custom drivers come with plugins, which this server
// does not run.
#include <google/protobuf/util/time_util.h>

#include "platform/Exception.h"
#include "tools/quayd-containerz/ContainerzServer.h"

using nlohmann::json;

namespace Quayd::Containerz {

grpc::Status ContainerzServer::CreateVolume( grpc::ServerContext * ctx,
                                             pb::CreateVolumeRequest const * req,
                                             pb::CreateVolumeResponse * resp ) {
   String const & name = req->name();
   try {
      if ( req->driver() == pb::DS_CUSTOM || req->has_custom_options() ) {
         return { grpc::StatusCode::UNIMPLEMENTED,
                  "volume " + name +
                     ": custom volume drivers need plugins, which this server does not run" };
      }
      auto const api = clientOf( ctx );
      if ( !name.empty() &&
           api->request( "GET", "/volumes/" + DockerApiClient::escape( name ) ).status == 200 ) {
         return { grpc::StatusCode::ALREADY_EXISTS, "volume " + name + " exists already" };
      }
      json body = { { "Driver", "local" } };
      if ( !name.empty() ) {
         body[ "Name" ] = name;
      }
      for ( auto const & [ k, v ] : req->labels() ) {
         body[ "Labels" ][ k ] = v;
      }
      auto const & o = req->local_mount_options();
      if ( !o.mountpoint().empty() ) {
         privileges_()->checkBindSource( "local_mount_options.mountpoint", o.mountpoint() );
         // A directory of the device mounted as the volume ("none": bind).
         String joined;
         for ( auto const & w : o.options() ) {
            joined += ( joined.empty() ? "" : "," ) + w;
         }
         body[ "DriverOpts" ] = { { "type", "none" },
                                  { "device", o.mountpoint() },
                                  { "o", joined.empty() ? "bind" : joined } };
      }
      json const made = api->call( "POST", "/volumes/create", body );
      resp->set_name( made.value( "Name", name ) );
      return grpc::Status::OK;
   } catch ( std::exception const & e ) {
      return statusOf( e, "volume " + name, ctx );
   }
}

grpc::Status ContainerzServer::RemoveVolume( grpc::ServerContext * ctx,
                                             pb::RemoveVolumeRequest const * req,
                                             pb::RemoveVolumeResponse * ) {
   String const & name = req->name();
   try {
      auto const api = clientOf( ctx );
      auto r = api->request( "DELETE", "/volumes/" + DockerApiClient::escape( name ) +
                                          ( req->force() ? "?force=1" : "" ) );
      if ( r.status == 409 ) {
         return { grpc::StatusCode::FAILED_PRECONDITION,
                  "volume " + name + " is in use: " + DockerApiClient::errorMessage( r ) };
      }
      if ( r.status != 204 && r.status != 404 ) {
         return { codeOfAnswer( r.status ),
                  "volume " + name + " not removed: " + DockerApiClient::errorMessage( r ) };
      }
      return grpc::Status::OK;
   } catch ( std::exception const & e ) {
      return statusOf( e, "volume " + name, ctx );
   }
}

grpc::Status ContainerzServer::ListVolume( grpc::ServerContext * ctx,
                                           pb::ListVolumeRequest const * req,
                                           grpc::ServerWriter< pb::ListVolumeResponse > * out ) {
   try {
      auto const api = clientOf( ctx );
      json const list = api->call( "GET", "/volumes?filters=" + filtersOf( req->filter() ) );
      if ( !list.contains( "Volumes" ) || !list[ "Volumes" ].is_array() ) {
         return grpc::Status::OK;
      }
      for ( auto const & v : list[ "Volumes" ] ) {
         pb::ListVolumeResponse r;
         r.set_name( v.value( "Name", "" ) );
         r.set_driver( v.value( "Driver", "" ) );
         google::protobuf::util::TimeUtil::FromString( v.value( "CreatedAt", "" ),
                                                       r.mutable_created() );
         for ( char const * field : { "Options", "Labels" } ) {
            if ( !v.contains( field ) || !v[ field ].is_object() ) {
               continue;
            }
            auto * m = String( field ) == "Options" ? r.mutable_options() : r.mutable_labels();
            for ( auto const & [ k, val ] : v[ field ].items() ) {
               ( *m )[ k ] = val.is_string() ? val.get< String >() : val.dump();
            }
         }
         if ( !out->Write( r ) ) {
            break;
         }
      }
      return grpc::Status::OK;
   } catch ( std::exception const & e ) {
      return statusOf( e, "the list of volumes", ctx );
   }
}

} // namespace Quayd::Containerz
