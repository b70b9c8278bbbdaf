#pragma once
// Secrets (registry passwords) are kept out of the state database. Each
// lives in a file of its own (mode 0600) in a root-only directory (0700,
// "/var/lib/quayd/credentials"); what the database holds is the file's
// name, a random one that says nothing about the secret.
//
// quyctl keeps a password here before it writes the configuration that
// names it; the agent reads it back through the Secrets it is handed.
#include <map>
#include <optional>
#include <vector>

#include "platform/CredentialName.h"
#include "platform/Secrets.h"
#include "platform/Types.h"

namespace Quayd {

class CredentialStore : public Secrets {
 public:
   static constexpr char const * kDefaultDir = "/var/lib/quayd/credentials";

   explicit CredentialStore( String dir = kDefaultDir );

   // The name `secret` is kept under; the file is written when it is new
   // (or was removed). Throws RuntimeException when it cannot be written.
   String put( String const & secret );
   // The secret kept under `name`; none for a name that is not one of ours
   // or whose file is gone.
   std::optional< String > get( String const & name ) override;
   // Removes the file of `name`, if any.
   void drop( String const & name );
   // Removes the "*.tmp" files a crash left in the store and its
   // subdirectories; skipped while another run holds the store's lock, as
   // its files may be in the middle of being written. What was removed.
   std::vector< String > sweepTemporaries();
   String const & dir() const { return dir_; }

   // Held by a run from put() until the configuration that names the secret
   // is committed (shared), and by the removal of files nobody names
   // (exclusive): no file is removed that a concurrent run is about to name.
   class Lock {
    public:
      Lock( String const & dir, bool exclusive );
      ~Lock();
      Lock( Lock const & ) = delete;
      Lock & operator=( Lock const & ) = delete;

    private:
      int fd_;
   };

 private:
   String file( String const & name ) const { return dir_ + "/" + name; }
   std::optional< String > find( String const & secret );

   String dir_;
   std::map< String, String > nameOf_; // secret -> name, as seen so far
};

} // namespace Quayd
