#pragma once
// Follows the daemon's stream of events for the containers the agent started,
// on the agent's event loop and without ever blocking it: a non-blocking
// connection to the daemon's socket, read whenever it is readable, and a new
// connection a moment after the stream ends or cannot be opened (the daemon
// restarting). Each time the stream starts, `onEvent` is told so with an
// empty name; then once per event. `onEvent` must not destroy this object.
#include <functional>

#include "platform/ContainerRuntimeInterface.h"
#include "platform/EventLoop.h"
#include "platform/Sinks.h"
#include "platform/docker/EventStream.h"

namespace Quayd {

class DaemonEvents {
 public:
   static constexpr Duration kReconnectDelay = std::chrono::seconds( 1 );

   // `socketPath` is asked at each connection: the daemon's socket may move.
   // `query` is the request's path and query after the API version.
   DaemonEvents( EventLoop & loop, std::function< String() > socketPath, String query,
                 ContainerEventHandler onEvent, Sinks sinks );
   ~DaemonEvents();
   DaemonEvents( DaemonEvents const & ) = delete;
   DaemonEvents & operator=( DaemonEvents const & ) = delete;

   bool connected() const { return fd_ >= 0; }

 private:
   void connect();
   void handleReadable();
   // Closes the connection and tries again after kReconnectDelay.
   void retry( String const & why );
   void close();

   EventLoop & loop_;
   std::function< String() > socketPath_;
   String query_;
   ContainerEventHandler onEvent_;
   Ptr< TimerTask > reconnectTask_;
   EventStreamParser parser_;
   int fd_ = -1;
   TraceHandle trace_;
};

} // namespace Quayd
