#pragma once
// The real file system.
#include "platform/FileSystem.h"

namespace Quayd {

class PosixFileSystem : public FileSystem {
 public:
   uint64_t availableMb( String const & path ) override;
   bool isDirectory( String const & path ) override;
   void makeDirs( String const & path ) override;
   std::vector< String > list( String const & path ) override;
   void removeAll( String const & path ) override;
};

} // namespace Quayd
