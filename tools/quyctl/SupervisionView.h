#pragma once
// What `show container NAME` tells of the agent's supervision of a
// container: whether it restarts it when unhealthy and how often it did,
// when a start that keeps failing is tried next, and its recent history.
#include <iosfwd>

#include <nlohmann/json.hpp>

#include "model/Model.h"
#include "platform/redis/RedisClient.h"

namespace Quayd::Quyctl {

// Adds "restartUnhealthy", "unhealthyRestarts", "backingOff" and "history"
// (a list, oldest first; empty when the status holds none it can read).
void addSupervision( Redis::Connection & c, String const & name, ContainerStatus const & status,
                     nlohmann::json & row );
// The history as a section of `show container`.
void printHistory( std::ostream & out, nlohmann::json const & history );

} // namespace Quayd::Quyctl
