#include "platform/docker/ImageLoad.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
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
   cookie_io_functions_t io{};
   io.read = &StreamedImageLoad::read;
   reader_ = fopencookie( this, "r", io );
   if ( !reader_ ) {
      throw RuntimeException( "no stream for the image load" );
   }
   loader_ = std::thread( [ this, &api ] {
      try {
         answer_ = loadImages( api, reader_ );
      } catch ( ... ) {
         failure_ = std::current_exception();
      }
      // A sender still waiting learns at once that nobody reads.
      std::lock_guard lock( mutex_ );
      loadOver_ = true;
      changed_.notify_all();
   } );
}

StreamedImageLoad::~StreamedImageLoad() {
   abandon();
   if ( loader_.joinable() ) {
      loader_.join();
   }
   fclose( reader_ );
}

bool StreamedImageLoad::send( std::string chunk ) {
   std::unique_lock lock( mutex_ );
   changed_.wait( lock, [ this ] { return chunks_.size() < kChunksAhead || loadOver_; } );
   if ( loadOver_ || ended_ ) {
      return false;
   }
   if ( !chunk.empty() ) {
      chunks_.push_back( std::move( chunk ) );
      changed_.notify_all();
   }
   return true;
}

ImageLoadAnswer StreamedImageLoad::finish() {
   end( false );
   loader_.join();
   if ( failure_ ) {
      std::rethrow_exception( failure_ );
   }
   return answer_;
}

void StreamedImageLoad::abandon() { end( true ); }

void StreamedImageLoad::end( bool abandoned ) {
   std::lock_guard lock( mutex_ );
   if ( !ended_ ) {
      ended_ = true;
      abandoned_ = abandoned;
      changed_.notify_all();
   }
}

ssize_t StreamedImageLoad::read( void * cookie, char * buf, size_t size ) {
   auto * self = static_cast< StreamedImageLoad * >( cookie );
   std::unique_lock lock( self->mutex_ );
   self->changed_.wait( lock, [ self ] { return !self->chunks_.empty() || self->ended_; } );
   if ( self->abandoned_ ) {
      errno = ECANCELED;
      return -1;
   }
   // As much as the chunks already here hold, to fill the upload's piece.
   size_t n = 0;
   while ( n < size && !self->chunks_.empty() ) {
      std::string const & front = self->chunks_.front();
      size_t const k = std::min( size - n, front.size() - self->frontRead_ );
      std::memcpy( buf + n, front.data() + self->frontRead_, k );
      n += k;
      self->frontRead_ += k;
      if ( self->frontRead_ == front.size() ) {
         self->chunks_.pop_front();
         self->frontRead_ = 0;
         self->changed_.notify_all();
      }
   }
   return ssize_t( n );
}

} // namespace Quayd
