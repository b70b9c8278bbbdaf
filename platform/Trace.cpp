#include "platform/Trace.h"

namespace Quayd {

namespace {
TraceSink * gTraceSink = nullptr;
}

void traceSinkIs( TraceSink * sink ) { gTraceSink = sink; }
TraceSink * traceSink() { return gTraceSink; }

} // namespace Quayd
