#include "tools/quayd-containerz/DeployStream.h"

#include <memory>

#include "tools/quayd-containerz/CallError.h"

namespace Quayd::Containerz {

std::optional< ImageChunk > contentOnly( std::vector< grpc::Slice > slices ) {
   auto kept = std::make_shared< std::vector< grpc::Slice > const >( std::move( slices ) );
   auto const & s = *kept;
   size_t total = 0;
   for ( auto const & slice : s ) {
      total += slice.size();
   }
   // The header may straddle slices: read it a byte at a time.
   size_t at = 0, off = 0, header = 0;
   auto const next = [ & ]() -> std::optional< uint8_t > {
      while ( at < s.size() && off == s[ at ].size() ) {
         ++at;
         off = 0;
      }
      if ( at == s.size() ) {
         return std::nullopt;
      }
      ++header;
      return s[ at ].begin()[ off++ ];
   };
   // Field 2 (content), length-delimited; then its length, a varint.
   constexpr uint8_t kContentKey = ( 2 << 3 ) | 2;
   if ( next() != kContentKey ) {
      return std::nullopt;
   }
   // At most five bytes, and below 2 GiB, as a message's parser takes it.
   uint64_t length = 0;
   for ( int shift = 0;; shift += 7 ) {
      auto const b = next();
      if ( !b || ( shift == 28 && *b >= 8 ) ) {
         return std::nullopt;
      }
      length |= uint64_t( *b & 0x7f ) << shift;
      if ( !( *b & 0x80 ) ) {
         break;
      }
   }
   // Anything after the content is another field, which the full parse
   // judges.
   if ( length != total - header ) {
      return std::nullopt;
   }
   ImageChunk c;
   for ( ; at < s.size(); ++at, off = 0 ) {
      if ( off < s[ at ].size() ) {
         c.ranges.emplace_back( reinterpret_cast< char const * >( s[ at ].begin() ) + off,
                                s[ at ].size() - off );
      }
   }
   c.keep = std::move( kept );
   return c;
}

bool DeployStream::read( DeployMessage & m ) {
   grpc::ByteBuffer bytes;
   if ( !raw_->Read( &bytes ) ) {
      return false;
   }
   std::vector< grpc::Slice > slices;
   if ( !bytes.Dump( &slices ).ok() ) {
      throw CallError( grpc::StatusCode::INTERNAL, "a deploy message could not be read" );
   }
   m.request.Clear();
   m.content = contentOnly( std::move( slices ) );
   if ( !m.content &&
        !grpc::SerializationTraits< pb::DeployRequest >::Deserialize( &bytes, &m.request ).ok() ) {
      throw CallError( grpc::StatusCode::INVALID_ARGUMENT,
                       "a message of the deploy stream is not a DeployRequest" );
   }
   return true;
}

bool DeployStream::write( pb::DeployResponse const & r ) {
   grpc::ByteBuffer bytes;
   bool own = false;
   return grpc::SerializationTraits< pb::DeployResponse >::Serialize( r, &bytes, &own ).ok() &&
          raw_->Write( bytes );
}

} // namespace Quayd::Containerz
