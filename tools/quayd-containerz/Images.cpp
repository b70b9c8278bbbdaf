// Deploy, ListImage, RemoveImage.
#include <sys/statvfs.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <memory>

#include "platform/Exception.h"
#include "tools/quayd-containerz/ContainerzServer.h"
#include "tools/quayd-containerz/StartRequest.h"

using nlohmann::json;

namespace Quayd::Containerz {

namespace {

using DeployStream = grpc::ServerReaderWriter< pb::DeployResponse, pb::DeployRequest >;

// Bytes free for an ordinary user of the file system of `dir`.
uint64_t freeBytes( String const & dir ) {
   struct statvfs s {};
   if ( statvfs( dir.c_str(), &s ) != 0 ) {
      throw CallError( grpc::StatusCode::INTERNAL, "no file system at " + dir );
   }
   return static_cast< uint64_t >( s.f_bavail ) * s.f_frsize;
}

// The staged tarball goes when the call ends, whichever way.
struct StagedFile {
   String path;
   ~StagedFile() { unlink( path.c_str() ); }
};

// The references a load answer names: "Loaded image: bb:1",
// "Loaded image ID: sha256:...". An error line throws.
std::vector< String > loadedRefs( String const & answer ) {
   std::vector< String > refs;
   size_t pos = 0;
   while ( pos < answer.size() ) {
      size_t const end = std::min( answer.find( '\n', pos ), answer.size() );
      auto const j = json::parse( answer.substr( pos, end - pos ), nullptr, false );
      pos = end + 1;
      if ( !j.is_object() ) {
         continue;
      }
      if ( j.contains( "error" ) ) {
         throw CallError( grpc::StatusCode::INTERNAL, j.value( "error", "" ) );
      }
      String const text = j.value( "stream", "" );
      for ( String const prefix : { "Loaded image: ", "Loaded image ID: " } ) {
         if ( text.starts_with( prefix ) ) {
            String ref = text.substr( prefix.size() );
            while ( !ref.empty() && ( ref.back() == '\n' || ref.back() == ' ' ) ) {
               ref.pop_back();
            }
            refs.push_back( ref );
         }
      }
   }
   return refs;
}

} // namespace

void ContainerzServer::receiveImage( DeployStream * stream, pb::ImageTransfer const & transfer,
                                     String const & path ) {
   std::unique_ptr< FILE, int ( * )( FILE * ) > f( fopen( path.c_str(), "wbx" ), fclose );
   if ( !f ) {
      throw CallError( grpc::StatusCode::INTERNAL, "cannot stage the image at " + path );
   }
   uint64_t received = 0, reported = 0;
   pb::DeployRequest req;
   for ( ;; ) {
      if ( !stream->Read( &req ) ) {
         throw CallError( grpc::StatusCode::UNKNOWN,
                          "the stream of " + transfer.name() + " ended before its end message" );
      }
      if ( req.has_image_transfer_end() ) {
         break;
      }
      if ( !req.has_content() ) {
         throw CallError( grpc::StatusCode::INVALID_ARGUMENT,
                          "a second transfer message within the transfer of " + transfer.name() );
      }
      received += req.content().size();
      if ( received > transfer.image_size() ) {
         throw CallError( grpc::StatusCode::INVALID_ARGUMENT,
                          "more than the announced " + std::to_string( transfer.image_size() ) +
                             " bytes of " + transfer.name() );
      }
      if ( fwrite( req.content().data(), 1, req.content().size(), f.get() ) !=
           req.content().size() ) {
         throw CallError( grpc::StatusCode::RESOURCE_EXHAUSTED,
                          "no room left to stage " + transfer.name() );
      }
      if ( received - reported >= kProgressEvery ) {
         reported = received;
         pb::DeployResponse p;
         p.mutable_image_transfer_progress()->set_bytes_received( received );
         stream->Write( p );
      }
   }
   if ( fflush( f.get() ) != 0 ) {
      throw CallError( grpc::StatusCode::RESOURCE_EXHAUSTED,
                       "no room left to stage " + transfer.name() );
   }
   if ( received != transfer.image_size() ) {
      throw CallError( grpc::StatusCode::INVALID_ARGUMENT,
                       std::to_string( received ) + " bytes of " + transfer.name() + " arrived, " +
                          std::to_string( transfer.image_size() ) + " announced" );
   }
   pb::DeployResponse p;
   p.mutable_image_transfer_progress()->set_bytes_received( received );
   stream->Write( p );
}

String ContainerzServer::loadImage( DockerApiClient & api, String const & path ) {
   std::unique_ptr< FILE, int ( * )( FILE * ) > f( fopen( path.c_str(), "rb" ), fclose );
   if ( !f ) {
      throw CallError( grpc::StatusCode::INTERNAL, "the staged image " + path + " is gone" );
   }
   auto r = api.stream( "POST", "/images/load?quiet=1", f.get() );
   if ( r.status != 200 ) {
      throw CallError( grpc::StatusCode::INTERNAL,
                       "the image was not loaded: " + DockerApiClient::errorMessage( r ) );
   }
   auto const refs = loadedRefs( r.body );
   if ( refs.empty() ) {
      throw CallError( grpc::StatusCode::INVALID_ARGUMENT, "the tarball holds no image" );
   }
   return refs.front();
}

grpc::Status ContainerzServer::Deploy( grpc::ServerContext *, DeployStream * stream ) {
   pb::DeployRequest first;
   if ( !stream->Read( &first ) ) {
      return { grpc::StatusCode::UNKNOWN, "the deploy stream ended before its first message" };
   }
   if ( !first.has_image_transfer() ) {
      return { grpc::StatusCode::INVALID_ARGUMENT,
               "a deploy starts with the transfer message, not content" };
   }
   pb::ImageTransfer const & t = first.image_transfer();
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
      if ( t.name().empty() ) {
         throw CallError( grpc::StatusCode::INVALID_ARGUMENT, "a deploy without an image name" );
      }
      // Staged, then loaded into the data root on the same flash: twice over.
      std::filesystem::create_directories( stagingDir_ );
      uint64_t free = freeBytes( stagingDir_ );
      if ( t.image_size() > free / 2 ) {
         // Images that no tag names any more (replaced by later deploys of
         // their tag) make room first.
         DockerApiClient api( socketPath_ );
         api.request( "POST",
                      "/images/prune?filters=" +
                         DockerApiClient::escape( json{ { "dangling", { "true" } } }.dump() ),
                      "", nullptr, DockerApiClient::kChangeLimitSec * 3 );
         free = freeBytes( stagingDir_ );
      }
      if ( t.image_size() > free / 2 ) {
         throw CallError( grpc::StatusCode::RESOURCE_EXHAUSTED,
                          "image " + ref + " of " + std::to_string( t.image_size() ) +
                             " bytes needs twice that on flash, " + std::to_string( free ) +
                             " bytes are free" );
      }
      StagedFile staged{ stagingDir_ + "/deploy-" + std::to_string( getpid() ) + "-" +
                         std::to_string( reinterpret_cast< uintptr_t >( stream ) ) + ".tar" };
      pb::DeployResponse ready;
      ready.mutable_image_transfer_ready()->set_chunk_size( kChunkSize );
      stream->Write( ready );
      receiveImage( stream, t, staged.path );
      DockerApiClient api( socketPath_ );
      String const loaded = loadImage( api, staged.path );
      if ( loaded != ref ) {
         auto r =
            api.request( "POST", "/images/" + DockerApiClient::escape( loaded ) +
                                    "/tag?repo=" + DockerApiClient::escape( t.name() ) + "&tag=" +
                                    DockerApiClient::escape( ref.substr( t.name().size() + 1 ) ) );
         if ( r.status != 201 ) {
            throw CallError( grpc::StatusCode::INTERNAL, "image " + ref + " not tagged: " +
                                                            DockerApiClient::errorMessage( r ) );
         }
         // The tarball's own name was only the way in.
         if ( !loaded.starts_with( "sha256:" ) ) {
            api.request( "DELETE", "/images/" + DockerApiClient::escape( loaded ) + "?noprune=1" );
         }
      }
      pb::DeployResponse ok;
      auto * s = ok.mutable_image_transfer_success();
      s->set_name( t.name() );
      s->set_tag( ref.substr( t.name().size() + 1 ) );
      s->set_image_size( t.image_size() );
      stream->Write( ok );
      return grpc::Status::OK;
   } catch ( std::exception const & e ) {
      grpc::Status const st = statusOf( e, "image " + ref );
      pb::DeployResponse err;
      err.mutable_image_transfer_error()->set_code( st.error_code() );
      err.mutable_image_transfer_error()->set_message( st.error_message() );
      stream->Write( err );
      return st;
   }
}

grpc::Status ContainerzServer::ListImage( grpc::ServerContext *, pb::ListImageRequest const * req,
                                          grpc::ServerWriter< pb::ListImageResponse > * out ) {
   try {
      DockerApiClient api( socketPath_ );
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
      return statusOf( e, "the list of images" );
   }
}

grpc::Status ContainerzServer::RemoveImage( grpc::ServerContext *,
                                            pb::RemoveImageRequest const * req,
                                            pb::RemoveImageResponse * ) {
   String const ref = imageRef( req->name(), req->tag() );
   try {
      std::lock_guard lock( changing_ );
      DockerApiClient api( socketPath_ );
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
         return { grpc::StatusCode::INTERNAL,
                  "image " + ref + " not removed: " + DockerApiClient::errorMessage( r ) };
      }
      return grpc::Status::OK;
   } catch ( std::exception const & e ) {
      return statusOf( e, "image " + ref );
   }
}

} // namespace Quayd::Containerz
