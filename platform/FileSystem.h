#pragma once
// The host's file system as the agent's modules see it: free space, mount
// points, directories created, listed and removed, and files written so
// that they survive a power cut. The agent never touches paths itself, so
// its state machines run on an in-memory file system in tests.
// Failures throw RuntimeException naming the path and the reason.
#include <sys/types.h>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "platform/Types.h"

namespace Quayd {

// A file read from its start to its end in pieces, never whole in memory.
class FileReader {
 public:
   virtual ~FileReader() = default;
   // Up to `size` bytes into `buf`; 0 at the end. Throws RuntimeException.
   virtual size_t read( char * buf, size_t size ) = 0;
};

class FileSystem {
 public:
   virtual ~FileSystem() = default;
   // Megabytes available to unprivileged writers on the file system that
   // holds `path`; 0 when it cannot be read.
   virtual uint64_t availableMb( String const & path ) = 0;
   virtual bool exists( String const & path ) = 0;
   virtual bool isDirectory( String const & path ) = 0;
   // Whether a file system is mounted at `path`.
   virtual bool isMountPoint( String const & path ) = 0;
   // The size of file `path` in bytes; 0 when there is none.
   virtual uint64_t fileSize( String const & path ) = 0;
   // Creates `path` and its missing parents; an existing directory is fine.
   virtual void makeDirs( String const & path ) = 0;
   // As makeDirs, and `path` itself gets `mode` even when it was there.
   virtual void makeDir( String const & path, mode_t mode ) = 0;
   // The content of file `path` when it is at most `limit` bytes; none when
   // it cannot be read or is larger.
   virtual std::optional< String > readFile( String const & path, size_t limit ) = 0;
   // Regular file `path` (or a link to one), opened to be read in pieces:
   // anything else (a FIFO, a device) could block the reader or never end.
   // Throws RuntimeException.
   virtual std::unique_ptr< FileReader > openForReading( String const & path ) = 0;
   // The full paths of the entries of directory `path`, sorted.
   virtual std::vector< String > list( String const & path ) = 0;
   // Removes `path` and everything below it; a missing path is fine.
   virtual void removeAll( String const & path ) = 0;
   // Removes every entry of directory `path` on its own file system: mount
   // points below it are unmounted first (lazily when busy) and never
   // entered, and nothing on another file system is removed.
   virtual void eraseOwnFileSystem( String const & path ) = 0;

   // The steps of a durable write (writeFileDurably): `writeFile` replaces
   // the content of `path` with `text` and gives it `mode`, without waiting
   // for the disk; `syncFile` and `syncDir` wait until the file's content,
   // or the directory's entries, are on the disk; `rename` moves `from`
   // over `to` in one step.
   virtual void writeFile( String const & path, String const & text, mode_t mode ) = 0;
   virtual void syncFile( String const & path ) = 0;
   virtual void rename( String const & from, String const & to ) = 0;
   virtual void syncDir( String const & path ) = 0;
};

// Writes `text` to `path` so that after a power cut at any moment `path`
// holds either its old content or all of `text`: a temporary file beside it
// is written and synced, renamed over `path`, and the directory synced so
// the rename itself is on the disk. Throws RuntimeException.
void writeFileDurably( FileSystem & files, String const & path, String const & text, mode_t mode );

} // namespace Quayd
