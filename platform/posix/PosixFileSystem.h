#pragma once
// The real file system.
#include "platform/FileSystem.h"

namespace Quayd {

class PosixFileSystem : public FileSystem {
 public:
   uint64_t availableMb( String const & path ) override;
   bool exists( String const & path ) override;
   bool isDirectory( String const & path ) override;
   bool isMountPoint( String const & path ) override;
   uint64_t fileSize( String const & path ) override;
   void makeDirs( String const & path ) override;
   void makeDir( String const & path, mode_t mode ) override;
   std::optional< String > readFile( String const & path, size_t limit ) override;
   std::unique_ptr< FileReader > openForReading( String const & path ) override;
   std::vector< String > list( String const & path ) override;
   void removeAll( String const & path ) override;
   void eraseOwnFileSystem( String const & path ) override;
   void writeFile( String const & path, String const & text, mode_t mode ) override;
   void syncFile( String const & path ) override;
   void rename( String const & from, String const & to ) override;
   void syncDir( String const & path ) override;
};

} // namespace Quayd
