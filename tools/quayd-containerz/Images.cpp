// Deploy, ListImage, RemoveImage.
#include <sys/statvfs.h>

#include <filesystem>
#include <memory>

#include "platform/Exception.h"
#include "platform/docker/ImageLoad.h"
#include "tools/quayd-containerz/ContainerzServer.h"
#include "tools/quayd-containerz/ImageNames.h"
#include "tools/quayd-containerz/StartRequest.h"

using nlohmann::json;

namespace Quayd::Containerz {

namespace {

// The names of staged tarballs; nothing else lives in the staging directory.
constexpr char const * kStagedPrefix = "deploy-";

// Bytes free for an ordinary user of the file system of `dir`.
uint64_t freeBytes( String const & dir ) {
   struct statvfs s {};
   if ( statvfs( dir.c_str(), &s ) != 0 ) {
      throw CallError( grpc::StatusCode::INTERNAL, "no file system at " + dir );
   }
   return static_cast< uint64_t >( s.f_bavail ) * s.f_frsize;
}

} // namespace

String ContainerzServer::loadStreamed( DeployStream & stream, pb::ImageTransfer const & transfer,
                                       DockerApiClient & api ) {
   StreamedImageLoad load( api );
   uint64_t received = 0, reported = 0;
   DeployMessage m;
   pb::DeployRequest const & req = m.request;
   for ( ;; ) {
      if ( !stream.read( m ) ) {
         throw CallError( grpc::StatusCode::UNKNOWN,
                          "the stream of " + transfer.name() + " ended before its end message" );
      }
      if ( req.has_image_transfer_end() ) {
         break;
      }
      if ( !m.content && !req.has_content() ) {
         throw CallError( grpc::StatusCode::INVALID_ARGUMENT,
                          "a second transfer message within the transfer of " + transfer.name() );
      }
      ImageChunk chunk = m.content ? std::move( *m.content )
                                   : ImageChunk::of( std::move( *m.request.mutable_content() ) );
      for ( auto const r : chunk.ranges ) {
         received += r.size();
      }
      if ( received > transfer.image_size() ) {
         throw CallError( grpc::StatusCode::INVALID_ARGUMENT,
                          "more than the announced " + std::to_string( transfer.image_size() ) +
                             " bytes of " + transfer.name() );
      }
      if ( !load.send( std::move( chunk ) ) ) {
         break; // the load ended: its answer says why
      }
      if ( received - reported >= kProgressEvery ) {
         reported = received;
         pb::DeployResponse p;
         p.mutable_image_transfer_progress()->set_bytes_received( received );
         stream.write( p );
      }
   }
   if ( received != transfer.image_size() && req.has_image_transfer_end() ) {
      throw CallError( grpc::StatusCode::INVALID_ARGUMENT,
                       std::to_string( received ) + " bytes of " + transfer.name() + " arrived, " +
                          std::to_string( transfer.image_size() ) + " announced" );
   }
   auto const answer = load.finish();
   if ( answer.status != 200 ) {
      throw CallError( codeOfAnswer( answer.status ), "the image was not loaded: " + answer.error );
   }
   if ( received != transfer.image_size() ) {
      throw CallError( grpc::StatusCode::INVALID_ARGUMENT,
                       "the image's tarball ended after " + std::to_string( received ) +
                          " bytes of " + transfer.name() + ", " +
                          std::to_string( transfer.image_size() ) + " announced" );
   }
   pb::DeployResponse p;
   p.mutable_image_transfer_progress()->set_bytes_received( received );
   stream.write( p );
   if ( !answer.error.empty() ) {
      throw CallError( grpc::StatusCode::INVALID_ARGUMENT, answer.error );
   }
   if ( answer.images.empty() ) {
      throw CallError( grpc::StatusCode::INVALID_ARGUMENT, "the tarball holds no image" );
   }
   return answer.images.front();
}

void ContainerzServer::sweepStaging() {
   std::error_code ec;
   for ( auto const & e : std::filesystem::directory_iterator( stagingDir_, ec ) ) {
      if ( e.path().filename().string().starts_with( kStagedPrefix ) ) {
         std::filesystem::remove( e.path(), ec );
      }
   }
}

void ContainerzServer::tagLoaded( DockerApiClient & api, pb::ImageTransfer const & t,
                                  String const & loaded,
                                  std::map< String, String > const & tagsBefore ) {
   String const ref = imageRef( t.name(), t.tag() );
   if ( loaded == ref ) {
      return;
   }
   auto tag = [ &api ]( String const & image, String const & as ) {
      size_t const colon = as.rfind( ':' );
      auto r =
         api.request( "POST", "/images/" + DockerApiClient::escape( image ) +
                                 "/tag?repo=" + DockerApiClient::escape( as.substr( 0, colon ) ) +
                                 "&tag=" + DockerApiClient::escape( as.substr( colon + 1 ) ) );
      if ( r.status != 201 ) {
         throw CallError( codeOfAnswer( r.status ),
                          "image " + as + " not tagged: " + DockerApiClient::errorMessage( r ) );
      }
   };
   tag( loaded, ref );
   if ( loaded.starts_with( "sha256:" ) ) {
      return;
   }
   // The tarball's own name was only the way in; where it named another
   // image before, it names that image again.
   auto const before = tagsBefore.find( loaded );
   auto const image = inspectImage( api, ref );
   String const id = image ? image->value( "Id", "" ) : "";
   if ( before == tagsBefore.end() ) {
      api.request( "DELETE", "/images/" + DockerApiClient::escape( loaded ) + "?noprune=1" );
   } else if ( before->second != id ) {
      tag( before->second, loaded );
   }
}

grpc::Status ContainerzServer::deploy( grpc::ServerContext * ctx, DeployStream & stream ) {
   DeployMessage first;
   try {
      if ( !stream.read( first ) ) {
         return { grpc::StatusCode::UNKNOWN, "the deploy stream ended before its first message" };
      }
   } catch ( CallError const & e ) {
      return e.status();
   }
   if ( !first.request.has_image_transfer() ) {
      return { grpc::StatusCode::INVALID_ARGUMENT,
               "a deploy starts with the transfer message, not content" };
   }
   pb::ImageTransfer const & t = first.request.image_transfer();
   String const ref = imageRef( t.name(), t.tag() );
   try {
      if ( t.is_plugin() ) {
         throw CallError( grpc::StatusCode::UNIMPLEMENTED,
                          "plugin " + t.name() + ": this server runs container images only" );
      }
      if ( t.has_remote_download() ) {
         throw CallError( grpc::StatusCode::UNIMPLEMENTED,
                          "image " + ref + ": this server takes images sent in the stream only" );
      }
      if ( auto const why = imageRefRefusal( t.name(), t.tag() ) ) {
         throw CallError( grpc::StatusCode::INVALID_ARGUMENT, *why );
      }
      auto const claim = deploying_.claim( ref );
      if ( !claim ) {
         throw CallError( grpc::StatusCode::UNAVAILABLE, "a deploy of " + ref + " is in progress" );
      }
      // The daemon keeps the tarball while it loads it into the data root on
      // the same flash: twice over, reserved for the whole transfer against
      // concurrent deploys.
      std::filesystem::create_directories( stagingDir_ );
      uint64_t const need =
         t.image_size() > UINT64_MAX / 2 ? UINT64_MAX : 2 * uint64_t( t.image_size() );
      auto const measured = [ this ] { return freeBytes( stagingDir_ ); };
      auto hold = staging_.reserve( need, measured );
      if ( !hold ) {
         // Images that no tag names any more (replaced by later deploys of
         // their tag) make room first.
         auto const api = clientOf( ctx );
         api->request( "POST",
                       "/images/prune?filters=" +
                          DockerApiClient::escape( json{ { "dangling", { "true" } } }.dump() ),
                       "", nullptr, DockerApiClient::kChangeLimitSec * 3 );
         hold = staging_.reserve( need, measured );
      }
      if ( !hold ) {
         throw CallError( grpc::StatusCode::RESOURCE_EXHAUSTED,
                          "image " + ref + " of " + std::to_string( t.image_size() ) +
                             " bytes needs twice that on flash, " +
                             std::to_string( freeBytes( stagingDir_ ) ) + " bytes are free, " +
                             std::to_string( staging_.reserved() ) +
                             " of them reserved by other deploys" );
      }
      auto const api = clientOf( ctx );
      std::map< String, String > tagsBefore;
      for ( auto const & image : api->call( "GET", "/images/json" ) ) {
         if ( image.contains( "RepoTags" ) && image[ "RepoTags" ].is_array() ) {
            for ( auto const & rt : image[ "RepoTags" ] ) {
               tagsBefore[ rt.get< String >() ] = image.value( "Id", "" );
            }
         }
      }
      pb::DeployResponse ready;
      ready.mutable_image_transfer_ready()->set_chunk_size( kChunkSize );
      stream.write( ready );
      String const loaded = loadStreamed( stream, t, *api );
      tagLoaded( *api, t, loaded, tagsBefore );
      pb::DeployResponse ok;
      auto * s = ok.mutable_image_transfer_success();
      s->set_name( t.name() );
      s->set_tag( ref.substr( t.name().size() + 1 ) );
      s->set_image_size( t.image_size() );
      stream.write( ok );
      return grpc::Status::OK;
   } catch ( std::exception const & e ) {
      grpc::Status const st = statusOf( e, "image " + ref, ctx );
      pb::DeployResponse err;
      err.mutable_image_transfer_error()->set_code( st.error_code() );
      err.mutable_image_transfer_error()->set_message( st.error_message() );
      stream.write( err );
      return st;
   }
}

grpc::Status ContainerzServer::ListImage( grpc::ServerContext * ctx,
                                          pb::ListImageRequest const * req,
                                          grpc::ServerWriter< pb::ListImageResponse > * out ) {
   try {
      auto const client = clientOf( ctx );
      DockerApiClient & api = *client;
      json const list = api.call( "GET", "/images/json?filters=" + filtersOf( req->filter() ) );
      int32_t sent = 0;
      for ( auto const & image : list ) {
         if ( !image.contains( "RepoTags" ) || !image[ "RepoTags" ].is_array() ) {
            continue;
         }
         for ( auto const & tagged : image[ "RepoTags" ] ) {
            String const rt = tagged.get< String >();
            size_t const colon = rt.rfind( ':' );
            if ( rt == "<none>:<none>" || colon == String::npos ) {
               continue;
            }
            if ( req->limit() > 0 && sent == req->limit() ) {
               return grpc::Status::OK;
            }
            pb::ListImageResponse r;
            r.set_id( image.value( "Id", "" ) );
            r.set_image_name( rt.substr( 0, colon ) );
            r.set_tag( rt.substr( colon + 1 ) );
            if ( !out->Write( r ) ) {
               return grpc::Status::OK;
            }
            ++sent;
         }
      }
      return grpc::Status::OK;
   } catch ( std::exception const & e ) {
      return statusOf( e, "the list of images", ctx );
   }
}

grpc::Status ContainerzServer::RemoveImage( grpc::ServerContext * ctx,
                                            pb::RemoveImageRequest const * req,
                                            pb::RemoveImageResponse * ) {
   String const ref = imageRef( req->name(), req->tag() );
   try {
      auto const lock = turnOf( ctx );
      auto const client = clientOf( ctx );
      DockerApiClient & api = *client;
      auto const image = inspectImage( api, ref );
      if ( !image ) {
         return { grpc::StatusCode::NOT_FOUND, "no image " + ref };
      }
      json const users =
         api.call( "GET", "/containers/json?all=1&filters=" +
                             DockerApiClient::escape(
                                json{ { "ancestor", { image->value( "Id", ref ) } } }.dump() ) );
      if ( !users.empty() && !req->force() ) {
         String const user = users[ 0 ].contains( "Names" )
                                ? users[ 0 ][ "Names" ][ 0 ].get< String >()
                                : users[ 0 ].value( "Id", "" );
         return { grpc::StatusCode::FAILED_PRECONDITION,
                  "image " + ref + " is used by container " +
                     user.substr( user.starts_with( "/" ) ) };
      }
      auto r = api.request( "DELETE",
                            "/images/" + DockerApiClient::escape( ref ) +
                               ( req->force() ? "?force=1" : "" ),
                            "", nullptr, DockerApiClient::kChangeLimitSec );
      if ( r.status == 409 ) {
         return { grpc::StatusCode::FAILED_PRECONDITION,
                  "image " + ref + " not removed: " + DockerApiClient::errorMessage( r ) };
      }
      if ( r.status != 200 && r.status != 404 ) {
         return { codeOfAnswer( r.status ),
                  "image " + ref + " not removed: " + DockerApiClient::errorMessage( r ) };
      }
      return grpc::Status::OK;
   } catch ( std::exception const & e ) {
      return statusOf( e, "image " + ref, ctx );
   }
}

} // namespace Quayd::Containerz
