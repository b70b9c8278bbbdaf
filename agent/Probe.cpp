#include "agent/Probe.h"

#include <signal.h>

#include <stdexcept>

#include "platform/Exception.h"
#include "platform/Trace.h"

namespace Quayd {

QUAYD_ENTITY_TABLE( ProbeStatus, PROBE_STATUS_FIELDS )

namespace {
TraceHandle const trace( "Probe" );
} // namespace

void ProbeCmd::argIs( size_t index, String v ) {
   if ( index >= arg_.size() ) {
      throw std::out_of_range( "probe argument index past the end" );
   }
   arg_[ index ] = std::move( v );
}

String ProbeCmd::argPop() {
   if ( arg_.empty() ) {
      throw std::out_of_range( "no probe argument to pop" );
   }
   String v = std::move( arg_.back() );
   arg_.pop_back();
   return v;
}

Ptr< ProbeCmd > probeCmdFactory() { return makePtr< ProbeCmd >(); }
Ptr< ProbeStatus > probeStatusFactory() { return makePtr< ProbeStatus >(); }

Probe::Probe( String name, Ptr< ProbeCmd const > probeCmd, NamespaceName netNs,
              Ptr< ProbeStatus > status, Ptr< TaskScheduler > taskScheduler,
              ProcessRunner & processes, Seconds pollInterval, Seconds watchdogTimeout )
    : name_( std::move( name ) ), cmd_( std::move( probeCmd ) ), netNs_( std::move( netNs ) ),
      status_( std::move( status ) ), taskScheduler_( std::move( taskScheduler ) ),
      processes_( processes ), pollInterval_( pollInterval ), watchdogTimeout_( watchdogTimeout ) {
   QUAYD_ASSERT( taskScheduler_ );
   pollTask_ = makePtr< TimerTask >( taskScheduler_, TaskPriority( 3 ), name_ + "PollerTask",
                                     [ this ] { handlePoll(); } );
   watchdogTask_ = makePtr< TimerTask >( taskScheduler_, TaskPriority( 3 ), name_ + "WatcherTask",
                                         [ this ] { handleWatchdogTimeout(); } );
   handleInitialized();
}

Probe::~Probe() {
   reactor_.notificationsIs( false );
   handleDel();
   reactor_.unwatchAll();
}

void Probe::handleInitialized() {
   QTRACE( trace, 2, "" );
   QUAYD_ASSERT( cmd() );
   QUAYD_ASSERT( status() );
   status_->successIs( false );
   pollTask_->scheduleTaskDelay( Duration( 0 ) );
   status_->probeScheduledCountInc( 1 );
   initialized_ = true;
}

Spawned Probe::createProbe( ProcessRunner & processes, Ptr< ProbeCmd const > const & probeCmd,
                            NamespaceName const & netNs ) {
   QTRACE( trace, 5, "" );
   QUAYD_ASSERT( probeCmd && !probeCmd->args().empty() );
   std::vector< String > argv( probeCmd->args().begin(), probeCmd->args().end() );
   return processes.runIn( netNs, argv );
}

void Probe::probeProcessIs( Ptr< ChildSiginfo > child ) {
   if ( probeProcess_ ) {
      reactor_.unwatch( probeProcess_.get() );
   }
   probeProcess_ = std::move( child );
   if ( probeProcess_ ) {
      reactor_.on( probeProcess_, ChildSiginfo::Attr::signalCode,
                   [ this ] { handleProbeComplete(); } );
      reactor_.onInitial( probeProcess_, [ this ] { handleProbeComplete(); } );
      reactor_.start();
   }
}

void Probe::scheduleNextPoll() {
   QTRACE( trace, 5, "Scheduling next poll" );
   pollTask_->scheduleTaskDelay( pollInterval_ );
   status_->probeScheduledCountInc( 1 );
}

void Probe::handlePoll() {
   if ( !initialized_ ) {
      QTRACE( trace, 2, "Initialization call, returning!" );
      return;
   }
   QTRACE( trace, 5, "scheduled count: {}", status_->probeScheduledCount() );
   QUAYD_ASSERT( !probeProcess() );
   Spawned spawned = createProbe( processes_, cmd_, netNs_ );
   if ( spawned.failure == SpawnFailure::namespaceSwitch ) {
      uint32_t const n = status_->probeSwitchNsFailedCountInc( 1 );
      QTRACE( trace, 5, "Probe {} failed due to bad netns {} prevCount: {}", name_, netNs_, n );
      failedToRun( ProbeResult::probeResultSwitchNsFail );
      return;
   }
   if ( spawned.failure == SpawnFailure::spawn ) {
      // The machine could not fork: the command did not run, so it did not
      // succeed; poll again like any failed run.
      QTRACE( trace, 0, "Probe {} could not be started", name_ );
      status_->probeFailedCountInc( 1 );
      failedToRun( ProbeResult::probeResultExitFail );
      return;
   }
   auto child = std::move( spawned.child );
   probeProcessIs( std::move( child ) );
   if ( !probeProcess_ ) {
      QTRACE( trace, 0, "Probe {} completed synchronously ", name_ );
      return;
   }
   watchdogTask_->scheduleTaskDelay( watchdogTimeout_ );
}

void Probe::failedToRun( ProbeResult result ) {
   status_->exitStatusIs( 0 );
   status_->exitSignalIs( 0 );
   status_->lastProbeResultIs( result );
   scheduleNextPoll();
}

void Probe::handleProbeComplete() {
   if ( !initialized_ ) {
      return;
   }
   QTRACE( trace, 5, " failed count: {}", status_->probeFailedCount() );
   QUAYD_ASSERT( probeProcess() );
   if ( probeProcess_->signalCode() == kChildRunning ) {
      QTRACE( trace, 5, "Initialization notification, ignore!" );
      return;
   }
   watchdogTask_->stopTimerTask();
   if ( deletionInProgress_ ) {
      QTRACE( trace, 5, "Deletion in progress, ignore!" );
      return;
   }
   ProbeResult result;
   uint8_t exitStatus = 0, exitSignal = 0;
   switch ( probeProcess_->signalCode() ) {
   case kChildExited:
      exitStatus = uint8_t( probeProcess_->exitStatus() );
      result = exitStatus == 0 ? ProbeResult::probeResultSuccess : ProbeResult::probeResultExitFail;
      break;
   case kChildSignaled:
      exitSignal = uint8_t( probeProcess_->signal() );
      result = ProbeResult::probeResultSignalFail;
      break;
   default:
      throw AssertionFailure( "probe child ended with an unknown signal code" );
   }
   status_->exitStatusIs( exitStatus );
   status_->exitSignalIs( exitSignal );
   if ( result == ProbeResult::probeResultSuccess ) {
      probeProcessIs( nullptr );
      status_->lastProbeResultIs( result );
      QTRACE( trace, 2, "Probe {} success", name_ );
      // Last: the owner may drop this probe in reaction.
      status_->successIs( true );
      return;
   }
   status_->lastProbeResultIs( result );
   probeProcessIs( nullptr );
   status_->probeFailedCountInc( 1 );
   QTRACE( trace, 5, "Probe {} failed: result: {} exitStatus: {} exitSignal: {}", name_, result,
           exitStatus, exitSignal );
   scheduleNextPoll();
}

void Probe::handleWatchdogTimeout() {
   if ( !initialized_ ) {
      return;
   }
   QTRACE( trace, 5, "timed out count: {}", status_->probeTimedoutCount() );
   status_->probeTimedoutCountInc( 1 );
   sigKill();
}

void Probe::sigKill() {
   QUAYD_ASSERT( probeProcess() && probeProcess()->pid() > 0 );
   processes_.kill( probeProcess_->pid(), SIGKILL );
}

void Probe::handleDel() {
   pollTask_->stopTimerTask();
   watchdogTask_->stopTimerTask();
   deletionInProgress_ = true;
   if ( probeProcess_ && probeProcess_->signalCode() == kChildRunning ) {
      sigKill();
   }
}

Ptr< Probe > probeFactory( String const & name, Ptr< ProbeCmd const > probeCmd,
                           NamespaceName const & netNs, Ptr< ProbeStatus > status,
                           Ptr< TaskScheduler > taskScheduler, ProcessRunner & processes,
                           Seconds pollInterval, Seconds watchdogTimeout ) {
   return makePtr< Probe >( name, std::move( probeCmd ), netNs, std::move( status ),
                            std::move( taskScheduler ), processes, pollInterval, watchdogTimeout );
}

} // namespace Quayd
