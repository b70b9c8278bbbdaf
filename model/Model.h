#pragma once
// The configuration and status entities of the agent, as the state database
// holds them. docs/state-db.md lists every path with an example hash.
//
// Each entity at path P is the hash P (one field per attribute); element k of
// its collection is the hash "P|k". Example, "quayd/config":
//   enabled "true"  onFlash "true"  flashLimit "2147483648"
#include <optional>

#include "platform/ContainerRuntimeInterface.h"
#include "platform/Entity.h"
#include "platform/EntityManager.h"

namespace Quayd {

// The progress of a state machine of the quy sub-agent's chain.
QUAYD_ENUM( SmState, uint8_t, stopped_, inherited_, starting_, started_, stopping_ );

// ---------------------------------------------------------------- quayd/config
// enabled "true"  onFlash "false"  flashLimit "0"
// (usageInterval: seconds between two rounds of resource samples, 0 turns
// sampling off; memoryCeilingRounds: rounds in a row over its memory
// ceiling after which a container is restarted)
#define QUAYD_CONFIG_FIELDS( F )          \
   F( ATTR, bool, enabled, false )        \
   F( ATTR, bool, onFlash, false )        \
   F( ATTR, uint64_t, flashLimit, 0 )     \
   F( ATTR, uint32_t, usageInterval, 10 ) \
   F( ATTR, uint32_t, memoryCeilingRounds, 3 )
QUAYD_ENTITY( QuaydConfig, QUAYD_CONFIG_FIELDS );

// ---------------------------------------------- quayd/status, cell/0/quayd/status
// state "started_"  runningOnFlash "true"  flashLimit "2147483648"
// runtimeError "GET /_ping via /var/run/docker.sock: Timeout was reached"
// (why the runtime does not answer, cell-local only; empty while it does)
// mountError "quylbmount: cannot mount /mnt/flash/.quy/data-root.img ..."
// (why the data root on flash is not there, cell-local only; empty once it is)
#define QUAYD_STATUS_FIELDS( F )                \
   F( ATTR, SmState, state, SmState::stopped_ ) \
   F( ATTR, bool, runningOnFlash, false )       \
   F( ATTR, uint64_t, flashLimit, 0 )           \
   F( ATTR, String, runtimeError, "" )          \
   F( ATTR, String, mountError, "" )
QUAYD_ENTITY( QuaydStatus, QUAYD_STATUS_FIELDS );

// ------------------------------------------------------------------ sub-agents
QUAYD_ENUM( SubAgentType, uint8_t, subAgentNone, subAgentQuy, subAgentQuyOnFlash,
            subAgentContainerz );

struct SubAgentInstance {
   SubAgentType subAgentType = SubAgentType::subAgentNone;
   uint64_t flashLimit = 0;
   bool operator==( SubAgentInstance const & ) const = default;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT( SubAgentInstance, subAgentType, flashLimit )

// Published by the agent at "quayd/agent/subAgentCandidate":
// subAgentConfigured {"subAgentType":"subAgentQuy","flashLimit":0}
#define SUB_AGENT_CANDIDATE_FIELDS( F )                \
   F( ATTR, SubAgentInstance, subAgentConfigured, {} ) \
   F( ATTR, SubAgentInstance, subAgentRunning, {} )
QUAYD_ENTITY( SubAgentCandidate, SUB_AGENT_CANDIDATE_FIELDS );

// ----------------------------------------------------------------- containers
// Seconds between two runs of a startup condition; 0 means unset.
struct StartupConditionPollInterval {
   uint16_t value = 0;
   static constexpr uint16_t kDefault = 10;
   uint16_t valueOrDefault() const { return value ? value : kDefault; }
   bool operator==( StartupConditionPollInterval const & ) const = default;
};
inline void to_json( nlohmann::json & j, StartupConditionPollInterval const & v ) { j = v.value; }
inline void from_json( nlohmann::json const & j, StartupConditionPollInterval & v ) {
   v.value = j.get< uint16_t >();
}

// How one container is run. Empty or zero fields mean the daemon's default.
struct ContainerParams {
   String image{};
   uint32_t cpuShares = 0;
   String cpuCores{};   // cpuset, "0-1"
   String memory{};     // size, "512m"
   String networking{}; // "bridge", "host", "none" or a network name
   String options{};    // further `docker run` words
   String command{};
   String restartPolicy{}; // "no", "always", "unless-stopped", "on-failure[:N]"
   uint8_t privileged = 0;
   uint8_t tty = 0;
   uint8_t readOnlyRootfs = 0;
   uint8_t init = 0;
   String startupConditionBash{};
   StartupConditionPollInterval startupConditionPollInterval{};
   bool operator==( ContainerParams const & ) const = default;
   bool isEq( ContainerParams const & o ) const { return *this == o; }
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT( ContainerParams, image, cpuShares, cpuCores,
                                                 memory, networking, options, command,
                                                 restartPolicy, privileged, tty, readOnlyRootfs,
                                                 init, startupConditionBash,
                                                 startupConditionPollInterval )

NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT( BindMountEntry, hostPath, containerPath, readOnly )
inline String keyOf( BindMountEntry const & b ) { return b.containerPath; }

// "quayd/container/config|web":
//   params {"image":"busybox:1","memory":"64m",...}  enabled "true"
//   bindMount {"/data":{"hostPath":"/mnt/flash/web","containerPath":"/data","readOnly":false}}
//   profile "base"  restartUnhealthy "false" (restarted when its health
//   check reports it unhealthy)  memoryCeiling "402653184" (bytes of memory
//   in use above which it is restarted, 0 for none). Neither is a parameter
//   of the run: editing them recreates nothing.
#define CONTAINER_CONFIG_FIELDS( F )        \
   F( ATTR, ContainerParams, params, {} )   \
   F( MAP, BindMountEntry, bindMount, _ )   \
   F( ATTR, bool, enabled, false )          \
   F( ATTR, String, profile, "" )           \
   F( ATTR, bool, restartUnhealthy, false ) \
   F( ATTR, uint64_t, memoryCeiling, 0 )
QUAYD_ENTITY( ContainerConfig, CONTAINER_CONFIG_FIELDS );

#define CONTAINER_CONFIG_DIR_FIELDS( F ) F( ELEMENTS, ContainerConfig, container, _ )
QUAYD_ENTITY( ContainerConfigDir, CONTAINER_CONFIG_DIR_FIELDS );

// Profiles are container configurations that containers name in `profile`.
#define CONTAINER_PROFILE_CONFIG_DIR_FIELDS( F ) F( ELEMENTS, ContainerConfig, profile, _ )
QUAYD_ENTITY( ContainerProfileConfigDir, CONTAINER_PROFILE_CONFIG_DIR_FIELDS );

// A running container's resources at the last sampling round, as `docker
// stats` shows them; not sampled (stopped, removed, sampling off): null.
struct ContainerUsage {
   bool sampled = false;
   double cpuPercent = 0; // of one core, since the round before
   uint64_t memoryUsage = 0, memoryLimit = 0;
   uint64_t pids = 0;
   uint64_t netRx = 0, netTx = 0;
   uint64_t blockRead = 0, blockWrite = 0;
   String health{}; // "healthy", "unhealthy", "starting"; empty without a check
   bool operator==( ContainerUsage const & ) const = default;
};
void to_json( nlohmann::json & j, ContainerUsage const & u );
void from_json( nlohmann::json const & j, ContainerUsage & u );

QUAYD_ENUM( ContainerRunState, uint8_t, containerStopped_, containerWaiting_, containerStartFailed_,
            containerRunning_, containerStarting_ );

// "cell/0/quayd/container/status|web":
//   name "web"  state "containerRunning_"  params {...}  bindMount {...}
//   startAttempts "0"  lastError ""
//   conditionRuns "3"  conditionFailures "2"  conditionTimeouts "0"  (the
//   startup condition's current evaluation)  clientRuns "0" (runs that went
//   through the docker client for an option the option table does not take)
//   daemonState "exited"  exitCode "137"  startedAt "2026-..."  finishedAt
//   "2026-..."  restartCount "0"  imageId "sha256:..." (the daemon's own
//   word on the container, refreshed on each of its events; daemonState is
//   empty when the daemon holds none)
//   unhealthyRestarts "1" (restarts for a failed health check)
//   backingOff "2026-...Z" (when a start that keeps failing is tried next;
//   empty while none is timed)  history [{"time":...,"reason":"started",
//   "detail":""},...] (the last state changes, oldest first)
//   usage {"cpuPercent":50.1,"memoryUsage":104857600,"memoryLimit":0,"pids":2,
//   "netRx":0,"netTx":0,"blockRead":0,"blockWrite":0,"health":""} (null when
//   not sampled)  memoryRestarts "0" (restarts for going over memoryCeiling)
#define CONTAINER_STATUS_FIELDS( F )                                         \
   F( ATTR, String, name, "" )                                               \
   F( ATTR, ContainerParams, params, {} )                                    \
   F( MAP, BindMountEntry, bindMount, _ )                                    \
   F( ATTR, ContainerRunState, state, ContainerRunState::containerStopped_ ) \
   F( ATTR, uint32_t, startAttempts, 0 )                                     \
   F( ATTR, String, lastError, "" )                                          \
   F( ATTR, uint32_t, conditionRuns, 0 )                                     \
   F( ATTR, uint32_t, conditionFailures, 0 )                                 \
   F( ATTR, uint32_t, conditionTimeouts, 0 )                                 \
   F( COUNTER, uint32_t, clientRuns, 0 )                                     \
   F( ATTR, String, daemonState, "" )                                        \
   F( ATTR, int32_t, exitCode, 0 )                                           \
   F( ATTR, String, startedAt, "" )                                          \
   F( ATTR, String, finishedAt, "" )                                         \
   F( ATTR, uint32_t, restartCount, 0 )                                      \
   F( ATTR, String, imageId, "" )                                            \
   F( COUNTER, uint32_t, unhealthyRestarts, 0 )                              \
   F( ATTR, String, backingOff, "" )                                         \
   F( ATTR, String, history, "" )                                            \
   F( ATTR, ContainerUsage, usage, {} )                                      \
   F( COUNTER, uint32_t, memoryRestarts, 0 )
QUAYD_ENTITY( ContainerStatus, CONTAINER_STATUS_FIELDS );

#define CONTAINER_STATUS_DIR_FIELDS( F )        \
   F( ATTR, SmState, state, SmState::stopped_ ) \
   F( ELEMENTS, ContainerStatus, container, _ )
QUAYD_ENTITY( ContainerStatusDir, CONTAINER_STATUS_DIR_FIELDS );

// --------------------------------------------------------------------- images
// "quayd/image/persistentPathConfig": path "/mnt/flash/"
#define PERSISTENT_PATH_CONFIG_FIELDS( F ) F( ATTR, String, path, "" )
QUAYD_ENTITY( PersistentPathConfig, PERSISTENT_PATH_CONFIG_FIELDS );

// "cell/0/quayd/image/persistentPathStatus": state "started_"  image ["app:1"]
#define PERSISTENT_PATH_STATUS_FIELDS( F )      \
   F( ATTR, SmState, state, SmState::stopped_ ) \
   F( SET, String, image, _ )
QUAYD_ENTITY( PersistentPathStatus, PERSISTENT_PATH_STATUS_FIELDS );

// "quayd/image/config": tarball ["/mnt/flash/app.tar"]
#define IMAGE_LOAD_CONFIG_DIR_FIELDS( F ) F( SET, String, tarball, _ )
QUAYD_ENTITY( ImageLoadConfigDir, IMAGE_LOAD_CONFIG_DIR_FIELDS );

// "cell/0/quayd/image/status|/mnt/flash/app.tar": tag ["app:1"]  error ""
// (why the last load failed, its first KiB; empty once a load succeeds)
#define IMAGE_LOAD_STATUS_FIELDS( F ) \
   F( SET, String, tag, _ )           \
   F( ATTR, String, error, "" )
QUAYD_ENTITY( ImageLoadStatus, IMAGE_LOAD_STATUS_FIELDS );

#define IMAGE_LOAD_STATUS_DIR_FIELDS( F )       \
   F( ATTR, SmState, state, SmState::stopped_ ) \
   F( ELEMENTS, ImageLoadStatus, status, _ )
QUAYD_ENTITY( ImageLoadStatusDir, IMAGE_LOAD_STATUS_DIR_FIELDS );

// ----------------------------------------------------------------- registries
struct RegistryParams {
   String server{};
   String username{};
   String password{}; // inline: only where no credential store is kept
   bool insecure = false;
   String credential{}; // the name of the password in the credential store
   bool operator==( RegistryParams const & ) const = default;
   bool isEq( RegistryParams const & o ) const { return *this == o; }
};
// The text holds what the value holds: the password's name in the
// credential store ("credential"), or, written by hand or where no store is
// kept, the "password" itself. Encoding never touches the store.
void to_json( nlohmann::json & j, RegistryParams const & p );
void from_json( nlohmann::json const & j, RegistryParams & p );

// "quayd/registry/config|local":
//   params {"server":"127.0.0.1:5000","username":"ops",
//           "credential":"3f9a...","insecure":false}
#define REGISTRY_CONFIG_FIELDS( F ) F( ATTR, RegistryParams, params, {} )
QUAYD_ENTITY( RegistryConfig, REGISTRY_CONFIG_FIELDS );

#define REGISTRY_CONFIG_DIR_FIELDS( F ) F( ELEMENTS, RegistryConfig, registry, _ )
QUAYD_ENTITY( RegistryConfigDir, REGISTRY_CONFIG_DIR_FIELDS );

QUAYD_ENUM( RegistryState, uint8_t, loggedOut, loggedIn, loginFailed );

// "cell/0/quayd/registry/status|local": params {...}  state "loggedIn"
#define REGISTRY_STATUS_FIELDS( F )      \
   F( ATTR, RegistryParams, params, {} ) \
   F( ATTR, RegistryState, state, RegistryState::loggedOut )
QUAYD_ENTITY( RegistryStatus, REGISTRY_STATUS_FIELDS );

inline void to_json( nlohmann::json & j, Ptr< InsecureRegistries > const & r ) {
   j = r ? nlohmann::json( r->reg() ) : nlohmann::json::array();
}
inline void from_json( nlohmann::json const & j, Ptr< InsecureRegistries > & r ) {
   r = insecureRegistriesFactory();
   for ( auto const & s : j.get< std::vector< String > >() ) {
      r->regIs( s );
   }
}

// "cell/0/quayd/registry/status":
//   state "started_"  insecureRegistries ["10.0.0.5:5000"]  insecureRegistriesDone "3"
#define REGISTRY_STATUS_DIR_FIELDS( F )                                                  \
   F( ATTR, SmState, state, SmState::stopped_ )                                          \
   F( ELEMENTS, RegistryStatus, registry, _ )                                            \
   F( ATTR, Ptr< InsecureRegistries >, insecureRegistries, insecureRegistriesFactory() ) \
   F( COUNTER, uint64_t, insecureRegistriesDone, 0 )
QUAYD_ENTITY( RegistryStatusDir, REGISTRY_STATUS_DIR_FIELDS );

// --------------------------------------------------------------------- gNOI
namespace L3 {
// A VRF name of at most 100 bytes; "default" is the default VRF.
class VrfName {
 public:
   static constexpr size_t kMaxLength = 100;
   VrfName() = default;
   VrfName( String n ); // throws std::length_error past kMaxLength
   VrfName( char const * n ) : VrfName( String( n ) ) {}
   String const & str() const { return name_; }
   bool isDefault() const { return name_.empty() || name_ == "default"; }
   // The VRF's network namespace: the agent's own ("default") for the
   // default VRF, "ns-<name>" for any other.
   String nsName() const { return isDefault() ? String( "default" ) : "ns-" + name_; }
   bool operator==( VrfName const & ) const = default;
   auto operator<=>( VrfName const & ) const = default;

