#include "platform/docker/ImageLoad.h"

#include <algorithm>
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
   auto const read = [ tarball ]( char * buf, size_t size ) {
      size_t const got = fread( buf, 1, size, tarball );
      if ( got == 0 && ferror( tarball ) ) {
         throw RuntimeException( "the tarball could not be read" );
      }
      return got;
   };
   return imageLoadAnswer( api.stream( "POST", kImageLoadPath, read ) );
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
   loader_ = std::thread( [ this, &api ] {
      try {
         answer_ = imageLoadAnswer(
            api.stream( "POST", kImageLoadPath,
                        [ this ]( char * buf, size_t size ) { return read( buf, size ); } ) );
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
}

ImageChunk ImageChunk::of( std::string bytes ) {
   auto kept = std::make_shared< std::string const >( std::move( bytes ) );
   return { { *kept }, kept };
}

bool StreamedImageLoad::send( ImageChunk chunk ) {
   std::erase_if( chunk.ranges, []( std::string_view r ) { return r.empty(); } );
   std::unique_lock lock( mutex_ );
   changed_.wait( lock, [ this ] { return chunks_.size() < kChunksAhead || loadOver_; } );
   if ( loadOver_ || ended_ ) {
      return false;
   }
   if ( !chunk.ranges.empty() ) {
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

size_t StreamedImageLoad::read( char * buf, size_t size ) {
   std::unique_lock lock( mutex_ );
   changed_.wait( lock, [ this ] { return !chunks_.empty() || ended_; } );
   if ( abandoned_ ) {
      throw RuntimeException( "the image load was given up" );
   }
   // As much as the chunks already here hold, to fill the upload's piece.
   size_t n = 0;
   while ( n < size && !chunks_.empty() ) {
      auto const & ranges = chunks_.front().ranges;
      std::string_view const range = ranges[ frontRanges_ ];
      size_t const k = std::min( size - n, range.size() - frontRead_ );
      std::memcpy( buf + n, range.data() + frontRead_, k );
      n += k;
      frontRead_ += k;
      if ( frontRead_ == range.size() ) {
         frontRead_ = 0;
         if ( ++frontRanges_ == ranges.size() ) {
            frontRanges_ = 0;
            chunks_.pop_front();
            changed_.notify_all();
         }
      }
   }
   return n;
}

} // namespace Quayd
