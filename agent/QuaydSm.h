#pragma once
// The runtime manager of the quy sub-agent: brings the container runtime up
// and down, keeps its data root on flash when configured, detects a restart
// of the agent while the runtime ran, and owns the chain of state machines
// that load images, log in to registries and run containers.
#include "agent/ContainerDirSm.h"
#include "agent/ContainerProfileDirSm.h"
#include "agent/ImageLoadSm.h"
#include "agent/PersistentPathSm.h"
#include "agent/RegistrySm.h"
#include "agent/UsageSampler.h"
#include "model/Model.h"
#include "platform/Host.h"
#include "platform/Process.h"
#include "platform/Reactor.h"
#include "platform/Sinks.h"
#include "platform/Task.h"

namespace Quayd {

extern LogDescriptor const QUAYD_CONTAINER_SERVICE_START_FAILED;
extern LogDescriptor const QUAYD_FLASH_WAIT;

// The runtime manager's collaborators: the entities it reads and writes,
// the runtime, the loop's scheduler, the host's file system, children and
// secrets (none: passwords are inline), what the host says of flash, and
// where the chain traces and logs.
struct QuaydSmParts {
   Ptr< QuaydConfig const > quaydConfig;
   Ptr< QuaydStatus > quaydStatus, quaydGlobalStatus;
   Ptr< PersistentPathConfig const > persistentPathConfig;
   Ptr< PersistentPathStatus > persistentPathStatus;
   Ptr< ImageLoadConfigDir const > imageLoadConfig;
   Ptr< ImageLoadStatusDir > imageLoadStatus;
   Ptr< RegistryConfigDir const > registryConfig;
   Ptr< RegistryStatusDir > registryStatus;
   Ptr< ContainerProfileConfigDir const > containerProfileConfig;
   Ptr< ContainerConfigDir const > containerConfig;
   Ptr< ContainerStatusDir > containerStatus;
   Ptr< ContainerRuntimeInterface > runtime;
   Ptr< TaskScheduler > taskScheduler;
   FileSystem * files = nullptr;
   ProcessRunner * processes = nullptr;
   Secrets * secrets = nullptr;
   FlashSettings flash;
   Seconds startupConditionTimeout = ContainerSm::kDefaultStartupConditionTimeout;
   Sinks sinks;
   bool operator==( QuaydSmParts const & ) const = default;
};

class QuaydSm : public PtrInterface {
 public:
   static constexpr char const * kFlashMountPoint = "/mnt/flash";
   static constexpr char const * kLbMountPath = "/mnt/flash/.quy";
   static constexpr char const * kDefaultDataRoot = "/var/lib/docker";

   explicit QuaydSm( QuaydSmParts parts );
   ~QuaydSm() override;

   void enable();
   void disable();
   void notificationsIs( bool on );

   // What it was built with, to tell whether a new machine is needed.
   QuaydSmParts parts() const;

   Ptr< QuaydConfig const > const & quaydConfig() const { return quaydConfig_; }
   Ptr< QuaydStatus > const & quaydStatus() const { return quaydStatus_; }
   Ptr< QuaydStatus > const & quaydGlobalStatus() const { return quaydGlobalStatus_; }
   Ptr< PersistentPathConfig const > const & persistentPathConfig() const {
      return persistentPathConfig_;
   }
   Ptr< PersistentPathStatus > const & persistentPathStatus() const {
      return persistentPathStatus_;
   }
   Ptr< ImageLoadConfigDir const > const & imageLoadConfig() const { return imageLoadConfig_; }
   Ptr< ImageLoadStatusDir > const & imageLoadStatus() const { return imageLoadStatus_; }
   Ptr< RegistryConfigDir const > const & registryConfig() const { return registryConfig_; }
   Ptr< RegistryStatusDir > const & registryStatus() const { return registryStatus_; }
   Ptr< ContainerConfigDir const > const & containerConfig() const { return containerConfig_; }
   Ptr< ContainerStatusDir > const & containerStatus() const { return containerStatus_; }
   Ptr< ContainerRuntimeInterface > const & runtime() const { return runtime_; }
   Ptr< TaskScheduler > const & taskScheduler() const { return taskScheduler_; }
   Ptr< ContainerConfigDir > const & consolidatedContainerConfig() const {
      return consolidatedContainerConfig_;
   }
   Ptr< PersistentPathSm > const & persistentPathSm() const { return persistentPathSm_; }
   Ptr< ImageLoadSm > const & imageLoadSm() const { return imageLoadSm_; }
   Ptr< RegistrySm > const & registrySm() const { return registrySm_; }
   Ptr< ContainerDirSm > const & containerDirSm() const { return containerDirSm_; }
   Ptr< ContainerProfileDirSm > const & containerProfileDirSm() const {
      return containerProfileDirSm_;
   }
   Ptr< TimerTask > const & runtimeCheckTask() const { return runtimeCheckTask_; }
   bool crashRecovery() const { return crashRecovery_; }
   // Whether the chain exists: the machine runs or goes up or down.
   bool chainPresent() const { return persistentPathSm_ != nullptr; }
   // What became of the last enable(): put off until a stop in progress
   // ends, or refused because the flash mount failed (which may pass,
   // unlike too little space). Either is worth asking again.
   bool startDeferred() const { return startDeferred_; }
   bool mountFailed() const { return mountFailed_; }
   // The last enable() found the flash file system not mounted yet; it is
   // worth asking again every kFlashRetry.
   bool waitingForFlash() const { return waitingForFlash_; }
   static constexpr Seconds kFlashRetry{ 10 };
   Duration runtimeCheckDelay() const { return runtimeCheckDelay_; }

