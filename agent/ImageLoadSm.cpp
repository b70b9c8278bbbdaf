#include "agent/ImageLoadSm.h"

#include "agent/PersistentPathSm.h"
#include "platform/Exception.h"

namespace Quayd {

namespace {
// A daemon's refusal can quote the tarball at length; the status keeps a line.
constexpr size_t kMaxErrorBytes = 1024;
// How often the loads are checked against the runtime's images.
constexpr Seconds kCheckInterval{ 60 };
} // namespace

LogDescriptor const QUAYD_IMAGE_LOAD_FAILED{
   "QUAYD_IMAGE_LOAD_FAILED", "Image load from %s failed, container-runtime reported \"%s\".",
   "Configured container image wasn't loaded successfully.", "Please check the configured image.", 3
};

ImageLoadSm::ImageLoadSm( Ptr< PersistentPathStatus const > persistentPathStatus,
                          Ptr< ImageLoadConfigDir const > imageLoadConfig,
                          Ptr< ImageLoadStatusDir > imageLoadStatus,
                          Ptr< RegistryStatusDir const > registryStatus,
                          Ptr< ContainerRuntimeInterface > runtime,
                          Ptr< TaskScheduler > taskScheduler, Sinks sinks )
    : persistentPathStatus_( std::move( persistentPathStatus ) ),
      imageLoadConfig_( std::move( imageLoadConfig ) ),
      imageLoadStatus_( std::move( imageLoadStatus ) ),
      registryStatus_( std::move( registryStatus ) ), runtime_( std::move( runtime ) ),
      taskScheduler_( std::move( taskScheduler ) ), trace_( sinks.trace, "ImageLoadSm" ),
      log_( sinks.log ) {
   QUAYD_ASSERT( persistentPathStatus_ );
   QUAYD_ASSERT( imageLoadConfig_ );
   QUAYD_ASSERT( imageLoadStatus_ );
   QUAYD_ASSERT( registryStatus_ );
   QUAYD_ASSERT( runtime_ );
   loadTask_ = makePtr< Task >( taskScheduler_, TaskPriority( 3 ), "ImageLoad",
                                [ this ] { doTarballLoad(); } );
   checkTask_ = makePtr< TimerTask >( taskScheduler_, TaskPriority( 3 ), "ImageCheck",
                                      [ this ] { checkLoaded(); } );
   reactor_.on( persistentPathStatus_, PersistentPathStatus::Attr::state,
                [ this ] { handleEnabled(); } );
   reactor_.on( registryStatus_, RegistryStatusDir::Attr::state, [ this ] { handleDisabled(); } );
   reactor_.onKey( imageLoadConfig_, ImageLoadConfigDir::Attr::tarball,
                   [ this ]( String const & path ) { handleCliConfig( path ); } );
   reactor_.start();
   handleInitState();
}

ImageLoadSm::~ImageLoadSm() {
   reactor_.notificationsIs( false );
   checkTask_->stopTimerTask();
   loadsOut_.clear();
   reactor_.unwatchAll();
}

Ptr< ImageLoadSm > ImageLoadSm::ImageLoadSmIs(
   Ptr< PersistentPathStatus const > persistentPathStatus,
   Ptr< ImageLoadConfigDir const > imageLoadConfig, Ptr< ImageLoadStatusDir > imageLoadStatus,
   Ptr< RegistryStatusDir const > registryStatus, Ptr< ContainerRuntimeInterface > runtime,
   Ptr< TaskScheduler > taskScheduler, Sinks sinks ) {
   auto sm =
      makePtr< ImageLoadSm >( std::move( persistentPathStatus ), std::move( imageLoadConfig ),
                              std::move( imageLoadStatus ), std::move( registryStatus ),
                              std::move( runtime ), std::move( taskScheduler ), sinks );
   sm->notificationsIs( true );
   return sm;
}

void ImageLoadSm::handleInitState() {
   if ( imageLoadStatus_->state() != SmState::stopped_ ) {
      imageLoadStatus_->stateIs( SmState::inherited_ );
   }
}

void ImageLoadSm::handleEnabled() {
   QTRACE( trace_, 2, "state: {}, persistentPathSm state: {}", imageLoadStatus_->state(),
           persistentPathStatus_->state() );
   if ( persistentPathStatus_->state() != SmState::started_ ) {
      return;
   }
   imageLoadStatus_->stateIs( SmState::starting_ );
   unloadUnconfigured();
   for ( auto const & path : imageLoadConfig_->tarball() ) {
      tarballPathEnq( path );
   }
   loadTask_->scheduleTask();
}

void ImageLoadSm::doTarballLoad() {
   QTRACE( trace_, 8, "doTarballLoad" );
   if ( imageLoadStatus_->state() != SmState::starting_ ) {
      return;
   }
   if ( tarballPathEmpty() ) {
      maybeStarted();
      return;
   }
   String const path = tarballPathDeq();
   // One out already serves this start too.
   if ( !loadsOut_.count( path ) && !loadedAlready( path ) ) {
      bool const replaces = heldAny( path );
      loadTarball( path );
      if ( replaces && loadsOut_.count( path ) ) {
         replacing_.insert( path );
      }
   }
   if ( !tarballPathEmpty() ) {
      loadTask_->scheduleTask();
   } else {
      maybeStarted();
   }
}

void ImageLoadSm::maybeStarted() {
   if ( imageLoadStatus_->state() != SmState::starting_ || !tarballPathEmpty() ||
        !replacing_.empty() ) {
      return;
   }
   imageLoadStatus_->stateIs( SmState::started_ );
   checkTask_->scheduleTaskDelay( kCheckInterval );
}

bool ImageLoadSm::heldAny( String const & path ) {
   auto const entry = imageLoadStatus_->status( path );
   if ( !entry ) {
      return false;
   }
   for ( auto const & tag : entry->tag() ) {
      if ( held( tag ) ) {
         return true;
      }
   }
   return false;
}

void ImageLoadSm::checkLoaded() {
   if ( imageLoadStatus_->state() != SmState::started_ ) {
      return;
   }
   unloadUnconfigured();
   for ( auto const & path : imageLoadConfig_->tarball() ) {
      if ( !loadsOut_.count( path ) && !loaded( path ) ) {
         loadTarball( path );
      }
   }
   checkTask_->scheduleTaskDelay( kCheckInterval );
}

bool ImageLoadSm::loaded( String const & path ) {
   auto const entry = imageLoadStatus_->status( path );
   if ( !entry || !entry->error().empty() ) {
      return false;
   }
   for ( auto const & tag : entry->tag() ) {
      if ( !held( tag ) ) {
         QTRACE( trace_, 0, "Image {} of {} is gone from the runtime; loading it again", tag,
                 path );
         return false;
      }
   }
   return true;
}

bool ImageLoadSm::loadedAlready( String const & path ) {
   auto const entry = imageLoadStatus_->status( path );
   if ( !entry || entry->tag().empty() ) {
      return false;
   }
   std::set< String > held;
   for ( auto const & tag : entry->tag() ) {
      try {
         held.insert( runtime_->inspectImage( tag ).id );
      } catch ( Exception const & ) {
         return false;
      }
   }
   if ( !sameImages( path, held ) ) {
      return false;
   }
   QTRACE( trace_, 5, "Image of {} is in the runtime already; not loaded again", path );
   return true;
}

bool ImageLoadSm::sameImages( String const & path, std::set< String > const & held ) {
   std::vector< String > ids;
   try {
      ids = runtime_->tarballImageIds( path );
   } catch ( RuntimeException const & e ) {
      QTRACE( trace_, 0, "Cannot read the manifest of {}: {}", path, e.what() );
      return false; // the load says why
   }
   if ( !ids.empty() && std::set< String >( ids.begin(), ids.end() ) != held ) {
      QTRACE( trace_, 5, "Tarball {} holds other images than the runtime has; loading it again",
              path );
      return false;
   }
   return true;
}

void ImageLoadSm::loadTarball( String const & path ) {
   QTRACE( trace_, 8, "path: {}", path );
   if ( !configured( path ) ) {
      return;
   }
   if ( loadsOut_.count( path ) ) {
      // The file may have changed since it went out: the later one wins.
      loadAgain_.insert( path );
      return;
   }
   loadsOut_[ path ] =
      runtime_->loadImageAsync( path, [ this, path ]( std::vector< String > const & images,
                                                      std::exception_ptr failure ) {
         loadEnded( path, images, std::move( failure ) );
      } );
}

void ImageLoadSm::loadEnded( String const & path, std::vector< String > const & images,
                             std::exception_ptr failure ) {
   auto const call = std::move( loadsOut_[ path ] );
   loadsOut_.erase( path );
   try {
      if ( failure ) {
         std::rethrow_exception( failure );
      }
      auto entry = imageLoadStatus_->statusIs( path );
      entry->errorIs( "" );
      for ( auto const & name : images ) {
         entry->tagIs( imageReference( *runtime_, name, trace_ ) );
      }
   } catch ( RuntimeException const & e ) {
      QTRACE( trace_, 0, "Failed to load image: {}", e.what() );
      String const error = String( e.what() ).substr( 0, kMaxErrorBytes );
      auto entry = imageLoadStatus_->statusIs( path );
      // Once per cause: a retry that fails alike says nothing new.
      if ( entry->error() != error ) {
         log( log_, QUAYD_IMAGE_LOAD_FAILED, path, String( e.what() ) );
      }
      entry->errorIs( error );
   }
   if ( !configured( path ) ) {
      // Removed from the configuration while it was out.
      loadAgain_.erase( path );
      unloadTarball( path );
   } else if ( loadAgain_.erase( path ) ) {
      loadTarball( path );
   }
   if ( replacing_.erase( path ) ) {
      maybeStarted();
   }
}

void ImageLoadSm::handleCliConfig( String const & imagePath ) {
   SmState const s = imageLoadStatus_->state();
   QTRACE( trace_, 8, "path: {}, state: {}", imagePath, s );
   if ( s != SmState::starting_ && s != SmState::started_ ) {
      return;
   }
   if ( configured( imagePath ) ) {
      loadTarball( imagePath );
   } else {
      unloadTarball( imagePath );
   }
}

void ImageLoadSm::unloadUnconfigured() {
   std::vector< String > stale;
   for ( auto const & [ path, entry ] : imageLoadStatus_->status() ) {
      if ( !configured( path ) ) {
         stale.push_back( path );
      }
   }
   for ( auto const & path : stale ) {
      unloadTarball( path );
   }
}

void ImageLoadSm::unloadTarball( String const & path ) {
   QTRACE( trace_, 8, "path: {}", path );
   auto entry = imageLoadStatus_->status( path );
   if ( !entry ) {
      QTRACE( trace_, 0, "Attampt to unload tarball that was not loaded: {}", path );
      return;
   }
   for ( auto const & tag : std::set< String >( entry->tag() ) ) {
      try {
         runtime_->removeImage( tag );
      } catch ( RuntimeException const & e ) {
         if ( held( tag ) ) {
            // In use by a container: the entry keeps it for a later check.
            QTRACE( trace_, 0, "Failed to remove image {}: {}", tag, e.what() );
            continue;
         }
      }
      entry->tagDel( tag );
   }
   if ( entry->tag().empty() ) {
      imageLoadStatus_->statusDel( path );
   }
}

bool ImageLoadSm::held( String const & tag ) {
   try {
      runtime_->inspectImage( tag );
   } catch ( ApiRequestException const & ) {
      return false;
   } catch ( RuntimeException const & ) {
   }
   return true;
}

void ImageLoadSm::handleDisabled() {
   QTRACE( trace_, 2, "state: {}, registrySm state: {}", imageLoadStatus_->state(),
           registryStatus_->state() );
   if ( registryStatus_->state() != SmState::stopped_ ) {
      return;
   }
   imageLoadStatus_->stateIs( SmState::stopping_ );
   std::vector< String > loaded;
   for ( auto const & [ path, entry ] : imageLoadStatus_->status() ) {
      loaded.push_back( path );
   }
   // On the way down nothing runs that could hold them; one the daemon
   // could not remove stays recorded, for the next start to remove.
   for ( auto const & path : loaded ) {
      unloadTarball( path );
   }
   std::vector< String > stale;
   try {
      stale = runtime_->listStaleImages();
   } catch ( RuntimeException const & e ) {
      QTRACE( trace_, 0, "Failed to list stale images: {}", e.what() );
   }
   for ( auto const & name : stale ) {
      try {
         runtime_->removeImage( name );
         QTRACE( trace_, 5, "Removed stale image: {}", name );
      } catch ( RuntimeException const & e ) {
         QTRACE( trace_, 0, "Failed to remove stale image: {} {}", name, e.what() );
      }
   }
   // Cut: the daemon takes no partial tarball, and none ends meanwhile.
   loadsOut_.clear();
   loadAgain_.clear();
   replacing_.clear();
   tarballPathDelAll();
   loadTask_->unscheduleTask();
   checkTask_->stopTimerTask();
   // Last: the next link down may release this machine in reaction.
   imageLoadStatus_->stateIs( SmState::stopped_ );
}

Ptr< ImageLoadSm > imageLoadSmFactory( Ptr< PersistentPathStatus const > persistentPathStatus,
                                       Ptr< ImageLoadConfigDir const > imageLoadConfig,
                                       Ptr< ImageLoadStatusDir > imageLoadStatus,
                                       Ptr< RegistryStatusDir const > registryStatus,
                                       Ptr< ContainerRuntimeInterface > runtime,
                                       Ptr< TaskScheduler > taskScheduler, Sinks sinks ) {
   return ImageLoadSm::ImageLoadSmIs( std::move( persistentPathStatus ),
                                      std::move( imageLoadConfig ), std::move( imageLoadStatus ),
                                      std::move( registryStatus ), std::move( runtime ),
                                      std::move( taskScheduler ), sinks );
}

} // namespace Quayd
