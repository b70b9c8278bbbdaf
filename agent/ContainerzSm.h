#pragma once
// The Containerz sub-agent: brings the container runtime up inside the
// configured VRF's network namespace, with its data root on flash, once the
// VRF is usable, and takes it down on every configuration change and when the
// sub-agent stops. When a syslog server is configured, the runtime waits
// until that server answers from the VRF's namespace. Containers themselves
// are managed by the gNOI Containerz service through the same runtime; that
// service runs while the runtime does (ContainerzServerSm.h), when given.
// A runtime that an earlier agent process left running in a usable VRF, with
// the configuration this one would give it, is adopted as it is, with its
// containers and its service: a restart or an upgrade of the agent is no
// outage.
#include "agent/ContainerzServerSm.h"
#include "agent/UrlReachability.h"
#include "model/Model.h"
#include "platform/Reactor.h"
#include "platform/Task.h"

namespace Quayd {

class FileSystem;

// True exactly while the configured VRF is usable.
#define VRF_ENABLED_STATUS_FIELDS( F ) F( ATTR, bool, enabled, false )
QUAYD_ENTITY( VrfEnabledStatus, VRF_ENABLED_STATUS_FIELDS );

// Watches the status entry of one non-default VRF and drives the flag from
// it; destroying it clears the flag.
class VrfSm : public PtrInterface {
 public:
   VrfSm( Ptr< Ip::VrfStatusLocal const > vrfStatusLocal,
          Ptr< VrfEnabledStatus > vrfEnabledStatus );
   ~VrfSm() override;
   static Ptr< VrfSm > VrfSmIs( Ptr< Ip::VrfStatusLocal const > vrfStatusLocal,
                                Ptr< VrfEnabledStatus > vrfEnabledStatus );

   Ptr< Ip::VrfStatusLocal const > const & vrfStatusLocal() const { return vrfStatusLocal_; }
   L3::VrfName const & vrfName() const { return vrfName_; }

 private:
   void handleVrf();
   void handleDel();
   // Retries the start or stop of the runtime that failed last.
   void handleRuntimeRetry();

   Ptr< Ip::VrfStatusLocal const > vrfStatusLocal_;
   Ptr< VrfEnabledStatus > vrfEnabledStatus_;
   L3::VrfName vrfName_;
   Reactor reactor_;
};

class ContainerzSm : public PtrInterface {
 public:
   static constexpr char const * kDataRoot = "/mnt/flash/.containerz/data-root";
   // Where the service keeps a deployed image until it is loaded.
   static constexpr char const * kStagingDir = "/mnt/flash/.containerz/staging";
   static constexpr Seconds kUrlProbeInterval{ 30 };
   static constexpr Seconds kUrlProbeWatchdogTimeout{ 20 };
   static constexpr Seconds kUrlProbeConnectTimeout{ 5 };
   static constexpr Duration kUrlProbeUdpIdleTimeout = std::chrono::milliseconds( 200 );
   // Between two attempts to bring the runtime where it should be.
   static constexpr Seconds kRuntimeRetry{ 10 };

   ContainerzSm( Ptr< Gnoi::Containerz::Config const > containerzConfig,
                 Ptr< Ip::AllVrfStatusLocal const > allVrfStatusLocal,
                 Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crtStatus,
                 Ptr< ContainerRuntimeInterface > runtime, Ptr< TaskScheduler > taskScheduler,
                 FileSystem & files, ProcessRunner & processes,
                 UrlReachabilityFactory urlReachability,
                 Ptr< Gnoi::Containerz::ServerStatus > serverStatus = nullptr,
                 Ptr< ContainerzServerInterface > server = nullptr );
   ~ContainerzSm() override;

   struct Args {
      Ptr< Gnoi::Containerz::Config const > containerzConfig;
      Ptr< Ip::AllVrfStatusLocal const > allVrfStatusLocal;
      Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crtStatus;
      Ptr< ContainerRuntimeInterface > runtime;
      Ptr< TaskScheduler > taskScheduler;
      Ptr< Gnoi::Containerz::ServerStatus > serverStatus;
      Ptr< ContainerzServerInterface > server;
      bool operator==( Args const & ) const = default;
   };
   Args args() const;

