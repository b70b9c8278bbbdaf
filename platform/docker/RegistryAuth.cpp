#include "platform/docker/RegistryAuth.h"

#include <cstring>

#include "platform/Codec.h"

namespace Quayd {

ImageName parseImageName( String const & ref ) {
   ImageName n;
   String rest = ref;
   if ( auto at = rest.find( '@' ); at != String::npos ) {
      n.tag = rest.substr( at + 1 );
      rest.erase( at );
   } else if ( auto colon = rest.rfind( ':' );
               colon != String::npos && rest.find( '/', colon ) == String::npos ) {
      n.tag = rest.substr( colon + 1 );
      rest.erase( colon );
   }
   n.repository = rest;
   if ( n.tag.empty() ) {
      n.tag = "latest";
   }
   auto slash = rest.find( '/' );
   String const first = rest.substr( 0, slash );
   bool const host = slash != String::npos &&
                     ( first.find_first_of( ".:" ) != String::npos || first == "localhost" );
   n.registry = host ? first : "docker.io";
   return n;
}

namespace {
char const kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
}

String base64Encode( String const & in, bool urlSafe ) {
   String out;
   for ( size_t i = 0; i < in.size(); i += 3 ) {
      uint32_t v = uint8_t( in[ i ] ) << 16;
      if ( i + 1 < in.size() ) {
         v |= uint8_t( in[ i + 1 ] ) << 8;
      }
      if ( i + 2 < in.size() ) {
         v |= uint8_t( in[ i + 2 ] );
      }
      out += kAlphabet[ v >> 18 ];
      out += kAlphabet[ ( v >> 12 ) & 63 ];
      out += i + 1 < in.size() ? kAlphabet[ ( v >> 6 ) & 63 ] : '=';
      out += i + 2 < in.size() ? kAlphabet[ v & 63 ] : '=';
   }
   if ( urlSafe ) {
      for ( auto & c : out ) {
         c = c == '+' ? '-' : c == '/' ? '_' : c;
      }
   }
   return out;
}

std::optional< String > base64Decode( String const & in ) {
   String out;
   uint32_t v = 0;
   int bits = 0;
   for ( char c : in ) {
      if ( c == '=' ) {
         break;
      }
      char const * at = std::strchr( kAlphabet, c == '-' ? '+' : c == '_' ? '/' : c );
      if ( !at || !c ) {
         return std::nullopt;
      }
      v = ( v << 6 ) | uint32_t( at - kAlphabet );
      bits += 6;
      if ( bits >= 8 ) {
         bits -= 8;
         out += char( ( v >> bits ) & 0xff );
      }
   }
   return out;
}

String registryAuth( nlohmann::json const & clientConfig, String const & registry ) {
   auto const auths =
      clientConfig.is_object() ? clientConfig.value( "auths", nlohmann::json() ) : nlohmann::json();
   if ( !auths.is_object() ) {
      return {};
   }
   std::vector< String > keys{ registry, "https://" + registry, "http://" + registry };
   if ( registry == "docker.io" ) {
      keys.insert( keys.begin(), "https://index.docker.io/v1/" );
   }
   for ( auto const & k : keys ) {
      auto it = auths.find( k );
      if ( it == auths.end() || !it->is_object() ) {
         continue;
      }
      auto pair = base64Decode( it->value( "auth", String() ) );
      auto colon = pair ? pair->find( ':' ) : String::npos;
      if ( colon == String::npos ) {
         continue;
      }
      nlohmann::json a = { { "username", pair->substr( 0, colon ) },
                           { "password", pair->substr( colon + 1 ) },
                           { "serveraddress", k } };
      return base64Encode( jsonText( a ), true );
   }
   return {};
}

} // namespace Quayd
