#include "platform/ProfileEntityManager.h"

namespace Quayd {

Ptr< Entity > ProfileEntityManager::getEntity( String const & path ) const {
   auto it = entities_.find( path );
   return it == entities_.end() ? Ptr< Entity >() : it->second;
}

MountAccess ProfileEntityManager::access( String const & path ) const {
   auto it = access_.find( path );
   return it == access_.end() ? MountAccess::read : it->second;
}

Ptr< MountGroup > ProfileEntityManager::mountGroup() {
   return makePtr< MountGroup >( *this, [ this ]( MountStatus s, String const & err ) {
      if ( mountDone_ ) {
         mountDone_( s, err );
      }
   } );
}

bool ProfileEntityManager::mount( String const & profile, String & error ) {
   auto it = profiles_.find( profile );
   if ( it == profiles_.end() ) {
      error = "unknown mount profile '" + profile + "'";
      return false;
   }
   for ( auto const & e : it->second.entries ) {
      if ( entities_.count( e.path ) ) {
         continue; // a re-mount keeps the entities that exist
      }
      Ptr< Entity > ent = e.factory();
      ent->pathIs( e.path );
      if ( !entityMounted( e, ent, error ) ) {
         return false;
      }
      entities_[ e.path ] = ent;
      access_[ e.path ] = e.access;
   }
   return true;
}

} // namespace Quayd
