#pragma once
// The service manager as systemd's notification socket: the agent's unit is
// Type=notify with a watchdog. Outside such a unit it tells nobody.
#include <memory>

#include "platform/ServiceManager.h"

namespace Quayd {

std::unique_ptr< ServiceManager > systemdServiceManager( Clock const & clock );

} // namespace Quayd