   Ptr< Gnoi::Containerz::Config const > const & containerzConfig() const {
      return containerzConfig_;
   }
   Ptr< Ip::AllVrfStatusLocal const > const & allVrfStatusLocal() const {
      return allVrfStatusLocal_;
   }
   Ptr< Gnoi::Containerz::ContainerRuntimeStatus > const & crtStatus() const { return crtStatus_; }
   Ptr< ContainerRuntimeInterface > const & runtime() const { return runtime_; }
   Ptr< TaskScheduler > const & taskScheduler() const { return taskScheduler_; }
   Ptr< VrfEnabledStatus > const & vrfEnabledStatus() const { return vrfEnabledStatus_; }
   Ptr< VrfSm > const & vrfSm() const { return vrfSm_; }
   Ptr< UrlReachabilityStatus > const & urlReachabilityStatus() const {
      return urlReachabilityStatus_;
   }
   Ptr< UrlReachabilityBaseSm > const & urlReachabilitySm() const { return urlReachabilitySm_; }
   Ptr< ContainerzServerSm > const & serverSm() const { return serverSm_; }
   bool initialized() const { return initialized_; }

   void cleanupDataRoot();

 private:
   void vrfEnabledStatusIs();
   void vrfEnabledStatusDel();
   void vrfSmIs( Ptr< Ip::VrfStatusLocal const > const & entry );
   void vrfSmDel();
   void urlReachabilityStatusIs();
   void urlReachabilityStatusDel();
   void createUrlReachabilitySm( String const & serverUrl, NamespaceName const & netNs );

   void handleInitialized();
   void handleCrtConfig();
   void handleVrfConfig();
   void handleVrfStatusLocal( String const & name );
   void handleVrfEnabled();
   void handleSyslogServer();
   void handleSyslogServerUrlReachable();
   void handleDel();
   // Retries the start or stop of the runtime that failed last.
   void handleRuntimeRetry();
   void createDataRoot();
   // Takes on the runtime left running when it runs as configured in a
   // usable VRF; false when it does not, to be started through the gates.
   bool adoptRuntime();
   void runtimeAdopted();
   // Where the runtime runs and logs to, as configured.
   String netNsPath() const;
   Ptr< SyslogDriver const > logDriver() const;
   void cleanupStaleState( bool cleanupVrfState );
   void startRuntime();
   // Disables and resets the runtime, whether or not it was started.
   void stopRuntime();
   Gnoi::Containerz::CrtConfig const & crtConfig() const { return containerzConfig_->crtConfig(); }

   Ptr< Gnoi::Containerz::Config const > containerzConfig_;
   Ptr< Ip::AllVrfStatusLocal const > allVrfStatusLocal_;
   Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crtStatus_;
   Ptr< ContainerRuntimeInterface > runtime_;
   Ptr< TaskScheduler > taskScheduler_;
   FileSystem & files_;
   UrlReachabilityFactory urlReachability_;
   Ptr< Gnoi::Containerz::ServerStatus > serverStatus_;
   Ptr< ContainerzServerInterface > server_;
   Ptr< ContainerzServerSm > serverSm_;
   Ptr< VrfEnabledStatus > vrfEnabledStatus_;
   Ptr< VrfSm > vrfSm_;
   bool inHandleCrtConfig_ = false;
   // True while adoptRuntime sets the VRF's flag: no cleanup, no gates.
   bool adopting_ = false;
   Ptr< UrlReachabilityStatus > urlReachabilityStatus_;
   Ptr< UrlReachabilityBaseSm > urlReachabilitySm_;
   bool initialized_ = false;
   // Whether the gates are passed and the runtime should run.
   bool runtimeWanted_ = false;
   // Told once per wait for the VRF's network namespace.
   bool waitingForNamespace_ = false;
   Ptr< TimerTask > retryTask_;
   Reactor reactor_;
   // The owned flags' subscriptions, dropped apart from the inputs'.
   Reactor vrfEnabledReactor_;
   Reactor urlReachabilityReactor_;
};

Ptr< ContainerzSm >
containerzSmFactory( Ptr< Gnoi::Containerz::Config const > containerzConfig,
                     Ptr< Ip::AllVrfStatusLocal const > allVrfStatusLocal,
                     Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crtStatus,
                     Ptr< ContainerRuntimeInterface > runtime, Ptr< TaskScheduler > taskScheduler,
                     FileSystem & files, ProcessRunner & processes,
                     UrlReachabilityFactory urlReachability,
                     Ptr< Gnoi::Containerz::ServerStatus > serverStatus = nullptr,
                     Ptr< ContainerzServerInterface > server = nullptr );

} // namespace Quayd
