#pragma once
// The host's file system as the agent's modules see it: free space, and
// directories created, listed and removed. The agent never touches paths
// itself, so its state machines run on an in-memory file system in tests.
// Failures throw RuntimeException naming the path and the reason.
#include <cstdint>
#include <vector>

#include "platform/Types.h"

namespace Quayd {

class FileSystem {
 public:
   virtual ~FileSystem() = default;
   // Megabytes available to unprivileged writers on the file system that
   // holds `path`; 0 when it cannot be read.
   virtual uint64_t availableMb( String const & path ) = 0;
   virtual bool isDirectory( String const & path ) = 0;
   // Creates `path` and its missing parents; an existing directory is fine.
   virtual void makeDirs( String const & path ) = 0;
   // The full paths of the entries of directory `path`, sorted.
   virtual std::vector< String > list( String const & path ) = 0;
   // Removes `path` and everything below it; a missing path is fine.
   virtual void removeAll( String const & path ) = 0;
};

} // namespace Quayd
