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
   return { "Quayd",
            { entry< QuaydConfig >( Paths::kQuaydConfig, r ),
              entry< QuaydStatus >( Cell::path( Paths::kQuaydStatus, 0 ), w ),
              entry< QuaydStatus >( Paths::kQuaydStatus, w ),
              entry< Gnoi::Config >( Paths::kGnoiConfig, r ),
              entry< Gnoi::Containerz::ContainerRuntimeStatus >( Paths::kCrtStatus, w ),
              entry< Gnoi::Containerz::ServerStatus >( Paths::kServerStatus, w ),
              entry< Ip::AllVrfStatusLocal >( Cell::path( Paths::kVrfStatusLocal, 0 ), r ),
              entry< KernelRoutingOverrideStatus >( Paths::kKernelRoutingOverride, r ),
              entry< PersistentPathConfig >( Paths::kPersistentPathConfig, r ),
              entry< PersistentPathStatus >( Cell::path( Paths::kPersistentPathStatus, 0 ), w ),
              entry< ImageLoadConfigDir >( Paths::kImageConfig, r ),
              entry< ImageLoadStatusDir >( Cell::path( Paths::kImageStatus, 0 ), w ),
              entry< RegistryConfigDir >( Paths::kRegistryConfig, r ),
              entry< RegistryStatusDir >( Cell::path( Paths::kRegistryStatus, 0 ), w ),
              entry< ContainerProfileConfigDir >( Paths::kProfileConfig, r ),
              entry< ContainerConfigDir >( Paths::kContainerConfig, r ),
              entry< ContainerStatusDir >( Cell::path( Paths::kContainerStatus, 0 ), w ),
              entry< SubAgentCandidate >( kSubAgentCandidatePath, w ) } };
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
