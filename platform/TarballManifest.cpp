#include "platform/TarballManifest.h"

#include <nlohmann/json.hpp>

#include "platform/Exception.h"

namespace Quayd {

namespace {

constexpr size_t kBlock = 512;

String field( String const & header, size_t from, size_t length ) {
   String s = header.substr( from, length );
   return s.substr( 0, s.find( '\0' ) );
}

// A header's size field: octal digits, or base-256 when its first byte has
// the high bit set (for members of 8 GiB and more).
uint64_t memberSize( String const & header ) {
   uint64_t n = 0;
   if ( static_cast< unsigned char >( header[ 124 ] ) & 0x80 ) {
      for ( size_t i = 125; i < 136; ++i ) {
         if ( n >> 56 ) {
            throw RuntimeException( "tar member too large" );
         }
         n = ( n << 8 ) | static_cast< unsigned char >( header[ i ] );
      }
      return n;
   }
   size_t i = 124;
   while ( i < 136 && header[ i ] == ' ' ) {
      ++i;
   }
   for ( ; i < 136 && header[ i ] >= '0' && header[ i ] <= '7'; ++i ) {
      n = n * 8 + static_cast< uint64_t >( header[ i ] - '0' );
   }
   if ( i < 136 && header[ i ] != ' ' && header[ i ] != '\0' ) {
      throw RuntimeException( "malformed tar header" );
   }
   return n;
}

bool isHex( String const & s ) {
   return s.size() == 64 && s.find_first_not_of( "0123456789abcdef" ) == String::npos;
}

// The old save format names the config "<hex>.json", the newer one
// "blobs/sha256/<hex>"; either way the image's ID is the config's digest.
String imageId( String const & config ) {
   String hex = config.substr( config.rfind( '/' ) + 1 );
   if ( hex.size() > 5 && hex.ends_with( ".json" ) ) {
      hex.resize( hex.size() - 5 );
   }
   if ( !isHex( hex ) ) {
      throw RuntimeException( "manifest.json names no image ID: " + config.substr( 0, 100 ) );
   }
   return "sha256:" + hex;
}

std::vector< String > parseManifest( String const & text ) {
   nlohmann::json const j = nlohmann::json::parse( text, nullptr, false );
   if ( !j.is_array() || j.empty() ) {
      throw RuntimeException( "manifest.json is not a list of images" );
   }
   std::vector< String > ids;
   for ( auto const & image : j ) {
      if ( !image.is_object() || !image.contains( "Config" ) || !image[ "Config" ].is_string() ) {
         throw RuntimeException( "manifest.json has an image without Config" );
      }
      ids.push_back( imageId( image[ "Config" ].get< String >() ) );
   }
   return ids;
}

} // namespace

std::vector< String > tarballImageIds( TarballRead const & read ) {
   uint64_t offset = 0;
   for ( size_t member = 0; member < kTarballMembersMax; ++member ) {
      String const header = read( offset, kBlock );
      if ( header.size() < kBlock || header.find_first_not_of( '\0' ) == String::npos ) {
         return {}; // the end, and no manifest
      }
      uint64_t const size = memberSize( header );
      char const type = header[ 156 ];
      String name = field( header, 0, 100 );
      if ( field( header, 257, 5 ) == "ustar" && !field( header, 345, 155 ).empty() ) {
         name = field( header, 345, 155 ) + "/" + name;
      }
      if ( ( name == "manifest.json" || name == "./manifest.json" ) &&
           ( type == '0' || type == '\0' ) ) {
         if ( size > kManifestBytesMax ) {
            throw RuntimeException( "manifest.json larger than 1 MiB" );
         }
         String const text = read( offset + kBlock, size );
         if ( text.size() < size ) {
            throw RuntimeException( "manifest.json cut short" );
         }
         return parseManifest( text );
      }
      uint64_t const blocks = ( size + kBlock - 1 ) / kBlock;
      if ( blocks > ( UINT64_MAX - offset ) / kBlock - 1 ) {
         throw RuntimeException( "malformed tar header" );
      }
      offset += kBlock + blocks * kBlock;
   }
   return {};
}

} // namespace Quayd
