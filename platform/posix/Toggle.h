#pragma once
// Feature toggles: JSON files in the toggle directory ("/etc/quayd/toggles"
// unless quayd's $QUAYD_TOGGLE_DIR names another), each an object of toggle
// name -> bool, for example Quayd.json: {"QuaydAgent": true}. An absent file
// or name means the default.
#include "platform/Host.h"

namespace Quayd {

inline constexpr char const * kToggleDirectory = "/etc/quayd/toggles";

bool getToggleState( String const & dir, String const & toggle, String const & toggleFile,
                     bool defaultValue );
// The agent's toggles as the files in `dir` set them.
Toggles readToggles( String const & dir );

} // namespace Quayd
