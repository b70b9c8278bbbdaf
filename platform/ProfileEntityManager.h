#pragma once
// An entity manager that mounts registered profiles by creating their
// entities in memory. The state database's manager builds on it; tests use
// it as it is.
#include <map>

#include "platform/EntityManager.h"

namespace Quayd {

class ProfileEntityManager : public EntityManager {
 public:
   void profileIs( MountProfile profile ) { profiles_[ profile.name ] = std::move( profile ); }

   Ptr< Entity > getEntity( String const & path ) const override;
   Ptr< MountGroup > mountGroup() override;
   bool mount( String const & profile, String & error ) override;

   // The host's hook for the outcome of doClose().
   void mountDoneIs( std::function< void( MountStatus, String const & ) > fn ) {
      mountDone_ = std::move( fn );
   }
   bool mounted( String const & path ) const { return entities_.count( path ) != 0; }
   MountAccess access( String const & path ) const;
   std::map< String, Ptr< Entity > > const & entities() const { return entities_; }

 protected:
   // Called for every entity a mount creates, before it is published.
   virtual bool entityMounted( MountEntry const &, Ptr< Entity > const &, String & ) {
      return true;
   }

 private:
   std::map< String, MountProfile > profiles_;
   std::map< String, Ptr< Entity > > entities_;
   std::map< String, MountAccess > access_;
   std::function< void( MountStatus, String const & ) > mountDone_;
};

} // namespace Quayd
