#pragma once
// Engine API requests in flight together on the agent's event loop: libcurl's
// multi interface with its sockets watched by the loop and its time-outs on
// the loop's timers, so no thread and no wait. At most `maxInFlight`
// requests are out at once; the rest wait their turn in order, so the daemon
// is kept busy without being swamped.
//
// Each request ends in exactly one call of its `done` on the loop, unless it
// is cancelled first: a cancelled request never calls back.
#include <deque>
#include <functional>
#include <map>
#include <memory>

#include "platform/EventLoop.h"
#include "platform/Types.h"
#include "platform/docker/DockerApiClient.h"

namespace Quayd {

class AsyncApiClient {
 public:
   struct Result {
      long status = 0; // the HTTP status, 0 when the daemon did not answer
      String body;     // the answer's body, cut at kMaxBody
      String error;    // why the daemon did not answer; "" when it did
      bool timedOut = false;
      bool truncated = false;
      // The body could not be read: `error` says why, and the request was cut.
      bool uploadFailed = false;
   };
   using Done = std::function< void( Result ) >;
   // A body's reader, as the blocking client takes it.
   using Read = DockerApiClient::Read;
   using Id = uint64_t;

   // An answer longer than this is cut: what the agent asks for (an
   // inspect, a create) is a few KiB.
   static constexpr size_t kMaxBody = 16 << 20;

   AsyncApiClient( EventLoop & loop, String socketPath, size_t maxInFlight );
   ~AsyncApiClient();
   AsyncApiClient( AsyncApiClient const & ) = delete;
   AsyncApiClient & operator=( AsyncApiClient const & ) = delete;

   void socketPathIs( String const & p ) { socketPath_ = p; }
   void maxInFlightIs( size_t n );

   // Sends `method path` (under the agent's API version) with `body` as JSON
   // when non-empty; `timeoutSec` limits the whole request.
   Id send( String method, String path, String body, long timeoutSec, Done done );
   // Sends `method path` with a tarball body that `read` gives piece by
   // piece as the socket takes it; no limit on the whole, it fails once
   // nothing has moved for `idleSec`. Cut short (cancelled, a read that
   // failed), the body never ends: the daemon takes no partial tarball.
   Id upload( String method, String path, Read read, long idleSec, Done done );
   // Forgets a request, queued or in flight; its `done` is not called.
   void cancel( Id id );
   // Forgets every request, none calling back.
   void cancelAll();

   size_t inFlight() const { return running_.size(); }
   size_t waiting() const { return queue_.size(); }

 private:
   struct Request;
   static int onSocket( void * easy, int fd, int what, void * self, void * );
   static int onTimer( void * multi, long ms, void * self );
   static size_t readCb( char * buf, size_t size, size_t n, void * request );
   // A request for `method path` with the settings every one has.
   std::unique_ptr< Request > request( String method, String path, Done done );
   Id enqueue( std::unique_ptr< Request > r );
   void launch();
   void act( int fd, int flags );
   void finishDone();

   EventLoop & loop_;
   String socketPath_;
   size_t maxInFlight_;
   void * multi_;
   Ptr< TimerTask > timer_;
   std::shared_ptr< bool > alive_ = std::make_shared< bool >( true );
   Id next_ = 1;
   std::deque< std::unique_ptr< Request > > queue_;
   std::map< void *, std::unique_ptr< Request > > running_; // by curl handle
};

} // namespace Quayd
