#pragma once
// An in-memory file system: directories and files by path, a free-space
// figure the test sets, and operations that fail on request. The steps of
// durable writes are recorded in order.
#include <map>
#include <set>

#include "platform/FileSystem.h"

namespace Quayd::Testing {

class FakeFileSystem : public FileSystem {
 public:
   uint64_t freeMb = 4096;
   // Names of operations ("makeDirs", "list", "removeAll", "writeFile",
   // "syncFile", "rename", "syncDir"; makeDir fails as "makeDirs") that throw.
   std::set< String > failing;
   // Where file systems are mounted, as on a switch.
   std::set< String > mountPoints{ "/", "/mnt/flash" };
   // The steps of writes, in order: "write <path>", "sync <path>",
   // "rename <from> <to>", "syncDir <path>".
   std::vector< String > steps;
   // Sizes the test gives to files (a sparse image); any other file is as
   // large as its content.
   std::map< String, uint64_t > fileSizes;

   // The test's own hands, which never fail: adds a file (and its parent
   // directories), or removes a path and everything below it.
   void addFile( String const & path, String const & text = "" );
   void erase( String const & path );
   bool exists( String const & path ) const { return dirs_.count( path ) || files_.count( path ); }
   std::set< String > const & files() const { return files_; }
   // The content of file `path`; empty when there is none.
   String content( String const & path ) const;

   uint64_t availableMb( String const & ) override { return freeMb; }
   bool exists( String const & path ) override {
      return dirs_.count( path ) || files_.count( path );
   }
   bool isDirectory( String const & path ) override { return dirs_.count( path ) != 0; }
   bool isMountPoint( String const & path ) override { return mountPoints.count( path ) != 0; }
   uint64_t fileSize( String const & path ) override;
   void makeDirs( String const & path ) override;
   // Also records the mode in `modes`.
   void makeDir( String const & path, mode_t mode ) override;
   std::map< String, mode_t > modes;
   std::optional< String > readFile( String const & path, size_t limit ) override;
   // Reads the content as it is when opened.
   std::unique_ptr< FileReader > openForReading( String const & path ) override;
   std::vector< String > list( String const & path ) override;
   void removeAll( String const & path ) override;
   // Mount points below `path` are unmounted (and recorded); the rest goes.
   void eraseOwnFileSystem( String const & path ) override;
   std::vector< String > unmounted;
   void writeFile( String const & path, String const & text, mode_t mode ) override;
   void syncFile( String const & path ) override;
   void rename( String const & from, String const & to ) override;
   void syncDir( String const & path ) override;

 private:
   void check( char const * op, String const & path ) const;
   void addDirs( String const & path );
   std::set< String > dirs_{ "/" };
   std::set< String > files_;
   std::map< String, String > contents_;
};

} // namespace Quayd::Testing
