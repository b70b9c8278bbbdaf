#pragma once
// One configured container: keeps its status entry in step with its
// configuration, runs it through the runtime, retries a failed start with a
// growing delay (StartBackoff.h), restarts it when unhealthy if configured
// to (ContainerHealth.h), keeps its recent history (ContainerHistory.h), holds the start back until
// the startup condition has succeeded once, and stops and removes the container when it is
// disabled, reconfigured or destroyed.
//
// A change of the configuration is taken up by a task, once for all the
// fields one edit changed: an edit that disables the container and changes
// its image never runs the new image, and new parameters with new bind
// mounts recreate it once.
//
// A start goes out in flight (runContainerAsync), the status saying
// containerStarting_ meanwhile; it is never sent twice. So do the stop and
// removal of a disable or an edit, the status saying containerRunning_
// until the daemon answered. What happens to the
// configuration meanwhile (an edit, a disable) is taken up once it ends. A
// machine destroyed meanwhile (the container deleted, the runtime disabled)
// abandons it and removes what it may have made; a state containerStarting_
// left by an earlier agent is a start to make again, the runtime removing
// the leftover of the one cut short.
//
// Each failed run is logged, and each run of the startup condition that
// overruns: the back-off and the poll interval bound how often.
//
// Each evaluation (the machine built, its configuration changed, the
// daemon's events starting again after a restart of the daemon) checks that
// the container it started is there: held and running, restarting or
// paused. One that is held otherwise (exited, dead, created) is removed and
// run again. In between, a container that exits follows its restart policy;
// the machine only reports the daemon's word on it in the status.
//
// Reads "quayd/container/config|<name>" (params, bindMount, enabled) through
// the consolidated configuration; writes "cell/0/quayd/container/status|<name>":
//   name "web"  state "containerRunning_"  params {...}  bindMount {...}
//   startAttempts "0"  lastError ""  daemonState "running"  exitCode "0" ...
#include "agent/ContainerHealth.h"
#include "agent/ContainerHistory.h"
#include "agent/Probe.h"
#include "agent/StartBackoff.h"
#include "model/Model.h"
#include "platform/Reactor.h"
#include "platform/Sinks.h"
#include "platform/Task.h"

namespace Quayd {

// The words of a container's command or options text, split as a Unix shell
// would (space and tab separate; ' and " quote; backslash escapes). Text the
// rules reject (an unknown escape, a trailing backslash, an open quote)
// throws RuntimeException naming `what` and the text, which fails the start
// like a runtime error.
std::vector< String > splitWords( String const & text, char const * what );

extern LogDescriptor const QUAYD_CONTAINER_START_FAILED;
extern LogDescriptor const QUAYD_CONTAINER_STARTED;
extern LogDescriptor const QUAYD_CONTAINER_REMOVED;
extern LogDescriptor const QUAYD_CONTAINER_STARTUP_CONDITION_BASH_TIMEOUT;

class ContainerSm : public PtrInterface {
 public:
   static constexpr char const * kStartupConditionShell = "/usr/bin/sh";
   static constexpr char const * kStartupConditionProbeName = "startupConditionProbe";
   static constexpr Seconds kDefaultStartupConditionTimeout{ 15 };

   // With a configuration the machine starts working at once; without one
   // (a left-over status entry) it only cleans up when destroyed.
   ContainerSm( Ptr< ContainerConfig const > containerConfig,
                Ptr< ContainerStatus > containerStatus, Ptr< ContainerRuntimeInterface > runtime,
                Ptr< TaskScheduler > taskScheduler, ProcessRunner & processes, Sinks sinks,
                Seconds startupConditionTimeout = kDefaultStartupConditionTimeout );
   // Stops and removes a container this machine started.
   ~ContainerSm() override;

   Ptr< ContainerConfig const > const & containerConfig() const { return containerConfig_; }
   Ptr< ContainerStatus > const & containerStatus() const { return containerStatus_; }
   Ptr< ContainerRuntimeInterface > const & runtime() const { return runtime_; }
   Ptr< TaskScheduler > const & taskScheduler() const { return taskScheduler_; }
   uint32_t startAttemptCount() const { return startAttemptCount_; }
   Seconds startAttemptDelay() const { return startAttemptDelay_; }
   Ptr< TimerTask > const & startAttemptTask() const { return startAttemptTask_; }
   Ptr< Probe > const & startupConditionProbe() const { return startupConditionProbe_; }
   Ptr< ProbeStatus > const & startupConditionStatus() const { return startupConditionStatus_; }
   String const & name() const { return containerStatus_->name(); }
   // Where a restart made for the container's sake records why.
   ContainerHistory & history() { return history_; }
   StartBackoff const & startBackoff() const { return backoff_; }

