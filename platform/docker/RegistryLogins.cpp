#include "platform/docker/RegistryLogins.h"

#include <cstdlib>
#include <fstream>

#include <nlohmann/json.hpp>

#include "platform/Codec.h"
#include "platform/Credentials.h"
#include "platform/Files.h"
#include "platform/docker/RegistryAuth.h"

using nlohmann::json;

namespace Quayd {

namespace {
json readObject( String const & file ) {
   std::ifstream in( file );
   if ( !in ) {
      return json::object();
   }
   json c = json::parse( in, nullptr, false );
   return c.is_object() ? c : json::object();
}
} // namespace

String RegistryLogins::defaultDir() {
   char const * v = std::getenv( "QUAYD_DOCKER_CONFIG" );
   return v && *v ? String( v ) : String( CredentialStore::kDefaultDir ) + "/docker";
}

void RegistryLogins::loggedIn( String const & server, String const & user,
                               String const & password ) const {
   makeDir( dir_, 0700 );
   json c = readObject( file() );
   c[ "auths" ][ server ] = { { "auth", base64Encode( user + ":" + password ) } };
   writeFileAtomically( file(), jsonText( c, 2 ) + "\n", 0600 );
}

void RegistryLogins::loggedOut( String const & server ) const {
   json c = readObject( file() );
   auto const auths = c.find( "auths" );
   if ( auths == c.end() || !auths->is_object() || !auths->contains( server ) ) {
      return;
   }
   auths->erase( server );
   writeFileAtomically( file(), jsonText( c, 2 ) + "\n", 0600 );
}

String RegistryLogins::authHeaderFor( String const & registry ) const {
   String const auth = registryAuth( readObject( file() ), registry );
   return auth.empty() ? auth : "X-Registry-Auth: " + auth;
}

} // namespace Quayd
