// The runtime manager's data root on flash: a loop-mounted image under
// /mnt/flash that quylbmount makes, mounts, unmounts and deletes.
#include <limits>

#include "agent/QuaydSm.h"
#include "platform/FileSystem.h"
#include "platform/Process.h"
#include "platform/Trace.h"

namespace Quayd {

namespace {
TraceHandle const trace( "QuaydSm" );
} // namespace

bool QuaydSm::flashPresent() const {
   return flash_.skipLbMount || flash_.noFlashMount || files_->isMountPoint( kFlashMountPoint );
}

uint32_t QuaydSm::getAvailableSpaceOnFlash() const {
   QTRACE( trace, 8, "" );
   uint32_t const mb = uint32_t( std::min< uint64_t >( files_->availableMb( kFlashMountPoint ),
                                                       std::numeric_limits< uint32_t >::max() ) );
   QTRACE( trace, 2, "Total available space on /mnt/flash: {} MB", mb );
   return mb;
}

uint32_t QuaydSm::getDefaultDataRootSize() const {
   uint32_t const mb = uint32_t( uint64_t( getAvailableSpaceOnFlash() ) * 12 / 100 );
   QTRACE( trace, 2, "Default space for data root on /mnt/flash: {} MB", mb );
   return mb;
}

void QuaydSm::mountRefused( String const & why ) {
   QTRACE( trace, 0, "{}", why );
   clearFlashStatus();
   quaydStatus_->mountErrorIs( why );
}

void QuaydSm::maybeCreateLoopBackMount() {
   QTRACE( trace, 8, "" );
   uint64_t const limit = quaydConfig_->flashLimit();
   if ( flash_.skipLbMount ) {
      quaydStatus_->runningOnFlashIs( true );
      quaydStatus_->flashLimitIs( limit );
      return;
   }
   // The image an earlier run left (a power cut, a restart) is mounted
   // again with what it holds: its space is taken already, and a new size
   // needs only the difference.
   uint64_t const imageMb = files_->fileSize( String( kLbMountPath ) + "/data-root.img" ) >> 20;
   uint64_t size = 0;
   if ( limit == 0 && imageMb > 0 ) {
      size = imageMb;
   } else if ( limit == 0 ) {
      size = getDefaultDataRootSize();
      if ( size == 0 ) {
         mountRefused( "No space available on flash" );
         return;
      }
   } else {
      size = limit >> 20;
      uint64_t const needed = size > imageMb ? size - imageMb : 0;
      uint32_t const available = getAvailableSpaceOnFlash();
      if ( needed > available ) {
         mountRefused( fmt::format( "Only {}M left on flash, required {}M", available, needed ) );
         return;
      }
   }
   if ( createDataRootOnFlash( uint32_t( size ) ) ) {
      quaydStatus_->runningOnFlashIs( true );
      quaydStatus_->flashLimitIs( limit );
   } else {
      clearFlashStatus();
      mountFailed_ = true;
   }
}

ToolRun QuaydSm::runMountTool( std::vector< String > const & args ) {
   std::vector< String > argv{ "quylbmount" };
   argv.insert( argv.end(), args.begin(), args.end() );
   return processes_->runTool( argv );
}

bool QuaydSm::createDataRootOnFlash( uint32_t sizeMb ) {
   QTRACE( trace, 8, "" );
   ToolRun const run = runMountTool( { kLbMountPath, std::to_string( sizeMb ) } );
   auto const & child = run.child;
   bool ok = true;
   if ( !child ) {
      QTRACE( trace, 0, "Couldn't create loopback mount" );
      ok = false;
   } else if ( child->signalCode() == kChildSignaled ) {
      QTRACE( trace, 0, "Couldn't create loopback mount" );
      ok = false;
   } else if ( child->exitStatus() == 2 ) {
      QTRACE( trace, 0, "Loopback mount already exists!, treating this as a no-op" );
   } else if ( child->exitStatus() == 1 ) {
      QTRACE( trace, 0, "Couldn't create loopback mount" );
      ok = false;
   }
   if ( !ok ) {
      QTRACE( trace, 0, "STDERR from quylbmount: {}", run.stderrText );
   }
   // Why the data root is not there, for the operator, until it is.
   quaydStatus_->mountErrorIs( ok                       ? String()
                               : run.stderrText.empty() ? String( "quylbmount failed" )
                                                        : run.stderrText );
   return ok;
}

void QuaydSm::releaseDataRootOnFlash() {
   if ( flashWanted() ) {
      unmountDataRootOnFlash();
   } else {
      removeDataRootOnFlash();
   }
}

void QuaydSm::unmountDataRootOnFlash() {
   QTRACE( trace, 8, "" );
   if ( flash_.skipLbMount ) {
      return;
   }
   auto const child = runMountTool( { kLbMountPath, "--unmount" } ).child;
   if ( !child || child->signalCode() != kChildExited || child->exitStatus() != 0 ) {
      QTRACE( trace, 0, "Couldn't unmount loopback mount" );
      flashCleanupTask_->scheduleTaskDelay( kFlashCleanupRetry );
   }
}

void QuaydSm::dropUnwantedFlash() {
   if ( flashWanted() || quaydStatus_->runningOnFlash() ||
        !files_->isDirectory( datarootOnFlash() ) ) {
      return;
   }
   QTRACE( trace, 2, "Quy on flash is no longer configured; removing its image" );
   flashCleanupTask_->scheduleTaskDelay( Duration( 0 ) );
}

void QuaydSm::removeDataRootOnFlash() {
   QTRACE( trace, 8, "" );
   if ( flash_.skipLbMount ) {
      return;
   }
   auto const child = runMountTool( { kLbMountPath, "--delete" } ).child;
   if ( !child || child->signalCode() != kChildExited || child->exitStatus() != 0 ) {
      QTRACE( trace, 0, "Couldn't delete loopback mount" );
      // Left mounted, it would hold its space on flash for good.
      flashCleanupTask_->scheduleTaskDelay( kFlashCleanupRetry );
   }
}

} // namespace Quayd
