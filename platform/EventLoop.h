#pragma once
// The agent's one event loop: tasks and timers of its scheduler, readable
// file descriptors, and the ends of child processes.
#include <functional>

#include "platform/Task.h"

namespace Quayd {

class EventLoop {
 public:
   virtual ~EventLoop() = default;
   virtual Ptr< TaskScheduler > const & scheduler() const = 0;
   // Calls `onReady( readable, writable )` whenever `fd` is ready for what
   // is asked of it (or has hung up: both), until fdDel. Asking again
   // changes what is watched for.
   virtual void fdWatch( int fd, bool read, bool write,
                         std::function< void( bool, bool ) > onReady ) = 0;
   // Calls `onReadable` whenever `fd` is readable (or has hung up), until fdDel.
   void fdIs( int fd, std::function< void() > onReadable ) {
      fdWatch( fd, true, false, [ f = std::move( onReadable ) ]( bool, bool ) { f(); } );
   }
   virtual void fdDel( int fd ) = 0;
   // Runs until stop(); exceptions escaping a handler are reported and the
   // loop goes on, except assertion failures, which end the process.
   virtual void run() = 0;
   virtual void stop() = 0;
   // Runs turns until `done` holds or `timeout` passes; whether it held.
   virtual bool runUntil( std::function< bool() > done, Duration timeout ) = 0;
};

} // namespace Quayd
