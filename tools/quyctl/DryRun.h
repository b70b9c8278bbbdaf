#pragma once
// What an edit would do, for --dry-run: the fields it writes, and what the
// agent would then do about each container whose configuration it changes.
#include <iosfwd>

#include "tools/quyctl/Command.h"

namespace Quayd::Quyctl {

// One line per field ("KEY FIELD VALUE") or deleted key ("KEY deleted"),
// passwords masked.
void printWrites( Writes const & writes, std::ostream & out );

// "container web: restart" for each container whose parameters, bind
// mounts or enabling `writes` change (profiles merged): start, restart, stop
// or leave alone, by the rule of the container state machine.
void printPlan( Redis::Connection & c, Writes const & writes, std::ostream & out );

} // namespace Quayd::Quyctl