 private:
   String name_;
};
inline void to_json( nlohmann::json & j, VrfName const & v ) { j = v.str(); }
inline void from_json( nlohmann::json const & j, VrfName & v ) { v = VrfName( j.get< String >() ); }
} // namespace L3

namespace Gnoi::Containerz {

struct CrtConfig {
   L3::VrfName vrfName;
   uint8_t logDriver = 0; // 1: syslog
   String syslogServer;
   bool operator==( CrtConfig const & ) const = default;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT( CrtConfig, vrfName, logDriver, syslogServer )

// The service's socket without TLS: root's and the group quayd's.
inline constexpr char const * kSocket = "/run/quayd/containerz.sock";
// Where the gRPC Containerz service listens, inside the VRF's namespace.
// Without a certificate and key it serves plaintext, and then only on a
// loopback address; an empty address means loopback then, every address with TLS.
// With a CA, clients must present a certificate it signed.
struct GrpcConfig {
   uint16_t port = kDefaultPort;
   String address;
   String tlsCert;
   String tlsKey;
   String tlsCa;
   String authzPolicy;     // who may call what, with TLS
   String privilegePolicy; // what containers may be given of the switch
   static constexpr uint16_t kDefaultPort = 9339;
   bool tls() const { return !tlsCert.empty() && !tlsKey.empty(); }
   // Why the service must not serve so, or nothing: TLS without a client CA
   // would let any host that reaches the port call.
   std::optional< String > unsafe() const {
      if ( tls() && tlsCa.empty() ) {
         return String( "TLS without a client CA (tlsCa) is refused: any host could call" );
      }
      return std::nullopt;
   }
   bool operator==( GrpcConfig const & ) const = default;
};
NLOHMANN_DEFINE_TYPE_NON_INTRUSIVE_WITH_DEFAULT( GrpcConfig, port, address, tlsCert, tlsKey, tlsCa,
                                                 authzPolicy, privilegePolicy )

// "mgmt/gnoi/config|containerz":
//   crtConfig {"vrfName":"red","logDriver":1,"syslogServer":"udp://127.0.0.1:5514"}
//   grpcConfig {"port":9339,"address":"","tlsCert":"","tlsKey":"","tlsCa":"",
//               "authzPolicy":"","privilegePolicy":""}
//   Without TLS the service listens on the unix socket kSocket only.
#define CONTAINERZ_CONFIG_FIELDS( F )  \
   F( ATTR, CrtConfig, crtConfig, {} ) \
   F( ATTR, GrpcConfig, grpcConfig, {} )
QUAYD_ENTITY( Config, CONTAINERZ_CONFIG_FIELDS );

// "mgmt/gnoi/containerz/crtStatus": enabled "true"  lastError ""
// lastError says why the runtime is not up when configuration keeps it down.
#define CRT_STATUS_FIELDS( F )     \
   F( ATTR, bool, enabled, false ) \
   F( ATTR, String, lastError, "" )
QUAYD_ENTITY( ContainerRuntimeStatus, CRT_STATUS_FIELDS );

// "mgmt/gnoi/containerz/serverStatus": state "running"  address "127.0.0.1:9339"
//   pid "812"  restarts "0"  lastError ""
// state is "stopped", "starting", "running" or "restarting".
#define SERVER_STATUS_FIELDS( F )      \
   F( ATTR, String, state, "stopped" ) \
   F( ATTR, String, address, "" )      \
   F( ATTR, int64_t, pid, 0 )          \
   F( ATTR, uint32_t, restarts, 0 )    \
   F( ATTR, String, lastError, "" )
QUAYD_ENTITY( ServerStatus, SERVER_STATUS_FIELDS );

} // namespace Gnoi::Containerz

namespace Gnoi {
// "mgmt/gnoi/config"; its Containerz member is the element "containerz",
// present when Containerz is configured.
#define GNOI_CONFIG_FIELDS( F ) F( ELEMENTS, Containerz::Config, member, _ )
QUAYD_ENTITY( Config, GNOI_CONFIG_FIELDS );
inline constexpr char const * kContainerzMember = "containerz";
inline Ptr< Containerz::Config > containerzConfig( Config const & c ) {
   return c.member( kContainerzMember );
}
} // namespace Gnoi

// --------------------------------------------------------------------- VRFs
namespace Ip {
// "cell/0/ip/vrf/status/local|red": vrfState "1"  vrfReady "true"
#define VRF_STATUS_LOCAL_FIELDS( F ) \
   F( ATTR, uint8_t, vrfState, 0 )   \
   F( ATTR, bool, vrfReady, false )
QUAYD_ENTITY( VrfStatusLocal, VRF_STATUS_LOCAL_FIELDS );
inline constexpr uint8_t kVrfStateActive = 1;

#define ALL_VRF_STATUS_LOCAL_FIELDS( F ) F( ELEMENTS, VrfStatusLocal, vrf, _ )
QUAYD_ENTITY( AllVrfStatusLocal, ALL_VRF_STATUS_LOCAL_FIELDS );
} // namespace Ip

// "l3/intf/kernelRoutingOverride": enabled "false"
#define KERNEL_ROUTING_OVERRIDE_FIELDS( F ) F( ATTR, bool, enabled, false )
QUAYD_ENTITY( KernelRoutingOverrideStatus, KERNEL_ROUTING_OVERRIDE_FIELDS );

// The paths of the mount profile; the cell-local ones (status the agent
// writes for its own cell) go through Cell::path.
namespace Paths {
inline constexpr char const * kQuaydConfig = "quayd/config";
inline constexpr char const * kQuaydStatus = "quayd/status"; // also cell-local
inline constexpr char const * kGnoiConfig = "mgmt/gnoi/config";
inline constexpr char const * kCrtStatus = "mgmt/gnoi/containerz/crtStatus";
inline constexpr char const * kServerStatus = "mgmt/gnoi/containerz/serverStatus";
inline constexpr char const * kVrfStatusLocal = "ip/vrf/status/local"; // cell-local
inline constexpr char const * kKernelRoutingOverride = "l3/intf/kernelRoutingOverride";
inline constexpr char const * kPersistentPathConfig = "quayd/image/persistentPathConfig";
inline constexpr char const * kPersistentPathStatus = "quayd/image/persistentPathStatus"; // cell
inline constexpr char const * kImageConfig = "quayd/image/config";
inline constexpr char const * kImageStatus = "quayd/image/status"; // cell-local
inline constexpr char const * kRegistryConfig = "quayd/registry/config";
inline constexpr char const * kRegistryStatus = "quayd/registry/status"; // cell-local
inline constexpr char const * kProfileConfig = "quayd/container/profileConfig";
inline constexpr char const * kContainerConfig = "quayd/container/config";
inline constexpr char const * kContainerStatus = "quayd/container/status"; // cell-local
} // namespace Paths

// The mount profile "Quayd": every path the agent reads or writes.
MountProfile quaydMountProfile();
inline constexpr char const * kSubAgentCandidatePath = "quayd/agent/subAgentCandidate";

} // namespace Quayd

template <>
struct fmt::formatter< Quayd::L3::VrfName > : fmt::formatter< std::string_view > {
   template < typename Ctx >
   auto format( Quayd::L3::VrfName const & n, Ctx & ctx ) const {
      return fmt::formatter< std::string_view >::format( n.str(), ctx );
   }
};
