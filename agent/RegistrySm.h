#pragma once
// Third link of the runtime manager's chain: logs the runtime in to every
// configured registry that has credentials, retries failed logins every 30 s,
// logs out of registries that leave configuration or change, and of all of
// them on the way down. It also publishes the runtime's insecure-registry
// list, which follows configuration in every state.
#include <map>
#include <vector>

#include "model/Model.h"
#include "platform/Reactor.h"
#include "platform/Task.h"

namespace Quayd {

class Secrets;

class RegistrySm : public PtrInterface {
 public:
   RegistrySm( Ptr< ImageLoadStatusDir const > imageLoadStatus,
               Ptr< RegistryConfigDir const > registryConfig,
               Ptr< RegistryStatusDir > registryStatus,
               Ptr< ContainerStatusDir const > containerStatus,
               Ptr< ContainerRuntimeInterface > runtime, Ptr< TaskScheduler > taskScheduler,
               Secrets * secrets );
   ~RegistrySm() override;
   static Ptr< RegistrySm > RegistrySmIs( Ptr< ImageLoadStatusDir const > imageLoadStatus,
                                          Ptr< RegistryConfigDir const > registryConfig,
                                          Ptr< RegistryStatusDir > registryStatus,
                                          Ptr< ContainerStatusDir const > containerStatus,
                                          Ptr< ContainerRuntimeInterface > runtime,
                                          Ptr< TaskScheduler > taskScheduler, Secrets * secrets );

   void notificationsIs( bool on ) { reactor_.notificationsIs( on ); }
   Duration loginAttemptDelay() const { return loginAttemptDelay_; }
   Ptr< TimerTask > const & loginAttemptTask() const { return loginAttemptTask_; }

   Ptr< InsecureRegistries > configuredInsecureRegistries() const;
   bool insecureRegistriesEqual( Ptr< InsecureRegistries const > const & a,
                                 Ptr< InsecureRegistries const > const & b ) const;
   void updateInsecureRegistries();

 private:
   void handleEnabled();
   void handleDisabled();
   void handleCliConfig( String const & name );
   void doLoginAttempt();
   void handleRegistry( String const & name );
   void loginRegistry( RegistryStatus & status );
   void loginOthersOn( String const & server, String const & except );
   // The registries on `server` other than `except`.
   std::vector< Ptr< RegistryStatus > > othersOn( String const & server,
                                                  String const & except ) const;
   // The password to log in with: inline, or kept under its credential name.
   String password( RegistryParams const & p ) const;
   // A status's parameters with its inline password, which the status
   // itself never holds.
   RegistryParams heldParams( RegistryStatus const & status ) const;
   void logoutRegistry( RegistryStatus & status );
   void handleInitState();
   void watchRegistry( String const & name );

   Ptr< ImageLoadStatusDir const > imageLoadStatus_;
   Ptr< RegistryConfigDir const > registryConfig_;
   Ptr< RegistryStatusDir > registryStatus_;
   Ptr< ContainerStatusDir const > containerStatus_;
   Ptr< ContainerRuntimeInterface > runtime_;
   Ptr< TaskScheduler > taskScheduler_;
   // Where a registry's stored password is; null: passwords are inline.
   Secrets * secrets_;
   Duration loginAttemptDelay_;
   Ptr< TimerTask > loginAttemptTask_;
   // The registry entities watched, by name.
   std::map< String, Ptr< RegistryConfig const > > watched_;
   // Inline passwords by registry name, as configured when the status was made.
   std::map< String, String > inlinePasswords_;
   Reactor reactor_;
};

Ptr< RegistrySm > registrySmFactory( Ptr< ImageLoadStatusDir const > imageLoadStatus,
                                     Ptr< RegistryConfigDir const > registryConfig,
                                     Ptr< RegistryStatusDir > registryStatus,
                                     Ptr< ContainerStatusDir const > containerStatus,
                                     Ptr< ContainerRuntimeInterface > runtime,
                                     Ptr< TaskScheduler > taskScheduler, Secrets * secrets );

} // namespace Quayd
