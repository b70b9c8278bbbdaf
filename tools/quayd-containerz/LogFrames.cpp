#include "tools/quayd-containerz/LogFrames.h"

namespace Quayd::Containerz {

namespace {
constexpr size_t kHeaderSize = 8;
constexpr char const * kReplacement = "\xEF\xBF\xBD";

// The length of the valid UTF-8 sequence at the start of `s`, or 0.
size_t sequenceAt( std::string_view s ) {
   auto const b = [ &s ]( size_t i ) { return static_cast< unsigned char >( s[ i ] ); };
   unsigned char const c = b( 0 );
   size_t n;
   unsigned char lo = 0x80, hi = 0xBF; // the range of the second byte
   if ( c < 0x80 ) {
      return 1;
   } else if ( c >= 0xC2 && c <= 0xDF ) {
      n = 2;
   } else if ( c >= 0xE0 && c <= 0xEF ) {
      n = 3;
      lo = c == 0xE0 ? 0xA0 : 0x80; // no overlong forms
      hi = c == 0xED ? 0x9F : 0xBF; // no surrogates
   } else if ( c >= 0xF0 && c <= 0xF4 ) {
      n = 4;
      lo = c == 0xF0 ? 0x90 : 0x80;
      hi = c == 0xF4 ? 0x8F : 0xBF; // nothing above U+10FFFF
   } else {
      return 0;
   }
   if ( s.size() < n || b( 1 ) < lo || b( 1 ) > hi ) {
      return 0;
   }
   for ( size_t i = 2; i < n; ++i ) {
      if ( ( b( i ) & 0xC0 ) != 0x80 ) {
         return 0;
      }
   }
   return n;
}
// Where to cut `s`, longer than kMaxLine, into a piece of at most kMaxLine
// bytes: before the character that would straddle the cut.
size_t characterCut( std::string_view s ) {
   size_t cut = LogLines::kMaxLine;
   while ( cut > LogLines::kMaxLine - 3 &&
           ( static_cast< unsigned char >( s[ cut ] ) & 0xC0 ) == 0x80 ) {
      --cut;
   }
   return cut;
}
} // namespace

String validUtf8( std::string_view bytes ) {
   String out;
   out.reserve( bytes.size() );
   while ( !bytes.empty() ) {
      size_t const n = sequenceAt( bytes );
      if ( n == 0 ) {
         out += kReplacement;
         bytes.remove_prefix( 1 );
      } else {
         out.append( bytes.substr( 0, n ) );
         bytes.remove_prefix( n );
      }
   }
   return out;
}

void LogLines::feed( std::string_view data ) {
   if ( !framed_ ) {
      text( data );
      return;
   }
   while ( !data.empty() ) {
      if ( frameLeft_ == 0 ) {
         size_t const take = std::min( kHeaderSize - header_.size(), data.size() );
         header_.append( data.substr( 0, take ) );
         data.remove_prefix( take );
         if ( header_.size() == kHeaderSize ) {
            for ( size_t i = 4; i < kHeaderSize; ++i ) {
               frameLeft_ = ( frameLeft_ << 8 ) | static_cast< unsigned char >( header_[ i ] );
            }
            header_.clear();
         }
         continue;
      }
      size_t const take = std::min( frameLeft_, data.size() );
      text( data.substr( 0, take ) );
      data.remove_prefix( take );
      frameLeft_ -= take;
   }
}

void LogLines::emit( std::string_view line ) {
   // Repair can triple the size of a line of invalid bytes: pieces are cut
   // from the repaired text, each at the start of a character.
   String const valid = validUtf8( line );
   std::string_view rest = valid;
   while ( rest.size() > kMaxLine ) {
      size_t const cut = characterCut( rest );
      sink_( String( rest.substr( 0, cut ) ) );
      rest.remove_prefix( cut );
   }
   sink_( String( rest ) );
}

void LogLines::text( std::string_view data ) {
   for ( size_t nl; ( nl = data.find( '\n' ) ) != std::string_view::npos; ) {
      partial_.append( data.substr( 0, nl ) );
      if ( !partial_.empty() && partial_.back() == '\r' ) {
         partial_.pop_back();
      }
      emit( partial_ );
      partial_.clear();
      data.remove_prefix( nl + 1 );
   }
   partial_.append( data );
   // A line without its end yet goes in pieces, so that memory stays bounded.
   std::string_view rest = partial_;
   while ( rest.size() > kMaxLine ) {
      size_t const cut = characterCut( rest );
      emit( rest.substr( 0, cut ) );
      rest.remove_prefix( cut );
   }
   partial_.erase( 0, partial_.size() - rest.size() );
}

void LogLines::finish() {
   if ( !partial_.empty() ) {
      emit( partial_ );
      partial_.clear();
   }
}

} // namespace Quayd::Containerz
