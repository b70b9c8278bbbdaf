// DockerRuntime's image loads in flight: the tarball streamed from its file
// to the load request through a client of their own, and the answer read as
// the synchronous load reads it.
//
// Loads do not count against callsInFlight: that bound keeps the daemon's
// CPU from thrashing on creates and starts, while a load is one long call
// that keeps its disk busy. Counted, one load would hold a slot of the
// container starts for its whole length. They go out one at a time instead:
// two at once would only share the same disk.
#include "platform/docker/DockerRuntime.h"
#include "platform/docker/ImageLoad.h"

namespace Quayd {

namespace {
// The one queue key of every load: one out at a time, in the order made.
constexpr char const * kLoads = "image loads";
} // namespace

AsyncApiClient & DockerRuntime::loadClient() {
   QUAYD_ASSERT( loop_ );
   if ( !loadClient_ ) {
      loadClient_ = std::make_unique< AsyncApiClient >( *loop_, socketPath(), 1 );
   }
   loadClient_->socketPathIs( socketPath() );
   return *loadClient_;
}

RuntimeCallQueue & DockerRuntime::loads() {
   QUAYD_ASSERT( loop_ );
   if ( !loads_ ) {
      loads_ = std::make_unique< RuntimeCallQueue >( loop_->scheduler(), 1 );
      runsWaitingTask_ = makePtr< Task >( loop_->scheduler(), TaskPriority( 3 ), "runs after loads",
                                          [ this ] { runsWaitingResume(); } );
   }
   return *loads_;
}

bool DockerRuntime::loadsOut() const {
   return loads_ && loads_->inFlight() + loads_->waiting() > 0;
}

Ptr< RuntimeCall > DockerRuntime::loadImageAsync( String const & tarballPath, LoadDone done ) {
   auto images = std::make_shared< std::vector< String > >();
   auto start = [ this, tarballPath,
                  images ]( RuntimeCallQueue::Finish finish ) -> std::function< void() > {
      std::shared_ptr< FileReader > file;
      try {
         file = files_.openForReading( tarballPath );
      } catch ( ... ) {
         finish( std::current_exception() );
         return {};
      }
      auto const read = [ file ]( char * buf, size_t size ) { return file->read( buf, size ); };
      auto const req =
         loadClient().upload( "POST", kImageLoadPath, read, DockerApiClient::kStreamIdleSec,
                              [ this, tarballPath, images, finish ]( AsyncApiClient::Result r ) {
                                 try {
                                    if ( r.uploadFailed ) {
                                       throw RuntimeException( "loading " + tarballPath + ": " +
                                                               r.error );
                                    }
                                    *images = loadedImages( tarballPath,
                                                            imageLoadAnswer( answerOf( r ) ) );
                                 } catch ( ... ) {
                                    finish( std::current_exception() );
                                    return;
                                 }
                                 finish( nullptr );
                              } );
      return [ this, req ] { loadClient().cancel( req ); };
   };
   std::weak_ptr< char > const alive = alive_;
   auto call = loads().push( kLoads, std::move( start ),
                             [ this, alive, images,
                               done = std::move( done ) ]( std::exception_ptr failure ) {
                                done( *images, std::move( failure ) );
                                if ( !alive.expired() ) {
                                   runsWaitingTask_->scheduleTask();
                                }
                             } );
   return makePtr< RuntimeCall >( [ this, alive, call ] {
      call->cancel();
      if ( !alive.expired() ) {
         runsWaitingTask_->scheduleTask();
      }
   } );
}

} // namespace Quayd
