#include "agent/Toggles.h"

#include "platform/Toggle.h"

namespace Quayd {

bool toggleOCGNOIContainerzEnabled() {
   static bool const on = getToggleState( "OCGNOIContainerz", "Trellis.json", true );
   return on;
}

bool toggleQuaydAgentEnabled() {
   static bool const on = getToggleState( "QuaydAgent", "Quayd.json", true );
   return on;
}

} // namespace Quayd
