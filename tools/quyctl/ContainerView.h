#pragma once
// What `show containers` and `show container NAME` tell of each container,
// read from the status the agent publishes (never asked of the daemon).
#include <chrono>
#include <iosfwd>

#include <nlohmann/json.hpp>

#include "platform/redis/RedisClient.h"

namespace Quayd::Quyctl {

using TimePoint = std::chrono::system_clock::time_point;

// Every container configured or known to the agent, by name.
std::vector< String > containerNames( Redis::Connection & c );
// One container's row: configuration, the agent's and the daemon's state,
// since when, restarts, start attempts and the last error.
nlohmann::json containerRow( Redis::Connection & c, String const & name, TimePoint now );
// The rows as a table of at most 80 columns.
void printContainerTable( std::ostream & out, nlohmann::json const & rows );
// "3d4h", "5m12s": how long since `startedAt` (RFC 3339); none when unknown.
std::optional< int64_t > uptimeSeconds( String const & startedAt, TimePoint now );
String shortDuration( int64_t seconds );
// `text` cut to `width` columns, a cut marked "~".
String fit( String const & text, size_t width );
// "12.3KiB", "512MiB", "1.5GiB": a size in at most 7 columns.
String shortSize( uint64_t bytes );
// "50.3": a CPU share in percent.
String percentText( double percent );

} // namespace Quayd::Quyctl
