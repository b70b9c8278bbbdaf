#pragma once
// The IDs of the images an image tarball (the daemon's save format) holds,
// read from its manifest.json without loading it: the tar headers are
// walked and only the manifest's content is read, each within a bound, so
// a hostile file costs at most a few thousand small reads.
#include <cstdint>
#include <functional>
#include <vector>

#include "platform/Types.h"

namespace Quayd {

// Up to `size` bytes of the tarball from `offset`; fewer only at its end.
using TarballRead = std::function< String( uint64_t offset, size_t size ) >;

// At most this many members are walked, and a manifest of at most this
// many bytes is read.
constexpr size_t kTarballMembersMax = 10000;
constexpr size_t kManifestBytesMax = 1 << 20;

// "sha256:<hex>" per image of the manifest, in its order; empty when the
// tarball has no manifest.json within the bounds. Throws RuntimeException
// for a manifest that cannot be read or gives no valid ID.
std::vector< String > tarballImageIds( TarballRead const & read );

} // namespace Quayd
