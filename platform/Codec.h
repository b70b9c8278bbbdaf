#pragma once
// The text form of attribute values, used by the state database and quyctl:
// booleans "true"/"false", numbers in decimal, enumerators by name, strings as
// they are; records, sets and value collections as JSON text.
#include <charconv>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <type_traits>
#include <vector>

#include <fmt/format.h>
#include <nlohmann/json.hpp>

#include "platform/Types.h"

namespace Quayd {

// Enumerations declared with QUAYD_ENUM know their names (found by ADL).
std::vector< String > splitEnumNames( char const * list );

template < typename E >
concept NamedEnum = std::is_enum_v< E > && requires( E e ) {
   { quaydEnumNames( e ) } -> std::convertible_to< std::vector< String > const & >;
};

template < NamedEnum E >
String enumName( E e ) {
   auto const & names = quaydEnumNames( e );
   auto i = static_cast< size_t >( e );
   return i < names.size() ? names[ i ] : fmt::format( "{}", i );
}

template < NamedEnum E >
std::optional< E > enumFromName( std::string_view text ) {
   auto const & names = quaydEnumNames( E{} );
   for ( size_t i = 0; i < names.size(); ++i ) {
      if ( text == names[ i ] ) {
         return static_cast< E >( i );
      }
   }
   return std::nullopt;
}

// Raised when a text does not decode; names the reason.
struct DecodeError {
   String reason;
};

// JSON text of `j`; bytes that are not UTF-8 (a name from outside, say)
// become U+FFFD instead of failing.
inline String jsonText( nlohmann::json const & j, int indent = -1 ) {
   return j.dump( indent, ' ', false, nlohmann::json::error_handler_t::replace );
}

template < typename T, typename = void >
struct Codec {
   // Records and containers: JSON through nlohmann's to_json/from_json.
   static String encode( T const & v ) { return jsonText( nlohmann::json( v ) ); }
   static std::optional< DecodeError > decode( std::string_view text, T & out ) {
      auto j = nlohmann::json::parse( text, nullptr, false );
      if ( j.is_discarded() ) {
         return DecodeError{ "malformed JSON" };
      }
      try {
         out = j.template get< T >();
      } catch ( std::exception const & e ) {
         return DecodeError{ e.what() };
      }
      return std::nullopt;
   }
};

template <>
struct Codec< String > {
   static String encode( String const & v ) { return v; }
   static std::optional< DecodeError > decode( std::string_view text, String & out ) {
      out = String( text );
      return std::nullopt;
   }
};

template <>
struct Codec< bool > {
   static String encode( bool v ) { return v ? "true" : "false"; }
   static std::optional< DecodeError > decode( std::string_view text, bool & out ) {
      if ( text == "true" || text == "1" ) {
         out = true;
      } else if ( text == "false" || text == "0" ) {
         out = false;
      } else {
         return DecodeError{ "not a boolean" };
      }
      return std::nullopt;
   }
};

template < typename T >
struct Codec< T, std::enable_if_t< std::is_integral_v< T > && !std::is_same_v< T, bool > > > {
   static String encode( T v ) { return fmt::format( "{}", +v ); }
   static std::optional< DecodeError > decode( std::string_view text, T & out ) {
      using Wide = std::conditional_t< std::is_signed_v< T >, int64_t, uint64_t >;
      Wide w{};
      auto [ end, ec ] = std::from_chars( text.data(), text.data() + text.size(), w );
      if ( ec != std::errc() || end != text.data() + text.size() || text.empty() ) {
         return DecodeError{ "not a number" };
      }
      if ( w < Wide( std::numeric_limits< T >::min() ) ||
           w > Wide( std::numeric_limits< T >::max() ) ) {
         return DecodeError{ "out of range" };
      }
      out = static_cast< T >( w );
      return std::nullopt;
   }
};

template < NamedEnum E >
struct Codec< E > {
   static String encode( E v ) { return enumName( v ); }
   static std::optional< DecodeError > decode( std::string_view text, E & out ) {
      auto e = enumFromName< E >( text );
      if ( !e ) {
         return DecodeError{ fmt::format( "no enumerator named '{}'", text ) };
      }
      out = *e;
      return std::nullopt;
   }
};

template < typename T >
String encodeValue( T const & v ) {
   return Codec< T >::encode( v );
}

template < typename T >
std::optional< DecodeError > decodeValue( std::string_view text, T & out ) {
   return Codec< T >::decode( text, out );
}

} // namespace Quayd

// Declares a sequential enumeration that knows its names:
//   QUAYD_ENUM( SmState, uint8_t, stopped_, inherited_, starting_ );
#define QUAYD_ENUM( Name, Base, ... )                                                \
   enum class Name : Base { __VA_ARGS__ };                                           \
   inline std::vector< ::Quayd::String > const & quaydEnumNames( Name ) {            \
      static auto const names = ::Quayd::splitEnumNames( #__VA_ARGS__ );             \
      return names;                                                                  \
   }                                                                                 \
   inline void to_json( nlohmann::json & j, Name e ) { j = ::Quayd::enumName( e ); } \
   inline void from_json( nlohmann::json const & j, Name & e ) {                     \
      auto v = ::Quayd::enumFromName< Name >( j.get< std::string >() );              \
      if ( !v )                                                                      \
         throw std::invalid_argument( "no enumerator " + ::Quayd::jsonText( j ) );   \
      e = *v;                                                                        \
   }                                                                                 \
   static_assert( true )

template < typename E >
requires Quayd::NamedEnum< E >
struct fmt::formatter< E, char > : fmt::formatter< std::string_view > {
   template < typename Ctx >
   auto format( E e, Ctx & ctx ) const {
      return fmt::formatter< std::string_view >::format( Quayd::enumName( e ), ctx );
   }
};
