#pragma once
// First link of the runtime manager's chain: every time the runtime manager
// is started, loads every tarball in the ".quayd" directory of the configured
// persistent path and of "/mnt/flash/", one per task run, and removes those
// images again when image loading has gone down.
#include "model/Model.h"
#include "platform/Queue.h"
#include "platform/Reactor.h"
#include "platform/Task.h"
#include "platform/Trace.h"

namespace Quayd {

class FileSystem;

class PersistentPathSm : public PtrInterface {
 public:
   static constexpr char const * kFlashDir = "/mnt/flash/";

   PersistentPathSm( Ptr< QuaydStatus const > quaydStatus,
                     Ptr< PersistentPathConfig const > persistentPathConfig,
                     Ptr< PersistentPathStatus > persistentPathStatus,
                     Ptr< ImageLoadStatusDir const > imageLoadStatus,
                     Ptr< ContainerRuntimeInterface > runtime, Ptr< TaskScheduler > taskScheduler,
                     FileSystem & files );
   ~PersistentPathSm() override;
   static Ptr< PersistentPathSm > PersistentPathSmIs(
      Ptr< QuaydStatus const > quaydStatus, Ptr< PersistentPathConfig const > persistentPathConfig,
      Ptr< PersistentPathStatus > persistentPathStatus,
      Ptr< ImageLoadStatusDir const > imageLoadStatus, Ptr< ContainerRuntimeInterface > runtime,
      Ptr< TaskScheduler > taskScheduler, FileSystem & files );

   void notificationsIs( bool on ) { reactor_.notificationsIs( on ); }
   Ptr< Task > const & loadTask() const { return loadTask_; }

   QUAYD_QUEUE( String, tarballPath )

 private:
   void handleEnabled();
   void handleDisabled();
   void scanDir( String const & dirPath );
   void handleTarball();
   void handleInitState();

   Ptr< QuaydStatus const > quaydStatus_;
   Ptr< PersistentPathConfig const > persistentPathConfig_;
   Ptr< PersistentPathStatus > persistentPathStatus_;
   Ptr< ImageLoadStatusDir const > imageLoadStatus_;
   Ptr< ContainerRuntimeInterface > runtime_;
   Ptr< TaskScheduler > taskScheduler_;
   FileSystem & files_;
   Ptr< Task > loadTask_;
   Reactor reactor_;
};

Ptr< PersistentPathSm > persistentPathSmFactory(
   Ptr< QuaydStatus const > quaydStatus, Ptr< PersistentPathConfig const > persistentPathConfig,
   Ptr< PersistentPathStatus > persistentPathStatus,
   Ptr< ImageLoadStatusDir const > imageLoadStatus, Ptr< ContainerRuntimeInterface > runtime,
   Ptr< TaskScheduler > taskScheduler, FileSystem & files );

// The reference an image was loaded as: the first text field of its record.
String imageReference( ContainerRuntimeInterface & runtime, String const & name );
// Removes each of `images`; a failure is traced on `trace` and the rest go on.
void removeImages( ContainerRuntimeInterface & runtime, std::set< String > images,
                   TraceHandle const & trace );

} // namespace Quayd
