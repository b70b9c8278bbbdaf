#pragma once
// What the service manager that runs the agent hears of it: that it is
// ready, a line saying what it does or waits for, and that it is alive. A
// wedged agent stops saying so and is restarted; a long wait inside a call
// must keep saying so.
#include <functional>

#include "platform/Task.h"

namespace Quayd {

class ServiceManager {
 public:
   virtual ~ServiceManager() = default;
   virtual void readyIs() = 0;
   virtual void statusIs( String const & text ) = 0;
   // From every turn of the event loop and every turn of a blocking wait.
   virtual void alive() = 0;
   // The longest a wait may block between two calls of alive(); zero when
   // nothing watches.
   virtual Duration aliveInterval() const = 0;
};

// Speaks the notification protocol through `send` ("READY=1", "STATUS=...",
// "WATCHDOG=1"). With a watchdog period, alive() passes at most one
// keep-alive per quarter period, so the loop's every turn costs nothing.
class NotifyingServiceManager : public ServiceManager {
 public:
   NotifyingServiceManager( Clock const & clock, Duration watchdogPeriod,
                            std::function< void( String const & ) > send );
   void readyIs() override;
   void statusIs( String const & text ) override;
   void alive() override;
   Duration aliveInterval() const override;

 private:
   Clock const & clock_;
   Duration period_;
   std::function< void( String const & ) > send_;
   std::optional< TimePoint > lastAlive_;
   String status_;
};

} // namespace Quayd
