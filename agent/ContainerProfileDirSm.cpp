#include "agent/ContainerProfileDirSm.h"

#include "agent/ContainerPlan.h"

#include "platform/Exception.h"

namespace Quayd {

ContainerProfileDirSm::ContainerProfileDirSm( Ptr< ContainerProfileConfigDir const > profileConfig,
                                              Ptr< ContainerConfigDir const > containerConfig,
                                              Ptr< ContainerConfigDir > consolidated )
    : profileConfig_( std::move( profileConfig ) ),
      containerConfig_( std::move( containerConfig ) ), consolidated_( std::move( consolidated ) ) {
   QUAYD_ASSERT( containerConfig_ );
   QUAYD_ASSERT( consolidated_ );
   reactor_.notificationsIs( false );
   reactor_.onKey( containerConfig_, ContainerConfigDir::Attr::container,
                   [ this ]( String const & name ) {
                      watchContainer( name );
                      sync( name );
                   } );
   if ( profileConfig_ ) {
      reactor_.onKey( profileConfig_, ContainerProfileConfigDir::Attr::profile,
                      [ this ]( String const & profile ) {
                         watchProfile( profile );
                         syncProfile( profile );
                      } );
   }
   reactor_.onInitial( containerConfig_, [ this ] {
      if ( profileConfig_ ) {
         for ( auto const & [ name, p ] : profileConfig_->profile() ) {
            watchProfile( name );
         }
      }
      for ( auto const & [ name, c ] : containerConfig_->container() ) {
         watchContainer( name );
      }
      for ( auto const & [ name, c ] : consolidated_->container() ) {
         if ( !containerConfig_->container( name ) ) {
            sync( name );
         }
      }
      for ( auto const & [ name, c ] : containerConfig_->container() ) {
         sync( name );
      }
   } );
}

void ContainerProfileDirSm::notificationsIs( bool on ) {
   reactor_.notificationsIs( on );
   if ( on ) {
      reactor_.start();
   }
}

void ContainerProfileDirSm::watchContainer( String const & name ) {
   follow( watchedContainers_, name, containerConfig_->container( name ),
           [ this, name ] { sync( name ); } );
}

void ContainerProfileDirSm::watchProfile( String const & profile ) {
   follow( watchedProfiles_, profile, profileConfig_->profile( profile ),
           [ this, profile ] { syncProfile( profile ); } );
}

void ContainerProfileDirSm::follow( std::map< String, Notifier const * > & watched,
                                    String const & name, Ptr< Notifier const > const & element,
                                    std::function< void() > const & onChange ) {
   auto it = watched.find( name );
   if ( it != watched.end() && it->second == element.get() ) {
      return;
   }
   // A deleted element, or one replaced under the same name, is let go:
   // watching it would keep its subscription until the chain stops.
   if ( it != watched.end() ) {
      reactor_.unwatch( it->second );
      watched.erase( it );
   }
   if ( element ) {
      reactor_.watch( element.get(), [ onChange ]( AttrId, String const * ) { onChange(); } );
      reactor_.start();
      watched[ name ] = element.get();
   }
}

void ContainerProfileDirSm::syncProfile( String const & profile ) {
   for ( auto const & [ name, c ] : containerConfig_->container() ) {
      if ( c->profile() == profile ) {
         sync( name );
      }
   }
}

void ContainerProfileDirSm::sync( String const & name ) {
   auto c = containerConfig_->container( name );
   if ( !c ) {
      consolidated_->containerDel( name );
      return;
   }
   auto profile = profileConfig_ && !c->profile().empty() ? profileConfig_->profile( c->profile() )
                                                          : Ptr< ContainerConfig >();
   auto const [ params, binds ] = mergedConfig( *c, profile.get() );
   auto out = consolidated_->containerIs( name );
   out->profileIs( c->profile() );
   out->paramsIs( params );
   for ( auto it = out->bindMount().begin(); it != out->bindMount().end(); ) {
      String const path = it->first;
      ++it;
      if ( !binds.count( path ) ) {
         out->bindMountDel( path );
      }
   }
   for ( auto const & [ path, b ] : binds ) {
      out->bindMountIs( path, b );
   }
   bool const ownCeiling = c->memoryCeiling() != 0 || !profile;
   out->memoryCeilingIs( ownCeiling ? c->memoryCeiling() : profile->memoryCeiling() );
   out->enabledIs( c->enabled() );
   out->restartUnhealthyIs( c->restartUnhealthy() );
}

} // namespace Quayd
