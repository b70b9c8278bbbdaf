#include "platform/Process.h"

namespace Quayd {

QUAYD_ENTITY_TABLE( ChildSiginfo, QUAYD_CHILD_SIGINFO_FIELDS )

} // namespace Quayd
