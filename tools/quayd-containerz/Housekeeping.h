#pragma once
// What the service cleans up by itself: containers that stopped and were
// not removed, once they have been stopped for a grace period, and old
// containers whose update did not end, brought back. The sweep
// runs on a thread of its own, every kSweepEvery or sooner for a short
// grace, until the server stops.
#include <chrono>
#include <condition_variable>
#include <ctime>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/Types.h"

namespace Quayd::Containerz {

class ContainerzServer;

// Seconds since the epoch of a time as the daemon writes it
// ("2026-12-07T14:52:09.123456789Z"); nothing for its zero time
// ("0001-01-01T00:00:00Z") or anything else it cannot read.
std::optional< std::time_t > daemonTime( String const & rfc3339 );

class Housekeeper {
 public:
   static constexpr std::chrono::seconds kSweepEvery{ 3600 };
   Housekeeper( ContainerzServer & server, std::chrono::seconds stoppedGrace );
   ~Housekeeper();

 private:
   void run();

   ContainerzServer & server_;
   std::chrono::seconds grace_;
   std::mutex mutex_;
   std::condition_variable wake_;
   bool stopping_ = false;
   std::thread thread_;
};

} // namespace Quayd::Containerz
