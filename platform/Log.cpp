#include "platform/Log.h"

#include <cstdarg>

namespace Quayd {

namespace {
LogSink * gSink = nullptr;
}

void logSinkIs( LogSink * sink ) { gSink = sink; }
LogSink * logSink() { return gSink; }

} // namespace Quayd
