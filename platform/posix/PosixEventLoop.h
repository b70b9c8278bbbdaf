#pragma once
// The agent's event loop on epoll: due timers, then ready tasks, then the
// ready descriptors. SIGTERM and SIGINT stop it. Every turn tells the
// service manager, if any, that the agent is alive.
#include <map>
#include <memory>

#include "platform/EventLoop.h"
#include "platform/ServiceManager.h"

namespace Quayd {

class PosixEventLoop : public EventLoop {
 public:
   explicit PosixEventLoop( ServiceManager * manager = nullptr );
   ~PosixEventLoop() override;

   Ptr< TaskScheduler > const & scheduler() const override { return scheduler_; }
   void fdWatch( int fd, bool read, bool write,
                 std::function< void( bool, bool ) > onReady ) override;
   void fdDel( int fd ) override;
   void run() override;
   void stop() override { stopped_ = true; }
   bool runUntil( std::function< bool() > done, Duration timeout ) override;
   // Turns SIGTERM and SIGINT into a stop of the loop.
   void stopOnSignals();

 private:
   void turn( Duration maxWait );
   SteadyClock clock_;
   Ptr< TaskScheduler > scheduler_;
   ServiceManager * manager_;
   int epfd_ = -1;
   int sigfd_ = -1;
   bool stopped_ = false;
   std::map< int, std::shared_ptr< std::function< void( bool, bool ) > > > fds_;
};

} // namespace Quayd
