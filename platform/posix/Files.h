#pragma once
// Small file operations shared by the runtime layer and the credential store.
#include <sys/types.h>

#include <optional>

#include "platform/Types.h"

namespace Quayd {

// Writes `text` to `path` with `mode` on the host's file system, durably
// (writeFileDurably): a reader never sees half a file, and a power cut
// leaves the old content or the new. Throws RuntimeException naming the
// path and the reason.
void writeFileAtomically( String const & path, String const & text, mode_t mode );

// Creates `dir` and its parents; `dir` itself gets `mode` even when it was
// already there. Throws RuntimeException.
void makeDir( String const & dir, mode_t mode );

// The whole content of `path`; none when it cannot be read.
std::optional< String > readFile( String const & path );

} // namespace Quayd
