#pragma once
// Runs a command as a child process in a network namespace, again and again
// until one run exits 0: each run is bounded by a watchdog, each failure
// schedules the next run after the poll interval, and every outcome is counted
// in a ProbeStatus that the probe's owner watches.
#include <boost/container/small_vector.hpp>

#include "model/Model.h"
#include "platform/Namespace.h"
#include "platform/Process.h"
#include "platform/Reactor.h"
#include "platform/Task.h"

namespace Quayd {

// The program and its arguments.
class ProbeCmd : public PtrInterface {
 public:
   using Args = boost::container::small_vector< String, 12 >;
   void argPush( String v ) { arg_.push_back( std::move( v ) ); }
   void argIs( size_t index, String v ); // std::out_of_range past the end
   String argPop();                      // std::out_of_range when empty
   void argPopAll() { arg_.clear(); }
   Args const & args() const { return arg_; }

 private:
   Args arg_;
};
Ptr< ProbeCmd > probeCmdFactory();

QUAYD_ENUM( ProbeResult, uint8_t, probeResultPending, probeResultSwitchNsFail, probeResultExitFail,
            probeResultSignalFail, probeResultSuccess );

#define PROBE_STATUS_FIELDS( F )                                            \
   F( ATTR, uint8_t, exitStatus, 0 )                                        \
   F( ATTR, uint8_t, exitSignal, 0 )                                        \
   F( ATTR, ProbeResult, lastProbeResult, ProbeResult::probeResultPending ) \
   F( COUNTER, uint32_t, probeScheduledCount, 0 )                           \
   F( COUNTER, uint32_t, probeFailedCount, 0 )                              \
   F( COUNTER, uint32_t, probeSwitchNsFailedCount, 0 )                      \
   F( COUNTER, uint32_t, probeTimedoutCount, 0 )                            \
   F( ATTR, bool, success, false )
QUAYD_ENTITY( ProbeStatus, PROBE_STATUS_FIELDS );
Ptr< ProbeStatus > probeStatusFactory();

class Probe : public PtrInterface {
 public:
   Probe( String name, Ptr< ProbeCmd const > probeCmd, NamespaceName netNs,
          Ptr< ProbeStatus > status, Ptr< TaskScheduler > taskScheduler, ProcessRunner & processes,
          Seconds pollInterval, Seconds watchdogTimeout );
   ~Probe() override;

   // Starts one child of `probeCmd` inside `netNs`, or says why it could not.
   static Spawned createProbe( ProcessRunner & processes, Ptr< ProbeCmd const > const & probeCmd,
                               NamespaceName const & netNs );

   void notificationsIs( bool on ) { reactor_.notificationsIs( on ); }
   String const & name() const { return name_; }
   Ptr< ProbeCmd const > const & cmd() const { return cmd_; }
   NamespaceName const & netNs() const { return netNs_; }
   Ptr< ProbeStatus > const & status() const { return status_; }
   Seconds pollInterval() const { return pollInterval_; }
   Seconds watchdogTimeout() const { return watchdogTimeout_; }
   Ptr< ChildSiginfo > const & probeProcess() const { return probeProcess_; }
   Ptr< TimerTask > const & pollTask() const { return pollTask_; }
   Ptr< TimerTask > const & watchdogTask() const { return watchdogTask_; }

 private:
   void handleInitialized();
   void handlePoll();
   void handleProbeComplete();
   void handleWatchdogTimeout();
   void handleDel();
   void sigKill();
   void probeProcessIs( Ptr< ChildSiginfo > child );
   void scheduleNextPoll();
   // A run that never started: published as `result`, and polled again.
   void failedToRun( ProbeResult result );

   String name_;
   Ptr< ProbeCmd const > cmd_;
   NamespaceName netNs_;
   Ptr< ProbeStatus > status_;
   Ptr< TaskScheduler > taskScheduler_;
   ProcessRunner & processes_;
   Seconds pollInterval_;
   Seconds watchdogTimeout_;
   Ptr< ChildSiginfo > probeProcess_;
   Ptr< TimerTask > pollTask_;
   Ptr< TimerTask > watchdogTask_;
   bool deletionInProgress_ = false;
   bool initialized_ = false;
   Reactor reactor_;
};

Ptr< Probe > probeFactory( String const & name, Ptr< ProbeCmd const > probeCmd,
                           NamespaceName const & netNs, Ptr< ProbeStatus > status,
                           Ptr< TaskScheduler > taskScheduler, ProcessRunner & processes,
                           Seconds pollInterval, Seconds watchdogTimeout );

} // namespace Quayd
