#include "tools/quayd-containerz/LogFrames.h"

namespace Quayd::Containerz {

namespace {
constexpr size_t kHeaderSize = 8;
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

void LogLines::text( std::string_view data ) {
   for ( size_t nl; ( nl = data.find( '\n' ) ) != std::string_view::npos; ) {
      partial_.append( data.substr( 0, nl ) );
      if ( !partial_.empty() && partial_.back() == '\r' ) {
         partial_.pop_back();
      }
      sink_( partial_ );
      partial_.clear();
      data.remove_prefix( nl + 1 );
   }
   partial_.append( data );
}

void LogLines::finish() {
   if ( !partial_.empty() ) {
      sink_( partial_ );
      partial_.clear();
   }
}

} // namespace Quayd::Containerz
