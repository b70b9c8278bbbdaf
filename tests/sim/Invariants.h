#pragma once
// What must hold of the agent whatever happened to it. Each invariant is
// named after what it protects; a violation names it and says what was seen.
//
// The expectations are derived from the configuration in the database and
// the world's state alone, never from the agent's own bookkeeping.
#include <vector>

#include "tests/sim/World.h"

namespace Quayd::Sim {

struct Violation {
   String invariant;
   String detail;
};

// After every step: each container the daemon holds is recorded in the
// status, so that an agent killed now would find it again; and no run the
// daemon saw was unsafe (a container disabled, not configured, run with
// what is not its configuration, before its startup condition passed since
// its last change, over one its status records running, or while the quy
// sub-agent is not the one configured); and a daemon that cannot start on
// its data root in the loop mount on flash is not said started_.
std::vector< Violation > checkStep( World const & world );

// At rest, once every fault is cleared and time has passed: the sub-agent,
// the daemon, the containers, the registries and the flash are where the
// configuration says, the status agrees, and nothing is left over.
// `deleted` are configuration elements the operator removed: nobody may
// still watch them.
std::vector< Violation > checkAtRest( World const & world,
                                      std::vector< Ptr< Entity > > const & deleted );

} // namespace Quayd::Sim
