#include "platform/EntityManager.h"

namespace Quayd {

String Cell::path( String const & path, int cellId ) {
   return "cell/" + std::to_string( cellId ) + "/" + path;
}

void MountGroup::doClose( bool, String const &, Duration ) {
   String error;
   for ( auto const & p : profiles_ ) {
      if ( !em_.mount( p, error ) ) {
         done_( MountStatus::mountFailed, error );
         return;
      }
   }
   done_( MountStatus::mountSuccess, "" );
}

} // namespace Quayd
