#pragma once
// The mount points of this process's mount namespace, as /proc/self/mountinfo
// lists them.
#include <vector>

#include "platform/Types.h"

namespace Quayd {

std::vector< String > mountPoints();

} // namespace Quayd
