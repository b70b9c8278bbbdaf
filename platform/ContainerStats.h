#pragma once
// What the daemon's one-shot stats answer says of a container's resources,
// read as `docker stats` reads it: memory in use is the usage less the
// inactive file cache, and CPU is the share of one core between two samples
// (one-shot answers carry no previous sample of their own).
#include <cstdint>
#include <optional>
#include <string_view>

namespace Quayd {

struct StatsSample {
   uint64_t cpuNs = 0;    // the container's CPU time so far
   uint64_t systemNs = 0; // the host's CPU time so far, all cores
   uint32_t onlineCpus = 0;
   uint64_t memoryUsed = 0;
   uint64_t memoryLimit = 0;
   uint64_t pids = 0;
   uint64_t netRx = 0, netTx = 0;
   uint64_t blockRead = 0, blockWrite = 0;
};

// Null when the body is not a stats object.
std::optional< StatsSample > parseStats( std::string_view body );

// Percent of one core between two samples of one container (200 is two
// cores busy); 0 when the counters did not move forward.
double cpuPercent( StatsSample const & before, StatsSample const & now );

// A byte count in the largest binary unit that keeps it at 1 or more:
// 1536 is 1.5 "KiB"; below 1024 the unit is "B".
struct ScaledBytes {
   double value;
   char const * unit;
};
ScaledBytes scaleBytes( uint64_t bytes );

} // namespace Quayd
