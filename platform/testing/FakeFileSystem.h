#pragma once
// An in-memory file system: directories and files by path, a free-space
// figure the test sets, and operations that fail on request.
#include <set>

#include "platform/FileSystem.h"

namespace Quayd::Testing {

class FakeFileSystem : public FileSystem {
 public:
   uint64_t freeMb = 4096;
   // Names of operations ("makeDirs", "list", "removeAll") that throw.
   std::set< String > failing;

   // The test's own hands, which never fail: adds a file (and its parent
   // directories), or removes a path and everything below it.
   void addFile( String const & path );
   void erase( String const & path );
   bool exists( String const & path ) const { return dirs_.count( path ) || files_.count( path ); }
   std::set< String > const & files() const { return files_; }

   uint64_t availableMb( String const & ) override { return freeMb; }
   bool isDirectory( String const & path ) override { return dirs_.count( path ) != 0; }
   void makeDirs( String const & path ) override;
   std::vector< String > list( String const & path ) override;
   void removeAll( String const & path ) override;

 private:
   void check( char const * op, String const & path ) const;
   void addDirs( String const & path );
   std::set< String > dirs_{ "/" };
   std::set< String > files_;
};

} // namespace Quayd::Testing
