#include "platform/docker/ImageLoad.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <sstream>

#include <nlohmann/json.hpp>

#include "platform/Exception.h"

namespace Quayd {

namespace {

// The images a load's answer names: "Loaded image: bb:1" or
// "Loaded image ID: sha256:..." lines, or the error it ended in.
void readAnswer( String const & body, ImageLoadAnswer & a ) {
   std::istringstream lines( body );
   for ( String line; std::getline( lines, line ); ) {
      auto const j = nlohmann::json::parse( line, nullptr, false );
      if ( !j.is_object() ) {
         continue;
      }
      if ( j.contains( "error" ) ) {
         a.error = j[ "error" ].is_string() ? j[ "error" ].get< String >() : j[ "error" ].dump();
         a.images.clear();
         return;
      }
      String const text = j.value( "stream", String() );
      for ( String const prefix : { "Loaded image: ", "Loaded image ID: " } ) {
         if ( text.starts_with( prefix ) ) {
            String ref = text.substr( prefix.size() );
            while ( !ref.empty() && ( ref.back() == '\n' || ref.back() == ' ' ) ) {
               ref.pop_back();
            }
            a.images.push_back( ref );
         }
      }
   }
}

} // namespace

ImageLoadAnswer loadImages( DockerApiClient & api, FILE * tarball ) {
   return imageLoadAnswer( api.stream( "POST", kImageLoadPath, tarball ) );
}

std::vector< String > loadedImages( String const & tarball, ImageLoadAnswer const & a ) {
   if ( !a.error.empty() ) {
      throw RuntimeException( "loading " + tarball + ": " + a.error );
   }
   if ( a.images.empty() ) {
      throw RuntimeException( "loading " + tarball + ": no image in the answer" );
   }
   return a.images;
}

ImageLoadAnswer imageLoadAnswer( DockerApiClient::Response const & r ) {
   ImageLoadAnswer a;
   a.status = r.status;
   if ( r.status < 200 || r.status >= 300 ) {
      a.error = DockerApiClient::errorMessage( r );
   } else {
      readAnswer( r.body, a );
   }
   return a;
}

StreamedImageLoad::StreamedImageLoad( DockerApiClient & api ) {
   if ( ::socketpair( AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, fds_ ) != 0 ) {
      throw RuntimeException( "no socket pair for the image load" );
   }
   cookie_io_functions_t io{};
   io.read = &StreamedImageLoad::read;
   reader_ = fopencookie( this, "r", io );
   if ( !reader_ ) {
      ::close( fds_[ 0 ] );
      ::close( fds_[ 1 ] );
      throw RuntimeException( "no stream for the image load" );
   }
   loader_ = std::thread( [ this, &api ] {
      try {
         answer_ = loadImages( api, reader_ );
      } catch ( ... ) {
         failure_ = std::current_exception();
      }
      // A writer still sending learns at once that nobody reads.
      ::shutdown( fds_[ 0 ], SHUT_RD );
   } );
}

StreamedImageLoad::~StreamedImageLoad() {
   abandon();
   if ( loader_.joinable() ) {
      loader_.join();
   }
   fclose( reader_ );
   ::close( fds_[ 0 ] );
   ::close( fds_[ 1 ] );
}

bool StreamedImageLoad::send( std::string const & bytes ) {
   for ( size_t sent = 0; sent < bytes.size(); ) {
      ssize_t const n = ::send( fds_[ 1 ], bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL );
      if ( n < 0 && errno == EINTR ) {
         continue;
      }
      if ( n <= 0 ) {
         return false;
      }
      sent += size_t( n );
   }
   return true;
}

ImageLoadAnswer StreamedImageLoad::finish() {
   ::shutdown( fds_[ 1 ], SHUT_WR );
   loader_.join();
   if ( failure_ ) {
      std::rethrow_exception( failure_ );
   }
   return answer_;
}

void StreamedImageLoad::abandon() {
   abandoned_ = true;
   ::shutdown( fds_[ 1 ], SHUT_WR );
}

ssize_t StreamedImageLoad::read( void * cookie, char * buf, size_t size ) {
   auto * self = static_cast< StreamedImageLoad * >( cookie );
   for ( ;; ) {
      ssize_t const n = ::read( self->fds_[ 0 ], buf, size );
      if ( n < 0 && errno == EINTR ) {
         continue;
      }
      if ( n == 0 && self->abandoned_ ) {
         errno = ECANCELED;
         return -1;
      }
      return n;
   }
}

} // namespace Quayd