   void handleParams();
   void handleEnabled();
   // The chain stops, container by container: this one runs nothing more
   // while it waits for its turn to be destroyed.
   void standDown();
   // Its configuration is gone: the container is stopped and removed in
   // flight, and `retired` called from a later task once nothing of it is
   // left in the daemon nor out for it.
   void retire( std::function< void() > retired );
   bool retiring() const { return retired_ != nullptr; }
   bool retired() const;
   // Stops and removes the container in flight, the status saying it is
   // there until the daemon answers; the configuration is looked at again
   // once it has.
   void handleCleanup();
   // The runtime holds a container by this name that the status does not
   // record (left by a run whose removal failed).
   void handleFound();
   // An event of the daemon for this container: its word on the container
   // is read again into the status, and a while later when it cannot be;
   // the event goes into the history, an unhealthy one may restart it.
   void handleDaemonEvent( ContainerEvent const & event = {} );
   static constexpr Seconds kDaemonStateRetry{ 5 };
   bool statusUpToDate() const;
   // Whether the daemon holds the container running, restarting or paused
   // (present) or in another state (stale): only its "no such container",
   // or someone else's container under the name, says absent; a daemon
   // that does not answer may still hold it. The
   // status takes what the daemon said.
   enum class Presence { present, stale, absent, unknown };
   Presence presence();
   // What the daemon answered (`failure` null) or threw into the status:
   // absent, unknown, or present with its record taken, still to be told
   // from stale.
   Presence recorded( ContainerRecord const & record, std::exception_ptr failure );
   // Whether the image the container was run from now names another image
   // (a tarball rebuilt under the same tag and loaded again): it is stale.
   bool imageReplaced( ContainerRecord const & record );
   // Sends the start in flight; false when its request cannot be made.
   bool startContainer();
   // The start in flight ended.
   void handleStarted( RunOutcome const & outcome, std::exception_ptr failure );
   bool startInFlight() const { return startCall_ != nullptr; }
   bool removalInFlight() const { return removeCall_ != nullptr; }
   // The daemon created the container while its start was in flight: the
   // start's own create, unless the start fails and its removal with it;
   // then the container is held though nothing records it, and is looked
   // for once the start ends.
   void handleCreatedInFlight() { createdInFlight_ = startInFlight(); }

   // The startup condition.
   void manageStartupCondition();
   void handleProbeTimeout();
   void handleProbeSuccess();
   // The watchdog timeout of a condition run.
   Seconds startupConditionTimeout() const { return startupConditionTimeout_; }
   void startupConditionProbeIs( String const & name, Ptr< ProbeCmd const > const & probeCmd,
                                 NamespaceName const & netNs, Ptr< ProbeStatus > const & status,
                                 Ptr< TaskScheduler > const & taskScheduler, Seconds pollInterval,
                                 Seconds watchdogTimeout );
   void startupConditionProbeDel();
   void startupConditionStatusIs();
   void startupConditionStatusDel();

 private:
   void startAttemptCountIs( uint32_t n );
   // A start failed: tried again after the back-off.
   void startFailed( String const & why );
   // The daemon's word on the container into the status; null: it holds none.
   // It is newer than what a look in flight will say: that look is dropped.
   void daemonRecordIs( ContainerRecord const * record );
   // Reads the daemon's word in flight, once more when asked again while a
   // look is out (its answer may predate what made us ask).
   void readDaemonState();
   void handleDaemonState( ContainerRecord const & record, std::exception_ptr failure );
   // Removes our container from the daemon; false when it is still there.
   bool removeOwn();
   // What a removal that ended with `failure` (null: none) left.
   bool removedOwn( std::exception_ptr failure );
   void cleanup( bool inFlight );
   // The stop and removal in flight ended.
   void handleRemoved( std::exception_ptr failure );
   void checkRetired();

   Ptr< ContainerConfig const > containerConfig_;
   Ptr< ContainerStatus > containerStatus_;
   Ptr< ContainerRuntimeInterface > runtime_;
   Ptr< TaskScheduler > taskScheduler_;
   // Runs the startup condition.
   ProcessRunner & processes_;
   bool stoodDown_ = false;
   uint32_t startAttemptCount_ = 0;
   Seconds startAttemptDelay_{ 30 };
   Ptr< TimerTask > startAttemptTask_;
   Ptr< RuntimeCall > startCall_;
   bool createdInFlight_ = false;
   Ptr< RuntimeCall > stopCall_;
   Ptr< RuntimeCall > removeCall_;
   Ptr< TimerTask > daemonStateTask_;
   Ptr< RuntimeCall > inspectCall_;
   bool inspectAgain_ = false;
   Ptr< Task > evaluateTask_;
   std::function< void() > retired_;
   Ptr< Task > retireTask_;
   Seconds startupConditionTimeout_;
   Ptr< Probe > startupConditionProbe_;
   Ptr< ProbeStatus > startupConditionStatus_;
   ContainerHistory history_;
   StartBackoff backoff_;
   ContainerHealth health_;
   Reactor reactor_;
   Reactor probeStatusReactor_;
   Sinks sinks_;
   TraceHandle trace_;
   LogSink * log_;
};

Ptr< ContainerSm > containerSmFactory(
   Ptr< ContainerConfig const > config, Ptr< ContainerStatus > status,
   Ptr< ContainerRuntimeInterface > runtime, Ptr< TaskScheduler > taskScheduler,
   ProcessRunner & processes, Sinks sinks,
   Seconds startupConditionTimeout = ContainerSm::kDefaultStartupConditionTimeout );

} // namespace Quayd
