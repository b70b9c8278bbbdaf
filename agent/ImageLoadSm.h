#pragma once
// Second link of the runtime manager's chain: loads the configured image
// tarballs, one sent per task run, records the images each produced,
// follows configuration changes at once, loads again what failed or went
// missing from the runtime, and on the way down removes every image it
// loaded and every dangling image of the runtime.
//
// Loads go out in flight: the state is started_ once every queued tarball
// is loaded or out, so the chain goes on and containers whose image is
// there start meanwhile (a run whose image is missing waits in the runtime
// for the loads); only a tarball rebuilt under tags the runtime holds is
// waited for, as its containers must be run again from the new images. A tarball's load is never
// out twice: a change of its configuration meanwhile loads it again when the load ends, a removal
// unloads what the load gave when it ends, and the way down abandons it.
#include <map>
#include <set>

#include "model/Model.h"
#include "platform/Queue.h"
#include "platform/Reactor.h"
#include "platform/Sinks.h"
#include "platform/Task.h"

namespace Quayd {

extern LogDescriptor const QUAYD_IMAGE_LOAD_FAILED;

class ImageLoadSm : public PtrInterface {
 public:
   ImageLoadSm( Ptr< PersistentPathStatus const > persistentPathStatus,
                Ptr< ImageLoadConfigDir const > imageLoadConfig,
                Ptr< ImageLoadStatusDir > imageLoadStatus,
                Ptr< RegistryStatusDir const > registryStatus,
                Ptr< ContainerRuntimeInterface > runtime, Ptr< TaskScheduler > taskScheduler,
                Sinks sinks );
   ~ImageLoadSm() override;
   static Ptr< ImageLoadSm > ImageLoadSmIs( Ptr< PersistentPathStatus const > persistentPathStatus,
                                            Ptr< ImageLoadConfigDir const > imageLoadConfig,
                                            Ptr< ImageLoadStatusDir > imageLoadStatus,
                                            Ptr< RegistryStatusDir const > registryStatus,
                                            Ptr< ContainerRuntimeInterface > runtime,
                                            Ptr< TaskScheduler > taskScheduler, Sinks sinks );

   void notificationsIs( bool on ) { reactor_.notificationsIs( on ); }
   Ptr< Task > const & loadTask() const { return loadTask_; }

   QUAYD_QUEUE( String, tarballPath )

 private:
   void handleInitState();
   void handleEnabled();
   void handleDisabled();
   void handleCliConfig( String const & imagePath );
   void doTarballLoad();
   // started_, once every queued tarball is loaded or out and no load out
   // replaces images the runtime holds.
   void maybeStarted();
   // Whether the runtime holds one of the images recorded for `path`.
   bool heldAny( String const & path );
   // Whether the images a start found recorded for `path` are all in the
   // runtime: a restart (of the agent, or after a power cut) over a data
   // root that kept them loads nothing twice.
   bool loadedAlready( String const & path );
   // Whether the tarball's manifest names the images `held` (their IDs):
   // one rebuilt in place under the same tags is loaded again. A tarball
   // without a manifest counts as the same.
   bool sameImages( String const & path, std::set< String > const & held );
   // While started, now and then: a tarball whose load failed, or whose
   // images someone removed, is loaded again; an image a container held
   // when its tarball went is removed.
   void checkLoaded();
   bool loaded( String const & path );
   // Whether the runtime holds `tag`; yes when it cannot tell.
   bool held( String const & tag );
   void loadTarball( String const & path );
   void loadEnded( String const & path, std::vector< String > const & images,
                   std::exception_ptr failure );
   void unloadTarball( String const & path );
   // Every tarball with a status that is no longer configured.
   void unloadUnconfigured();
   bool configured( String const & path ) const { return imageLoadConfig_->tarballHas( path ); }

   Ptr< PersistentPathStatus const > persistentPathStatus_;
   Ptr< ImageLoadConfigDir const > imageLoadConfig_;
   Ptr< ImageLoadStatusDir > imageLoadStatus_;
   Ptr< RegistryStatusDir const > registryStatus_;
   Ptr< ContainerRuntimeInterface > runtime_;
   Ptr< TaskScheduler > taskScheduler_;
   Ptr< Task > loadTask_;
   Ptr< TimerTask > checkTask_;
   // The loads out, by tarball, and those to send again when theirs ends.
   std::map< String, Ptr< RuntimeCall > > loadsOut_;
   std::set< String > loadAgain_;
   // Loads of a start that give tags the runtime holds new images: a
   // container looks at what its image names when the chain reaches it,
   // so the start is not done before they are.
   std::set< String > replacing_;
   Reactor reactor_;
   TraceHandle trace_;
   LogSink * log_;
};

Ptr< ImageLoadSm > imageLoadSmFactory( Ptr< PersistentPathStatus const > persistentPathStatus,
                                       Ptr< ImageLoadConfigDir const > imageLoadConfig,
                                       Ptr< ImageLoadStatusDir > imageLoadStatus,
                                       Ptr< RegistryStatusDir const > registryStatus,
                                       Ptr< ContainerRuntimeInterface > runtime,
                                       Ptr< TaskScheduler > taskScheduler, Sinks sinks );

} // namespace Quayd
