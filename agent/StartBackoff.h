#pragma once
// How long a container whose start keeps failing waits for its next
// attempt: 30 s after the first failure, doubling up to 5 minutes. Once a
// start has held for 10 minutes (the container still runs then), the next
// failure waits 30 s again.
#include <functional>

#include "platform/Task.h"

namespace Quayd {

class StartBackoff {
 public:
   static constexpr Seconds kFirstDelay{ 30 };
   static constexpr Seconds kMaxDelay{ 300 };
   static constexpr Seconds kSettled{ 600 };

   // `stillRunning` is asked kSettled after a start.
   StartBackoff( Ptr< TaskScheduler > const & scheduler, std::function< bool() > stillRunning );

   // One more failed start: the delay before the next attempt.
   Seconds failed();
   // A start that succeeded: the delays begin again if it holds.
   void started();
   // Begins again at once (a new configuration).
   void reset();
   uint32_t failures() const { return failures_; }

 private:
   uint32_t failures_ = 0;
   std::function< bool() > stillRunning_;
   Ptr< TimerTask > settledTask_;
};

} // namespace Quayd
