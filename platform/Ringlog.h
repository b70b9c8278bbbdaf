#pragma once
// The trace ring buffer. The agent asks for it with initialize(); the host
// installs the implementation (a ring file in the agent, a recorder in tests).
#include <array>
#include <functional>

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

void initialize( String const & fileName, std::array< uint32_t, 10 > const & levelSizes,
                 char const * prefix, int flags, int hours, int multithreading, bool enabled,
                 uint32_t recordSize );
void initializerIs( std::function< void( Config const & ) > fn );

} // namespace Quayd::Ringlog
