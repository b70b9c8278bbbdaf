#include "agent/PersistentPathSm.h"

#include "platform/Exception.h"
#include "platform/FileSystem.h"
#include "platform/Trace.h"

namespace Quayd {

namespace {
TraceHandle const trace( "PersistentPathSm" );
} // namespace

String imageReference( ContainerRuntimeInterface & runtime, String const & name ) {
   try {
      String ref = runtime.inspectImage( name ).ref;
      return ref.empty() ? name : ref;
   } catch ( RuntimeException const & e ) {
      // The name the daemon reported loading removes the same image.
      QTRACE( trace, 0, "Failed to inspect image {}: {}", name, e.what() );
      return name;
   }
}

void removeImages( ContainerRuntimeInterface & runtime, std::set< String > images,
                   TraceHandle const & trace ) {
   for ( auto const & image : images ) {
      try {
         runtime.removeImage( image );
      } catch ( RuntimeException const & e ) {
         QTRACE( trace, 0, "Failed to remove image: {}", e.what() );
      }
   }
}

PersistentPathSm::PersistentPathSm( Ptr< QuaydStatus const > quaydStatus,
                                    Ptr< PersistentPathConfig const > persistentPathConfig,
                                    Ptr< PersistentPathStatus > persistentPathStatus,
                                    Ptr< ImageLoadStatusDir const > imageLoadStatus,
                                    Ptr< ContainerRuntimeInterface > runtime,
                                    Ptr< TaskScheduler > taskScheduler, FileSystem & files )
    : quaydStatus_( std::move( quaydStatus ) ),
      persistentPathConfig_( std::move( persistentPathConfig ) ),
      persistentPathStatus_( std::move( persistentPathStatus ) ),
      imageLoadStatus_( std::move( imageLoadStatus ) ), runtime_( std::move( runtime ) ),
      taskScheduler_( std::move( taskScheduler ) ), files_( files ) {
   QUAYD_ASSERT( quaydStatus_ );
   QUAYD_ASSERT( persistentPathConfig_ );
   QUAYD_ASSERT( persistentPathStatus_ );
   QUAYD_ASSERT( imageLoadStatus_ );
   QUAYD_ASSERT( runtime_ );
   loadTask_ = makePtr< Task >( taskScheduler_, TaskPriority( 3 ), "PersistentPath",
                                [ this ] { handleTarball(); } );
   reactor_.on( quaydStatus_, QuaydStatus::Attr::state, [ this ] { handleEnabled(); } );
   reactor_.on( imageLoadStatus_, ImageLoadStatusDir::Attr::state, [ this ] { handleDisabled(); } );
   reactor_.start();
   handleInitState();
}

PersistentPathSm::~PersistentPathSm() {
   reactor_.notificationsIs( false );
   reactor_.unwatchAll();
}

Ptr< PersistentPathSm > PersistentPathSm::PersistentPathSmIs(
   Ptr< QuaydStatus const > quaydStatus, Ptr< PersistentPathConfig const > persistentPathConfig,
   Ptr< PersistentPathStatus > persistentPathStatus,
   Ptr< ImageLoadStatusDir const > imageLoadStatus, Ptr< ContainerRuntimeInterface > runtime,
   Ptr< TaskScheduler > taskScheduler, FileSystem & files ) {
   auto sm =
      makePtr< PersistentPathSm >( std::move( quaydStatus ), std::move( persistentPathConfig ),
                                   std::move( persistentPathStatus ), std::move( imageLoadStatus ),
                                   std::move( runtime ), std::move( taskScheduler ), files );
   sm->notificationsIs( true );
   return sm;
}

void PersistentPathSm::handleInitState() {
   if ( persistentPathStatus_->state() != SmState::stopped_ ) {
      persistentPathStatus_->stateIs( SmState::inherited_ );
   }
   handleEnabled();
}

void PersistentPathSm::handleEnabled() {
   QTRACE( trace, 2, "state: {}, quaydSm state: {}", persistentPathStatus_->state(),
           quaydStatus_->state() );
   if ( persistentPathStatus_->state() != SmState::stopped_ ) {
      persistentPathStatus_->stateIs( SmState::inherited_ );
   }
   if ( quaydStatus_->state() != SmState::started_ ) {
      return;
   }
   persistentPathStatus_->stateIs( SmState::starting_ );
   String const dir = persistentPathConfig_->path();
   scanDir( dir );
   if ( dir != kFlashDir ) {
      scanDir( kFlashDir );
   }
   loadTask_->scheduleTask();
}

void PersistentPathSm::scanDir( String const & dirPath ) {
   QTRACE( trace, 8, "path: {}", dirPath );
   // The file-system join: no second separator after one that is there,
   // and an empty directory gives the relative ".quayd".
   String const dir =
      dirPath.empty() || dirPath.back() == '/' ? dirPath + ".quayd" : dirPath + "/.quayd";
   if ( !files_.isDirectory( dir ) ) {
      return;
   }
   try {
      for ( auto const & entry : files_.list( dir ) ) {
         tarballPathEnq( entry );
      }
   } catch ( RuntimeException const & e ) {
      QTRACE( trace, 0, "Failed to iterate {}: {}", dirPath, e.what() );
   }
}

void PersistentPathSm::handleTarball() {
   QTRACE( trace, 8, "handleTarball" );
   if ( persistentPathStatus_->state() != SmState::starting_ ) {
      return;
   }
   if ( tarballPathEmpty() ) {
      persistentPathStatus_->stateIs( SmState::started_ );
      return;
   }
   String const path = tarballPathDeq();
   QTRACE( trace, 2, "tarball path: {}", path );
   try {
      for ( auto const & name : runtime_->loadImage( path ) ) {
         persistentPathStatus_->imageIs( imageReference( *runtime_, name ) );
      }
   } catch ( RuntimeException const & e ) {
      QTRACE( trace, 0, "Failed to load image: {}", e.what() );
   }
   if ( !tarballPathEmpty() ) {
      loadTask_->scheduleTask();
   } else {
      persistentPathStatus_->stateIs( SmState::started_ );
   }
}

void PersistentPathSm::handleDisabled() {
   QTRACE( trace, 2, "state: {}, imageLoadSm state: {}", persistentPathStatus_->state(),
           imageLoadStatus_->state() );
   if ( imageLoadStatus_->state() != SmState::stopped_ ) {
      return;
   }
   persistentPathStatus_->stateIs( SmState::stopping_ );
   removeImages( *runtime_, persistentPathStatus_->image(), trace );
   persistentPathStatus_->imageDelAll();
   tarballPathDelAll();
   loadTask_->unscheduleTask();
   // Last: the runtime manager may release this machine in reaction.
   persistentPathStatus_->stateIs( SmState::stopped_ );
}

Ptr< PersistentPathSm > persistentPathSmFactory(
   Ptr< QuaydStatus const > quaydStatus, Ptr< PersistentPathConfig const > persistentPathConfig,
   Ptr< PersistentPathStatus > persistentPathStatus,
   Ptr< ImageLoadStatusDir const > imageLoadStatus, Ptr< ContainerRuntimeInterface > runtime,
   Ptr< TaskScheduler > taskScheduler, FileSystem & files ) {
   return PersistentPathSm::PersistentPathSmIs( std::move( quaydStatus ),
                                                std::move( persistentPathConfig ),
                                                std::move( persistentPathStatus ),
                                                std::move( imageLoadStatus ), std::move( runtime ),
                                                std::move( taskScheduler ), files );
}

} // namespace Quayd
