#pragma once
#include <chrono>
#include <cstdint>
#include <string>

namespace Quayd {

using String = std::string;
using Duration = std::chrono::nanoseconds;
using Seconds = std::chrono::seconds;
using TimePoint = std::chrono::time_point< std::chrono::steady_clock, Duration >;

// Scheduling a timer with this delay disarms it.
inline constexpr Duration kInfiniteDelay = Duration::max();

inline double toSeconds( Duration d ) { return std::chrono::duration< double >( d ).count(); }

} // namespace Quayd
