#include "platform/docker/RegistryLogins.h"

#include "platform/Codec.h"
#include "platform/docker/RegistryAuth.h"

using nlohmann::json;

namespace Quayd {

namespace {
// Far beyond the logins of every registry a switch may name.
constexpr size_t kMaxConfigBytes = 1 << 20;
} // namespace

json RegistryLogins::read() const {
   auto const text = files_.readFile( file(), kMaxConfigBytes );
   json c = text ? json::parse( *text, nullptr, false ) : json::object();
   return c.is_object() ? c : json::object();
}

void RegistryLogins::loggedIn( String const & server, String const & user,
                               String const & password ) const {
   files_.makeDir( dir_, 0700 );
   json c = read();
   c[ "auths" ][ server ] = { { "auth", base64Encode( user + ":" + password ) } };
   writeFileDurably( files_, file(), jsonText( c, 2 ) + "\n", 0600 );
}

void RegistryLogins::loggedOut( String const & server ) const {
   json c = read();
   auto const auths = c.find( "auths" );
   if ( auths == c.end() || !auths->is_object() || !auths->contains( server ) ) {
      return;
   }
   auths->erase( server );
   writeFileDurably( files_, file(), jsonText( c, 2 ) + "\n", 0600 );
}

String RegistryLogins::authHeaderFor( String const & registry ) const {
   String const auth = registryAuth( read(), registry );
   return auth.empty() ? auth : "X-Registry-Auth: " + auth;
}

} // namespace Quayd
