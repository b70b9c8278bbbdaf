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
template < typename T >
MountEntry entry( String path, MountAccess access ) {
   return { std::move( path ), access, [] { return Ptr< Entity >( new T ); } };
}
} // namespace

MountProfile quaydMountProfile() {
   auto const r = MountAccess::read;
   auto const w = MountAccess::write;
   return {
      "Quayd",
      { entry< QuaydConfig >( "quayd/config", r ),
        entry< QuaydStatus >( Cell::path( "quayd/status", 0 ), w ),
        entry< QuaydStatus >( "quayd/status", w ), entry< Gnoi::Config >( "mgmt/gnoi/config", r ),
        entry< Gnoi::Containerz::ContainerRuntimeStatus >( "mgmt/gnoi/containerz/crtStatus", w ),
        entry< Gnoi::Containerz::ServerStatus >( "mgmt/gnoi/containerz/serverStatus", w ),
        entry< Ip::AllVrfStatusLocal >( Cell::path( "ip/vrf/status/local", 0 ), r ),
        entry< KernelRoutingOverrideStatus >( "l3/intf/kernelRoutingOverride", r ),
        entry< PersistentPathConfig >( "quayd/image/persistentPathConfig", r ),
        entry< PersistentPathStatus >( Cell::path( "quayd/image/persistentPathStatus", 0 ), w ),
        entry< ImageLoadConfigDir >( "quayd/image/config", r ),
        entry< ImageLoadStatusDir >( Cell::path( "quayd/image/status", 0 ), w ),
        entry< RegistryConfigDir >( "quayd/registry/config", r ),
        entry< RegistryStatusDir >( Cell::path( "quayd/registry/status", 0 ), w ),
        entry< ContainerProfileConfigDir >( "quayd/container/profileConfig", r ),
        entry< ContainerConfigDir >( "quayd/container/config", r ),
        entry< ContainerStatusDir >( Cell::path( "quayd/container/status", 0 ), w ),
        entry< SubAgentCandidate >( kSubAgentCandidatePath, w ) }
   };
}

void to_json( nlohmann::json & j, RegistryParams const & p ) {
   j = { { "server", p.server }, { "username", p.username }, { "insecure", p.insecure } };
   if ( !p.credential.empty() ) {
      j[ "credential" ] = p.credential;
   } else if ( !p.password.empty() ) {
      j[ "password" ] = p.password;
   }
}

void from_json( nlohmann::json const & j, RegistryParams & p ) {
   RegistryParams v;
   v.server = j.value( "server", String() );
   v.username = j.value( "username", String() );
   v.insecure = j.value( "insecure", false );
   v.password = j.value( "password", String() );
   v.credential = j.value( "credential", String() );
   if ( !v.credential.empty() && !CredentialStore::isName( v.credential ) ) {
      throw std::runtime_error( "credential '" + v.credential + "' is not a credential name" );
   }
   p = std::move( v );
}

} // namespace Quayd
