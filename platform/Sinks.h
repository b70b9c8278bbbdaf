#pragma once
// Where a component's trace lines and syslog messages go: handed down from
// main with the Host, a capture in tests. A null sink discards.
#include "platform/Log.h"
#include "platform/Trace.h"

namespace Quayd {

struct Sinks {
   TraceSink * trace = nullptr;
   LogSink * log = nullptr;
   bool operator==( Sinks const & ) const = default;
};

} // namespace Quayd
