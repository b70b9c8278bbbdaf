#pragma once
// Edits as transactions: concurrent quyctl runs lose nothing.
#include "tools/quyctl/Command.h"

namespace Quayd::Quyctl {

inline constexpr int kCommitAttempts = 100;

// Commits `e` as one transaction: WATCH its keys, read them and build the
// writes, then MULTI, the writes, EXEC. A concurrent change of a watched key
// fails the EXEC and the edit starts over from what is now stored, at most
// `attempts` times; then RuntimeException.
void commit( Redis::Connection & c, Edit const & e, int attempts = kCommitAttempts );

} // namespace Quayd::Quyctl
