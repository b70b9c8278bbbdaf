#include "model/Model.h"

#include <stdexcept>

#include "platform/Credentials.h"

namespace Quayd {

L3::VrfName::VrfName( String n ) : name_( std::move( n ) ) {
   if ( name_.size() > kMaxLength ) {
      throw std::length_error( "VRF name longer than 100 bytes" );
   }
}

namespace {
template< typename T >
MountEntry entry( String path, MountAccess access ) {
   return { std::move( path ), access, [] { return Ptr< Entity >( new T ); } };
}
} // namespace

MountProfile quaydMountProfile() {
   auto const r = MountAccess::read;
   auto const w = MountAccess::write;
   return { "Quayd",
            { entry< QuaydConfig >( "quayd/config", r ),
              entry< QuaydStatus >( Cell::path( "quayd/status", 0 ), w ),
              entry< QuaydStatus >( "quayd/status", w ),
              entry< Gnoi::Config >( "mgmt/gnoi/config", r ),
              entry< Gnoi::Containerz::ContainerRuntimeStatus >(
                 "mgmt/gnoi/containerz/crtStatus", w ),
              entry< Ip::AllVrfStatusLocal >( Cell::path( "ip/vrf/status/local", 0 ), r ),
              entry< KernelRoutingOverrideStatus >( "l3/intf/kernelRoutingOverride", r ),
              entry< PersistentPathConfig >( "quayd/image/persistentPathConfig", r ),
              entry< PersistentPathStatus >(
                 Cell::path( "quayd/image/persistentPathStatus", 0 ), w ),
              entry< ImageLoadConfigDir >( "quayd/image/config", r ),
              entry< ImageLoadStatusDir >( Cell::path( "quayd/image/status", 0 ), w ),
              entry< RegistryConfigDir >( "quayd/registry/config", r ),
              entry< RegistryStatusDir >( Cell::path( "quayd/registry/status", 0 ), w ),
              entry< ContainerProfileConfigDir >( "quayd/container/profileConfig", r ),
              entry< ContainerConfigDir >( "quayd/container/config", r ),
              entry< ContainerStatusDir >( Cell::path( "quayd/container/status", 0 ), w ),
              entry< SubAgentCandidate >( kSubAgentCandidatePath, w ) } };
}

void to_json( nlohmann::json & j, RegistryParams const & p ) {
   j = { { "server", p.server }, { "username", p.username }, { "insecure", p.insecure } };
   if ( p.password.empty() ) {
      return;
   }
   auto * store = credentialStore();
   if ( !store ) {
      j[ "password" ] = p.password;
      return;
   }
   try {
      j[ "credential" ] = store->put( p.password );
   } catch ( std::exception const & ) {
      // Left out rather than written in the clear; quyctl keeps the
      // password before it writes, so only status can lose it this way.
   }
}

void from_json( nlohmann::json const & j, RegistryParams & p ) {
   RegistryParams v;
   v.server = j.value( "server", String() );
   v.username = j.value( "username", String() );
   v.insecure = j.value( "insecure", false );
   if ( auto it = j.find( "credential" ); it != j.end() ) {
      String const name = it->get< String >();
      auto * store = credentialStore();
      auto secret = store ? store->get( name ) : std::nullopt;
      if ( !secret ) {
         throw std::runtime_error( "credential '" + name + "' is not in " +
                                   ( store ? store->dir() : String( "any credential store" ) ) );
      }
      v.password = *secret;
   } else {
      v.password = j.value( "password", String() );
   }
   p = std::move( v );
}

} // namespace Quayd
