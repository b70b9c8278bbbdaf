#pragma once
// The last state changes of one container, oldest first, kept in its status
// ("history") as a JSON array of {"time", "reason", "detail"}: what happened
// to it and when, read back by `quyctl show container NAME`.
#include <chrono>

#include "model/Model.h"
#include "platform/ContainerRuntimeInterface.h"

namespace Quayd {

// "2026-12-08T09:00:30Z": a wall-clock time as the status writes it.
String wallClockText( std::chrono::system_clock::time_point t );

class ContainerHistory {
 public:
   static constexpr size_t kMaxEntries = 10;
   static constexpr size_t kMaxDetail = 256;
   // The reasons.
   static constexpr char const * kStarted = "started";
   static constexpr char const * kExited = "exited";
   static constexpr char const * kOomKilled = "oom-killed";
   static constexpr char const * kUnhealthy = "unhealthy";
   static constexpr char const * kRestartedForMemory = "restarted for memory";
   static constexpr char const * kRemoved = "removed by configuration";

   explicit ContainerHistory( Ptr< ContainerStatus > status ) : status_( std::move( status ) ) {}

   // Appends a change now, dropping the oldest beyond kMaxEntries; `detail`
   // is cut to kMaxDetail bytes.
   void add( String const & reason, String const & detail = "" );
   // The change a daemon event tells of, if it is one the history keeps:
   // "start", "die" (with its exit code) and "oom".
   void eventIs( ContainerEvent const & event );

 private:
   Ptr< ContainerStatus > status_;
};

} // namespace Quayd
