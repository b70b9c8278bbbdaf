#include "agent/RegistrySm.h"

#include <algorithm>

#include "platform/Exception.h"
#include "platform/Secrets.h"
#include "platform/Trace.h"

namespace Quayd {

namespace {
TraceHandle const trace( "RegistrySm" );
} // namespace

RegistrySm::RegistrySm( Ptr< ImageLoadStatusDir const > imageLoadStatus,
                        Ptr< RegistryConfigDir const > registryConfig,
                        Ptr< RegistryStatusDir > registryStatus,
                        Ptr< ContainerStatusDir const > containerStatus,
                        Ptr< ContainerRuntimeInterface > runtime,
                        Ptr< TaskScheduler > taskScheduler, Secrets * secrets )
    : imageLoadStatus_( std::move( imageLoadStatus ) ),
      registryConfig_( std::move( registryConfig ) ),
      registryStatus_( std::move( registryStatus ) ),
      containerStatus_( std::move( containerStatus ) ), runtime_( std::move( runtime ) ),
      taskScheduler_( std::move( taskScheduler ) ), secrets_( secrets ),
      loginAttemptDelay_( std::chrono::seconds( 30 ) ) {
   QUAYD_ASSERT( imageLoadStatus_ );
   QUAYD_ASSERT( registryConfig_ );
   QUAYD_ASSERT( registryStatus_ );
   QUAYD_ASSERT( containerStatus_ );
   QUAYD_ASSERT( runtime_ );
   loginAttemptTask_ = makePtr< TimerTask >( taskScheduler_, TaskPriority( 3 ), "LoginAttempt",
                                             [ this ] { doLoginAttempt(); } );
   reactor_.on( imageLoadStatus_, ImageLoadStatusDir::Attr::state, [ this ] { handleEnabled(); } );
   reactor_.on( containerStatus_, ContainerStatusDir::Attr::state, [ this ] { handleDisabled(); } );
   reactor_.onKey( registryConfig_, RegistryConfigDir::Attr::registry,
                   [ this ]( String const & name ) {
                      watchRegistry( name );
                      handleCliConfig( name );
                   } );
   reactor_.onInitial( registryConfig_, [ this ] {
      for ( auto const & [ name, r ] : registryConfig_->registry() ) {
         watchRegistry( name );
      }
   } );
   reactor_.start();
   handleInitState();
}

RegistrySm::~RegistrySm() {
   reactor_.notificationsIs( false );
   reactor_.unwatchAll();
}

Ptr< RegistrySm > RegistrySm::RegistrySmIs( Ptr< ImageLoadStatusDir const > imageLoadStatus,
                                            Ptr< RegistryConfigDir const > registryConfig,
                                            Ptr< RegistryStatusDir > registryStatus,
                                            Ptr< ContainerStatusDir const > containerStatus,
                                            Ptr< ContainerRuntimeInterface > runtime,
                                            Ptr< TaskScheduler > taskScheduler,
                                            Secrets * secrets ) {
   auto sm = makePtr< RegistrySm >( std::move( imageLoadStatus ), std::move( registryConfig ),
                                    std::move( registryStatus ), std::move( containerStatus ),
                                    std::move( runtime ), std::move( taskScheduler ), secrets );
   sm->notificationsIs( true );
   return sm;
}

// Moves the per-registry watch to the entity now configured under `name`.
void RegistrySm::watchRegistry( String const & name ) {
   Ptr< RegistryConfig const > now = registryConfig_->registry( name );
   auto it = watched_.find( name );
   if ( it != watched_.end() ) {
      if ( it->second == now ) {
         return;
      }
      reactor_.unwatch( it->second.get() );
      watched_.erase( it );
   }
   if ( now ) {
      watched_[ name ] = now;
      reactor_.watch( now, [ this, name ]( AttrId, String const * ) { handleCliConfig( name ); } );
      reactor_.start();
   }
}

void RegistrySm::handleInitState() {
   if ( registryStatus_->state() != SmState::stopped_ ) {
      registryStatus_->stateIs( SmState::inherited_ );
      // An agent killed between a logout and its status write leaves a login
      // the daemon no longer holds: the bring-up logs in again.
      for ( auto const & [ name, s ] : registryStatus_->registry() ) {
         if ( s->state() == RegistryState::loggedIn ) {
            s->stateIs( RegistryState::loggedOut );
         }
      }
   }
   updateInsecureRegistries();
}

void RegistrySm::handleEnabled() {
   QTRACE( trace, 2, "state: {}, imageLoadSm state {}", registryStatus_->state(),
           imageLoadStatus_->state() );
   if ( imageLoadStatus_->state() != SmState::started_ ) {
      return;
   }
   // The containers going down is a stop of the whole chain that came while
   // it was still coming up: this link waits for their stopped_ to stop in
   // turn, instead of bringing them up again.
   if ( containerStatus_->state() == SmState::stopping_ ) {
      return;
   }
   registryStatus_->stateIs( SmState::starting_ );
   std::vector< String > names;
   for ( auto const & [ name, r ] : registryConfig_->registry() ) {
      names.push_back( name );
   }
   for ( auto const & [ name, s ] : registryStatus_->registry() ) {
      if ( !registryConfig_->registry( name ) ) {
         names.push_back( name );
      }
   }
   for ( auto const & name : names ) {
      handleRegistry( name );
   }
   registryStatus_->stateIs( SmState::started_ );
}

void RegistrySm::handleCliConfig( String const & name ) {
   QTRACE( trace, 8, "name: {}, state: {}", name, registryStatus_->state() );
   updateInsecureRegistries();
   if ( registryStatus_->state() == SmState::started_ ) {
      handleRegistry( name );
   }
}

void RegistrySm::handleRegistry( String const & name ) {
   QTRACE( trace, 8, "name: {}", name );
   auto const config = registryConfig_->registry( name );
   auto status = registryStatus_->registry( name );
   String const formerServer = status ? status->params().server : String();
   if ( config && status && !config->params().isEq( heldParams( *status ) ) ) {
      logoutRegistry( *status );
      registryStatus_->registryDel( name );
      inlinePasswords_.erase( name );
      status = nullptr;
   }
   if ( config ) {
      if ( !status ) {
         RegistryParams p = config->params();
         inlinePasswords_[ name ] = p.password;
         p.password.clear();
         status = registryStatus_->registryIs( name );
         status->paramsIs( p );
      }
      loginRegistry( *status );
   } else if ( status ) {
      logoutRegistry( *status );
      registryStatus_->registryDel( name );
      inlinePasswords_.erase( name );
   }
   if ( !formerServer.empty() ) {
      loginOthersOn( formerServer, name );
   }
}

// The daemon holds one login per server, so a logout of a server takes it
// from every registry configured on that server; those log in again.
void RegistrySm::loginOthersOn( String const & server, String const & except ) {
   for ( auto const & other : othersOn( server, except ) ) {
      if ( other->state() == RegistryState::loggedOut ) {
         loginRegistry( *other );
      }
   }
}

// A copy: a login's status write may reach handlers that change the map.
std::vector< Ptr< RegistryStatus > > RegistrySm::othersOn( String const & server,
                                                           String const & except ) const {
   std::vector< Ptr< RegistryStatus > > others;
   for ( auto const & [ name, status ] : registryStatus_->registry() ) {
      if ( name != except && status->params().server == server ) {
         others.push_back( status );
      }
   }
   return others;
}

void RegistrySm::loginRegistry( RegistryStatus & status ) {
   QTRACE( trace, 8, "name: {}", status.key() );
   RegistryParams const p = heldParams( status );
   if ( p.insecure || p.server.empty() || p.username.empty() ||
        ( p.password.empty() && p.credential.empty() ) ||
        status.state() == RegistryState::loggedIn ) {
      return;
   }
   try {
      runtime_->login( p.username, password( p ), p.server );
      status.stateIs( RegistryState::loggedIn );
   } catch ( RuntimeException const & e ) {
      QTRACE( trace, 2, "Failed to login to registry: {}", e.what() );
      status.stateIs( RegistryState::loginFailed );
      loginAttemptTask_->scheduleTaskLowestDelay( loginAttemptDelay_ );
   }
}

RegistryParams RegistrySm::heldParams( RegistryStatus const & status ) const {
   RegistryParams p = status.params();
   auto it = inlinePasswords_.find( status.key() );
   p.password = it != inlinePasswords_.end() ? it->second : String();
   return p;
}

String RegistrySm::password( RegistryParams const & p ) const {
   if ( p.credential.empty() ) {
      return p.password;
   }
   auto secret = secrets_ ? secrets_->get( p.credential ) : std::nullopt;
   if ( !secret ) {
      throw RuntimeException( "the password of " + p.server + " (credential " + p.credential +
                              ") is not in the credential store" );
   }
   return *secret;
}

void RegistrySm::logoutRegistry( RegistryStatus & status ) {
   QTRACE( trace, 8, "name: {}", status.key() );
   String const & server = status.params().server;
   // A start marks every login out, but the runtime's store keeps what a
   // former agent logged in; a logout where none is held is harmless.
   bool const inherited =
      status.state() == RegistryState::loggedOut && !server.empty() &&
      !status.params().username.empty() && !status.params().insecure &&
      std::ranges::none_of( othersOn( server, status.key() ), []( auto const & other ) {
         return other->state() == RegistryState::loggedIn;
      } );
   if ( status.state() == RegistryState::loggedIn || inherited ) {
      try {
         runtime_->logout( status.params().server );
      } catch ( RuntimeException const & e ) {
         QTRACE( trace, 0, "Failed to logout from registry: {}", e.what() );
      }
      for ( auto const & other : othersOn( status.params().server, status.key() ) ) {
         if ( other->state() == RegistryState::loggedIn ) {
            other->stateIs( RegistryState::loggedOut );
         }
      }
   }
   status.stateIs( RegistryState::loggedOut );
}

void RegistrySm::doLoginAttempt() {
   QTRACE( trace, 8, "doLoginAttempt" );
   if ( registryStatus_->state() != SmState::started_ ) {
      return;
   }
   // A copy: a login's status write may reach handlers that change the map.
   auto const entries = registryStatus_->registry();
   for ( auto const & [ name, status ] : entries ) {
      loginRegistry( *status );
   }
}

void RegistrySm::handleDisabled() {
   QTRACE( trace, 2, "state: {}, containerSm state: {}", registryStatus_->state(),
           containerStatus_->state() );
   if ( containerStatus_->state() != SmState::stopped_ ) {
      return;
   }
   registryStatus_->stateIs( SmState::stopping_ );
   auto const entries = registryStatus_->registry();
   for ( auto const & [ name, status ] : entries ) {
      logoutRegistry( *status );
   }
   loginAttemptTask_->stopTimerTask();
   // Last: the next link down may release this machine in reaction.
   registryStatus_->stateIs( SmState::stopped_ );
}

// ------------------------------------------------------ insecure registries

Ptr< InsecureRegistries > RegistrySm::configuredInsecureRegistries() const {
   auto list = insecureRegistriesFactory();
   for ( auto const & [ name, r ] : registryConfig_->registry() ) {
      if ( r->params().insecure && !r->params().server.empty() ) {
         list->regIs( r->params().server );
      }
   }
   QTRACE( trace, 8, "size: {}", list->regCount() );
   return list;
}

bool RegistrySm::insecureRegistriesEqual( Ptr< InsecureRegistries const > const & a,
                                          Ptr< InsecureRegistries const > const & b ) const {
   if ( a->regCount() != b->regCount() ) {
      return false;
   }
   for ( auto const & r : a->reg() ) {
      if ( !b->regHas( r ) ) {
         return false;
      }
   }
   return true;
}

void RegistrySm::updateInsecureRegistries() {
   QTRACE( trace, 8, "updateInsecureRegistries" );
   auto const configured = configuredInsecureRegistries();
   auto const & published = registryStatus_->insecureRegistries();
   QUAYD_ASSERT( published );
   if ( insecureRegistriesEqual( configured, published ) ) {
      return;
   }
   // In place, and the counter only once the list is complete: a watcher of
   // the counter always reads the whole new list.
   published->regDelAll();
   for ( auto const & r : configured->reg() ) {
      published->regIs( r );
   }
   registryStatus_->changedInPlace( AttrId( RegistryStatusDir::Attr::insecureRegistries ) );
   registryStatus_->insecureRegistriesDoneInc( 1 );
}

Ptr< RegistrySm > registrySmFactory( Ptr< ImageLoadStatusDir const > imageLoadStatus,
                                     Ptr< RegistryConfigDir const > registryConfig,
                                     Ptr< RegistryStatusDir > registryStatus,
                                     Ptr< ContainerStatusDir const > containerStatus,
                                     Ptr< ContainerRuntimeInterface > runtime,
                                     Ptr< TaskScheduler > taskScheduler, Secrets * secrets ) {
   return RegistrySm::RegistrySmIs( std::move( imageLoadStatus ), std::move( registryConfig ),
                                    std::move( registryStatus ), std::move( containerStatus ),
                                    std::move( runtime ), std::move( taskScheduler ), secrets );
}

} // namespace Quayd
