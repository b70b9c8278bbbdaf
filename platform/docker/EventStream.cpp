#include "platform/docker/EventStream.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <climits>
#include <cstdlib>

#include <nlohmann/json.hpp>

namespace Quayd {

namespace {
// A header far beyond what the daemon sends is not a header.
constexpr size_t kMaxHeader = 64 * 1024;
constexpr size_t kMaxChunkLine = 256;
// One event is a few hundred bytes; a line without end is not one.
constexpr size_t kMaxLine = 1024 * 1024;

String lower( String s ) {
   std::transform( s.begin(), s.end(), s.begin(),
                   []( unsigned char c ) { return char( std::tolower( c ) ); } );
   return s;
}
} // namespace

void EventStreamParser::reset() { *this = EventStreamParser(); }

void EventStreamParser::fail( String why ) {
   phase_ = Phase::failed;
   error_ = std::move( why );
   buffer_.clear();
   line_.clear();
}

void EventStreamParser::readHeader() {
   size_t const end = buffer_.find( "\r\n\r\n" );
   if ( end == String::npos ) {
      if ( buffer_.size() > kMaxHeader ) {
         fail( "no end of the header" );
      }
      return;
   }
   String const header = lower( buffer_.substr( 0, end ) );
   buffer_.erase( 0, end + 4 );
   // "http/1.1 200 ok"
   size_t const sp = header.find( ' ' );
   if ( !header.starts_with( "http/1." ) || sp == String::npos ||
        header.compare( sp + 1, 3, "200" ) != 0 ) {
      fail( "answer: " + header.substr( 0, header.find( '\r' ) ) );
      return;
   }
   started_ = true;
   bool const chunked = header.find( "\r\ntransfer-encoding: chunked" ) != String::npos;
   phase_ = chunked ? Phase::chunkSize : Phase::plain;
}

std::vector< String > EventStreamParser::feed( std::string_view bytes ) {
   std::vector< String > lines;
   buffer_.append( bytes );
   for ( ;; ) {
      switch ( phase_ ) {
      case Phase::header:
         readHeader();
         if ( phase_ == Phase::header ) {
            return lines;
         }
         break;
      case Phase::chunkSize: {
         size_t const eol = buffer_.find( "\r\n" );
         if ( eol == String::npos ) {
            if ( buffer_.size() > kMaxChunkLine ) {
               fail( "no end of a chunk size" );
            }
            return lines;
         }
         String const text = buffer_.substr( 0, eol );
         buffer_.erase( 0, eol + 2 );
         char * end = nullptr;
         unsigned long long const size = std::strtoull( text.c_str(), &end, 16 );
         if ( end == text.c_str() || ( *end != '\0' && *end != ';' && *end != ' ' ) ) {
            fail( "bad chunk size '" + text + "'" );
            break;
         }
         chunkLeft_ = size;
         phase_ = size == 0 ? Phase::ended : Phase::chunkData;
         break;
      }
      case Phase::chunkData: {
         if ( buffer_.empty() ) {
            return lines;
         }
         size_t const n = std::min( chunkLeft_, buffer_.size() );
         body( std::string_view( buffer_ ).substr( 0, n ), lines );
         buffer_.erase( 0, n );
         chunkLeft_ -= n;
         if ( chunkLeft_ == 0 && phase_ == Phase::chunkData ) {
            phase_ = Phase::chunkEnd;
         }
         break;
      }
      case Phase::chunkEnd:
         if ( buffer_.size() < 2 ) {
            return lines;
         }
         if ( buffer_.compare( 0, 2, "\r\n" ) != 0 ) {
            fail( "no end of a chunk" );
            break;
         }
         buffer_.erase( 0, 2 );
         phase_ = Phase::chunkSize;
         break;
      case Phase::plain:
         body( buffer_, lines );
         buffer_.clear();
         return lines;
      case Phase::ended:
      case Phase::failed:
         buffer_.clear();
         return lines;
      }
   }
}

void EventStreamParser::body( std::string_view data, std::vector< String > & lines ) {
   for ( size_t nl; ( nl = data.find( '\n' ) ) != std::string_view::npos; ) {
      line_.append( data.substr( 0, nl ) );
      data.remove_prefix( nl + 1 );
      if ( !line_.empty() && line_.back() == '\r' ) {
         line_.pop_back();
      }
      if ( !line_.empty() ) {
         lines.push_back( std::move( line_ ) );
      }
      line_.clear();
   }
   line_.append( data );
   if ( line_.size() > kMaxLine ) {
      fail( "an event line without end" );
   }
}

std::optional< ContainerEvent > containerEventOf( String const & line ) {
   auto const j = nlohmann::json::parse( line, nullptr, false );
   if ( !j.is_object() ) {
      return std::nullopt;
   }
   auto const type = j.find( "Type" );
   if ( type == j.end() || *type != "container" ) {
      return std::nullopt;
   }
   auto const actor = j.find( "Actor" );
   if ( actor == j.end() || !actor->is_object() ) {
      return std::nullopt;
   }
   auto const attributes = actor->find( "Attributes" );
   if ( attributes == actor->end() || !attributes->is_object() ) {
      return std::nullopt;
   }
   auto const name = attributes->find( "name" );
   auto const action = j.find( "Action" );
   if ( name == attributes->end() || !name->is_string() || name->get< String >().empty() ||
        action == j.end() || !action->is_string() ) {
      return std::nullopt;
   }
   ContainerEvent e{ name->get< String >(), action->get< String >() };
   // The daemon writes it as text.
   auto const exitCode = attributes->find( "exitCode" );
   if ( exitCode != attributes->end() && exitCode->is_string() ) {
      char const * text = exitCode->get_ref< String const & >().c_str();
      char * end = nullptr;
      errno = 0;
      long const code = std::strtol( text, &end, 10 );
      if ( end != text && *end == '\0' && errno == 0 && code >= INT32_MIN && code <= INT32_MAX ) {
         e.exitCode = int32_t( code );
      }
   }
   return e;
}

} // namespace Quayd
