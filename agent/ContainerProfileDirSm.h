#pragma once
// The container profile merger: keeps the consolidated container
// configuration that the container directory reads equal to the configured
// containers with their profiles applied.
#include <functional>
#include <map>

#include "model/Model.h"
#include "platform/Reactor.h"

namespace Quayd {

// Keeps the consolidated container configuration equal to the configured
// containers with their profiles applied: a field a container leaves at its
// default takes the value of the profile it names; its own bind mounts win
// over the profile's.
class ContainerProfileDirSm : public PtrInterface {
 public:
   ContainerProfileDirSm( Ptr< ContainerProfileConfigDir const > profileConfig,
                          Ptr< ContainerConfigDir const > containerConfig,
                          Ptr< ContainerConfigDir > consolidated );
   void notificationsIs( bool on );

 private:
   void watchContainer( String const & name );
   void watchProfile( String const & profile );
   // Watches the present element `name` (null: none), letting go of the one
   // watched before under that name.
   void follow( std::map< String, Notifier const * > & watched, String const & name,
                Ptr< Notifier const > const & element, std::function< void() > const & onChange );
   void sync( String const & name );
   void syncProfile( String const & profile );

   Ptr< ContainerProfileConfigDir const > profileConfig_;
   Ptr< ContainerConfigDir const > containerConfig_;
   Ptr< ContainerConfigDir > consolidated_;
   std::map< String, Notifier const * > watchedContainers_;
   std::map< String, Notifier const * > watchedProfiles_;
   Reactor reactor_;
};

} // namespace Quayd