   // The data root on flash.
   static String datarootOnFlash() { return String( kLbMountPath ) + "/data-root"; }
   uint32_t getAvailableSpaceOnFlash() const;
   uint32_t getDefaultDataRootSize() const;
   // Whether /mnt/flash is mounted, or no mount is expected there.
   bool flashPresent() const;
   void maybeCreateLoopBackMount();
   bool createDataRootOnFlash( uint32_t sizeMb );
   void removeDataRootOnFlash();
   // Unmounts the data root on flash and keeps its image.
   void unmountDataRootOnFlash();
   // What a stop does with the data root on flash: its image is removed only
   // when the operator no longer asks for quy on flash; a failed mount, a
   // restart or a new size is no reason to lose what is on it.
   void releaseDataRootOnFlash();
   bool flashWanted() const {
      return quaydConfig_ && quaydConfig_->enabled() && quaydConfig_->onFlash();
   }
   // A configuration change: an image kept on flash that the operator no
   // longer asks for, and that no running sub-agent holds, is removed.
   void dropUnwantedFlash();
   // Empties the default data root that a hard stop left to erase, once the
   // daemon is confirmed gone, with the records of the containers that
   // went with it; otherwise it stays to do at the next stop.
   void eraseDefaultDataRoot();

 private:
   void handleDisabled();
   void handleRegistries();
   void checkRuntime();
   // Whether the runtime answers; a failed check is a no.
   bool runtimeActive();
   // Whether the daemon runs with what applyConfig would give it.
   bool runsOwnConfig();
   // Configures and starts the runtime: started_, or checks from now on.
   void startRuntimeAgain();
   void startSms();
   void stopSms();
   bool configureRuntime();
   void configureInsecureRegistries();
   void doRuntimeHardStop();
   // disable() of a machine without children: its states around the above.
   void hardStop();
   // The runtime's data root: the one on flash while it is in use, else
   // the runtime's default (empty).
   String dataRoot() const;
   void applyConfig();
   // Writes `s` to the cell-local status, then the global one.
   void stateIs( SmState s );
   // Writes `s` to the global status, then the cell-local one (stop paths).
   void stoppingStateIs( SmState s );
   void clearFlashStatus();
   // The data root on flash cannot be had, for the reason `why`.
   void mountRefused( String const & why );
   ToolRun runMountTool( std::vector< String > const & args );

   Ptr< QuaydConfig const > quaydConfig_;
   Ptr< QuaydStatus > quaydStatus_;
   Ptr< QuaydStatus > quaydGlobalStatus_;
   Ptr< PersistentPathConfig const > persistentPathConfig_;
   Ptr< PersistentPathStatus > persistentPathStatus_;
   Ptr< ImageLoadConfigDir const > imageLoadConfig_;
   Ptr< ImageLoadStatusDir > imageLoadStatus_;
   Ptr< RegistryConfigDir const > registryConfig_;
   Ptr< RegistryStatusDir > registryStatus_;
   Ptr< ContainerProfileConfigDir const > containerProfileConfig_;
   Ptr< ContainerConfigDir const > containerConfig_;
   Ptr< ContainerStatusDir > containerStatus_;
   Ptr< ContainerRuntimeInterface > runtime_;
   Ptr< TaskScheduler > taskScheduler_;
   FileSystem * files_;
   ProcessRunner * processes_;
   Secrets * secrets_;
   FlashSettings flash_;
   Seconds startupConditionTimeout_;
   Ptr< ContainerConfigDir > consolidatedContainerConfig_;
   Ptr< PersistentPathSm > persistentPathSm_;
   Ptr< ImageLoadSm > imageLoadSm_;
   Ptr< RegistrySm > registrySm_;
   Ptr< ContainerDirSm > containerDirSm_;
   Ptr< ContainerProfileDirSm > containerProfileDirSm_;
   Ptr< UsageSampler > usageSampler_;
   bool crashRecovery_ = false;
   Duration runtimeCheckDelay_ = std::chrono::seconds( 2 );
   // A failed start is tried again this long after the last attempt.
   static constexpr Duration kStartRetryDelay = std::chrono::seconds( 30 );
   TimePoint lastStartAttempt_{};
   // Whether the runtime was last started with this machine's configuration.
   bool configApplied_ = false;
   bool mountFailed_ = false;
   bool startDeferred_ = false;
   bool waitingForFlash_ = false;
   bool eraseDefaultDataRootPending_ = false;
   Ptr< TimerTask > runtimeCheckTask_;
   // A stop publishing its states; a start asked for meanwhile is put off.
   class StopInProgress {
    public:
      explicit StopInProgress( QuaydSm & sm );
      ~StopInProgress();

    private:
      QuaydSm & sm_;
   };
   int stopsInProgress_ = 0;
   // Retries the removal of a data root on flash that is no longer used.
   Ptr< TimerTask > flashCleanupTask_;
   Ptr< TimerTask > registriesRetryTask_;
   static constexpr Duration kFlashCleanupRetry = std::chrono::seconds( 30 );
   Reactor reactor_;
   Sinks sinks_;
   TraceHandle trace_;
   LogSink * log_;
};

Ptr< QuaydSm > quaydSmFactory( QuaydSmParts parts );

} // namespace Quayd
