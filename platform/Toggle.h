#pragma once
// Feature toggles: JSON files in the toggle directory ($QUAYD_TOGGLE_DIR, else
// "/etc/quayd/toggles"), each an object of toggle name -> bool, for example
// Quayd.json: {"QuaydAgent": true}. An absent file or name means the default.
#include "platform/Types.h"

namespace Quayd {

String toggleDirectory();
bool getToggleState( String const & toggle, String const & toggleFile, bool defaultValue );

} // namespace Quayd
