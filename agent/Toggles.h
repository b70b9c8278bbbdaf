#pragma once
// The agent's feature toggles, read once per process.
#include "platform/Types.h"

namespace Quayd {

bool toggleOCGNOIContainerzEnabled();
bool toggleQuaydAgentEnabled();

} // namespace Quayd
