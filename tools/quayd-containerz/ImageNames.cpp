#include "tools/quayd-containerz/ImageNames.h"

#include <regex>

namespace Quayd::Containerz {

namespace {
constexpr size_t kMaxName = 255;
// A registry host, with a port or not, as the first part of a name.
std::regex const kHost( "(localhost|[a-zA-Z0-9]([a-zA-Z0-9-]*[a-zA-Z0-9])?"
                        "(\\.[a-zA-Z0-9]([a-zA-Z0-9-]*[a-zA-Z0-9])?)*)(:[0-9]+)?" );
std::regex const kComponent( "[a-z0-9]+(([._]|__|-+)[a-z0-9]+)*" );
std::regex const kTag( "[A-Za-z0-9_][A-Za-z0-9_.-]{0,127}" );
} // namespace

std::optional< String > imageRefRefusal( String const & name, String const & tag ) {
   String const why = "image name " + name + ": ";
   if ( name.empty() ) {
      return String( "no image name" );
   }
   if ( name.size() > kMaxName ) {
      return why + "longer than " + std::to_string( kMaxName ) + " characters";
   }
   size_t pos = 0;
   for ( bool first = true;; first = false ) {
      size_t const slash = name.find( '/', pos );
      String const part = name.substr( pos, slash == String::npos ? String::npos : slash - pos );
      bool const host = first && slash != String::npos &&
                        ( part.find_first_of( ".:" ) != String::npos || part == "localhost" );
      if ( !std::regex_match( part, host ? kHost : kComponent ) ) {
         return why + "\"" + part + "\" is not " +
                ( host ? "a registry host"
                       : "lower-case letters and digits, with . _ __ or - between them" );
      }
      if ( slash == String::npos ) {
         break;
      }
      pos = slash + 1;
   }
   if ( !tag.empty() && !std::regex_match( tag, kTag ) ) {
      return "image tag " + tag +
             ": up to 128 letters, digits, _ . and -, not starting with . or -";
   }
   return std::nullopt;
}

} // namespace Quayd::Containerz
