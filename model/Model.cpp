#include "model/Model.h"

#include <stdexcept>

#include "platform/CredentialName.h"

namespace Quayd {

void to_json( nlohmann::json & j, ContainerUsage const & u ) {
   if ( !u.sampled ) {
      j = nullptr;
      return;
   }
   j = { { "cpuPercent", u.cpuPercent },
         { "memoryUsage", u.memoryUsage },
         { "memoryLimit", u.memoryLimit },
         { "pids", u.pids },
         { "netRx", u.netRx },
         { "netTx", u.netTx },
         { "blockRead", u.blockRead },
         { "blockWrite", u.blockWrite },
         { "health", u.health } };
}

void from_json( nlohmann::json const & j, ContainerUsage & u ) {
   u = {};
   if ( j.is_null() ) {
      return;
   }
   u.sampled = true;
   u.cpuPercent = j.value( "cpuPercent", 0.0 );
   u.memoryUsage = j.value( "memoryUsage", uint64_t( 0 ) );
   u.memoryLimit = j.value( "memoryLimit", uint64_t( 0 ) );
   u.pids = j.value( "pids", uint64_t( 0 ) );
   u.netRx = j.value( "netRx", uint64_t( 0 ) );
   u.netTx = j.value( "netTx", uint64_t( 0 ) );
   u.blockRead = j.value( "blockRead", uint64_t( 0 ) );
   u.blockWrite = j.value( "blockWrite", uint64_t( 0 ) );
   u.health = j.value( "health", String() );
}

QUAYD_ENTITY_TABLE( QuaydConfig, QUAYD_CONFIG_FIELDS )
QUAYD_ENTITY_TABLE( QuaydStatus, QUAYD_STATUS_FIELDS )
QUAYD_ENTITY_TABLE( SubAgentCandidate, SUB_AGENT_CANDIDATE_FIELDS )
QUAYD_ENTITY_TABLE( ContainerConfig, CONTAINER_CONFIG_FIELDS )
QUAYD_ENTITY_TABLE( ContainerConfigDir, CONTAINER_CONFIG_DIR_FIELDS )
QUAYD_ENTITY_TABLE( ContainerProfileConfigDir, CONTAINER_PROFILE_CONFIG_DIR_FIELDS )
QUAYD_ENTITY_TABLE( ContainerStatus, CONTAINER_STATUS_FIELDS )
QUAYD_ENTITY_TABLE( ContainerStatusDir, CONTAINER_STATUS_DIR_FIELDS )
QUAYD_ENTITY_TABLE( PersistentPathConfig, PERSISTENT_PATH_CONFIG_FIELDS )
QUAYD_ENTITY_TABLE( PersistentPathStatus, PERSISTENT_PATH_STATUS_FIELDS )
QUAYD_ENTITY_TABLE( ImageLoadConfigDir, IMAGE_LOAD_CONFIG_DIR_FIELDS )
QUAYD_ENTITY_TABLE( ImageLoadStatus, IMAGE_LOAD_STATUS_FIELDS )
QUAYD_ENTITY_TABLE( ImageLoadStatusDir, IMAGE_LOAD_STATUS_DIR_FIELDS )
QUAYD_ENTITY_TABLE( RegistryConfig, REGISTRY_CONFIG_FIELDS )
QUAYD_ENTITY_TABLE( RegistryConfigDir, REGISTRY_CONFIG_DIR_FIELDS )
QUAYD_ENTITY_TABLE( RegistryStatus, REGISTRY_STATUS_FIELDS )
QUAYD_ENTITY_TABLE( RegistryStatusDir, REGISTRY_STATUS_DIR_FIELDS )
QUAYD_ENTITY_TABLE( Gnoi::Containerz::Config, CONTAINERZ_CONFIG_FIELDS )
QUAYD_ENTITY_TABLE( Gnoi::Containerz::ContainerRuntimeStatus, CRT_STATUS_FIELDS )
QUAYD_ENTITY_TABLE( Gnoi::Containerz::ServerStatus, SERVER_STATUS_FIELDS )
QUAYD_ENTITY_TABLE( Gnoi::Config, GNOI_CONFIG_FIELDS )
QUAYD_ENTITY_TABLE( Ip::VrfStatusLocal, VRF_STATUS_LOCAL_FIELDS )
QUAYD_ENTITY_TABLE( Ip::AllVrfStatusLocal, ALL_VRF_STATUS_LOCAL_FIELDS )
QUAYD_ENTITY_TABLE( KernelRoutingOverrideStatus, KERNEL_ROUTING_OVERRIDE_FIELDS )

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
   if ( !v.credential.empty() && !isCredentialName( v.credential ) ) {
      throw std::runtime_error( "credential '" + v.credential + "' is not a credential name" );
   }
   p = std::move( v );
}

} // namespace Quayd
