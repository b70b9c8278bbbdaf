#include "tests/sim/Operator.h"

namespace Quayd::Sim {

namespace {
// Adds or rewrites element `key` of `dir` with `fill` applied before the
// addition is announced, as a whole hash arriving from the database does.
template < typename E, typename Dir, typename Fill >
Ptr< E > put( Ptr< Dir > const & dir, String const & key, Fill fill ) {
   auto const * field = dir->fieldTable().elements();
   Ptr< Entity > e = field->element( *dir, key );
   if ( e ) {
      fill( static_cast< E & >( *e ) );
      return ptrCast< E >( e );
   }
   return ptrCast< E >( field->elementIs( *dir, key, [ & ]( Entity & fresh ) {
      fill( static_cast< E & >( fresh ) );
   } ) );
}

void apply( ContainerConfig & c, ContainerEdit const & edit ) {
   c.paramsIs( edit.params );
   for ( auto it = c.bindMount().begin(); it != c.bindMount().end(); ) {
      String const path = ( it++ )->first;
      if ( !edit.binds.count( path ) ) {
         c.bindMountDel( path );
      }
   }
   for ( auto const & [ path, b ] : edit.binds ) {
      c.bindMountIs( path, b );
   }
   c.profileIs( edit.profile );
   c.enabledIs( edit.enabled );
}
} // namespace

template < typename Dir >
void Operator::removed( Ptr< Dir > const & dir, String const & key ) {
   auto const * field = dir->fieldTable().elements();
   if ( Ptr< Entity > e = field->element( *dir, key ) ) {
      deleted_.push_back( e );
      field->elementDel( *dir, key );
   }
}

void Operator::quy( bool enabled, bool onFlash, uint64_t flashLimit ) {
   auto c = world_.at< QuaydConfig >( "quayd/config" );
   c->onFlashIs( onFlash );
   c->flashLimitIs( flashLimit );
   c->enabledIs( enabled );
}

void Operator::containerz( std::optional< Gnoi::Containerz::CrtConfig > const & config ) {
   auto gnoi = world_.at< Gnoi::Config >( "mgmt/gnoi/config" );
   if ( !config ) {
      removed( gnoi, Gnoi::kContainerzMember );
      return;
   }
   put< Gnoi::Containerz::Config >( gnoi, Gnoi::kContainerzMember,
                                    [ & ]( auto & m ) { m.crtConfigIs( *config ); } );
}

void Operator::vrf( String const & name,
                    std::optional< std::pair< uint8_t, bool > > const & status ) {
   auto vrfs = world_.at< Ip::AllVrfStatusLocal >( Cell::path( "ip/vrf/status/local", 0 ) );
   if ( !status ) {
      removed( vrfs, name );
      return;
   }
   put< Ip::VrfStatusLocal >( vrfs, name, [ & ]( auto & v ) {
      v.vrfStateIs( status->first );
      v.vrfReadyIs( status->second );
   } );
}

void Operator::container( String const & name, ContainerEdit const & edit ) {
   world_.editing = true;
   put< ContainerConfig >( world_.at< ContainerConfigDir >( "quayd/container/config" ), name,
                           [ & ]( auto & c ) { apply( c, edit ); } );
   world_.editing = false;
   world_.noteEdit();
}

void Operator::containerDel( String const & name ) {
   removed( world_.at< ContainerConfigDir >( "quayd/container/config" ), name );
   world_.noteEdit();
}

void Operator::profile( String const & name, ContainerEdit const & edit ) {
   world_.editing = true;
   put< ContainerConfig >( world_.at< ContainerProfileConfigDir >(
                              "quayd/container/profileConfig" ),
                           name, [ & ]( auto & c ) { apply( c, edit ); } );
   world_.editing = false;
   world_.noteEdit();
}

void Operator::profileDel( String const & name ) {
   removed( world_.at< ContainerProfileConfigDir >( "quayd/container/profileConfig" ), name );
   world_.noteEdit();
}

void Operator::registry( String const & name, RegistryParams const & params ) {
   put< RegistryConfig >( world_.at< RegistryConfigDir >( "quayd/registry/config" ), name,
                          [ & ]( auto & r ) { r.paramsIs( params ); } );
}

void Operator::registryDel( String const & name ) {
   removed( world_.at< RegistryConfigDir >( "quayd/registry/config" ), name );
}

void Operator::tarball( String const & path, bool configured ) {
   auto images = world_.at< ImageLoadConfigDir >( "quayd/image/config" );
   if ( configured ) {
      images->tarballIs( path );
   } else {
      images->tarballDel( path );
   }
}

void Operator::persistentPath( String const & path ) {
   world_.at< PersistentPathConfig >( "quayd/image/persistentPathConfig" )->pathIs( path );
}

} // namespace Quayd::Sim
