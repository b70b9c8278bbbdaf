#pragma once
// The trace ring buffer the agent asks for; the host opens it (a ring file
// in the agent, a recorder in tests) through the function its Host carries.
#include <array>

#include "platform/Types.h"

namespace Quayd::Ringlog {

struct Config {
   String fileName;                       // "%d" in it stands for the process id
   std::array< uint32_t, 10 > levelSizes; // records per level 0..9
   String prefix;
   int flags;
   int hours;
   int multithreading;
   bool enabled;
   uint32_t recordSize;
};

} // namespace Quayd::Ringlog
