#pragma once
// The registry logins the runtime holds: the client configuration directory
// (DockerSettings::clientConfigDir, under the credential store) with its
// config.json, which the docker client reads too, and the credentials a pull
// sends for a registry. Passwords are stored there only, never traced.
#include <nlohmann/json.hpp>

#include "platform/FileSystem.h"

namespace Quayd {

class RegistryLogins {
 public:
   RegistryLogins( String dir, FileSystem & files ) : dir_( std::move( dir ) ), files_( files ) {}

   String const & dir() const { return dir_; }
   // Records a login the daemon accepted; throws RuntimeException.
   void loggedIn( String const & server, String const & user, String const & password ) const;
   // Forgets the login to `server`; nothing when there is none.
   void loggedOut( String const & server ) const;
   // The X-Registry-Auth header for a pull from `registry`; empty without a login.
   String authHeaderFor( String const & registry ) const;

 private:
   String file() const { return dir_ + "/config.json"; }
   // The logins as written; an empty object when there are none.
   nlohmann::json read() const;
   String dir_;
   FileSystem & files_;
};

} // namespace Quayd
