#include "platform/posix/EraseOwnFileSystem.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <vector>

#include "platform/Exception.h"
#include "platform/posix/MountInfo.h"

namespace Quayd {

namespace {

// The mount points strictly below `dir`, deepest first.
std::vector< String > mountsBelow( String const & dir ) {
   std::vector< String > out;
   for ( String const & mp : mountPoints() ) {
      if ( mp.size() > dir.size() + 1 && mp.starts_with( dir + "/" ) ) {
         out.push_back( mp );
      }
   }
   std::sort( out.begin(), out.end(),
              []( String const & a, String const & b ) { return a.size() > b.size(); } );
   out.erase( std::unique( out.begin(), out.end() ), out.end() );
   return out;
}

struct Eraser {
   dev_t dev;
   String firstError;

   void failed( String const & what, String const & path ) {
      if ( firstError.empty() ) {
         firstError = what + " " + path + ": " + std::strerror( errno );
      }
   }

   // Empties the directory open as `fd` (named `path` for messages); closes
   // `fd`.
   void empty( int fd, String const & path ) {
      DIR * d = ::fdopendir( fd );
      if ( !d ) {
         failed( "cannot read", path );
         ::close( fd );
         return;
      }
      std::vector< String > names;
      while ( dirent * e = ::readdir( d ) ) {
         String const name = e->d_name;
         if ( name != "." && name != ".." ) {
            names.push_back( name );
         }
      }
      for ( auto const & name : names ) {
         erase( ::dirfd( d ), name, path + "/" + name );
      }
      ::closedir( d );
   }

   void erase( int parent, String const & name, String const & path ) {
      struct stat st;
      if ( ::fstatat( parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW ) != 0 ) {
         if ( errno != ENOENT ) {
            failed( "cannot read", path );
         }
         return;
      }
      if ( st.st_dev != dev ) {
         return; // a mount that stayed: what it shows is not ours
      }
      if ( S_ISDIR( st.st_mode ) ) {
         int const fd =
            ::openat( parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC );
         if ( fd < 0 ) {
            failed( "cannot open", path );
            return;
         }
         struct stat opened;
         if ( ::fstat( fd, &opened ) != 0 || opened.st_dev != dev || opened.st_ino != st.st_ino ) {
            ::close( fd ); // mounted over or swapped meanwhile
            return;
         }
         empty( fd, path );
      }
      if ( ::unlinkat( parent, name.c_str(), S_ISDIR( st.st_mode ) ? AT_REMOVEDIR : 0 ) != 0 &&
           errno != ENOENT ) {
         failed( "cannot remove", path );
      }
   }
};

} // namespace

void eraseOwnFileSystem( String const & path ) {
   std::error_code ec;
   String const dir = std::filesystem::canonical( path, ec ).string();
   if ( ec ) {
      throw RuntimeException( "cannot erase " + path + ": " + ec.message() );
   }
   String firstError;
   for ( auto const & mp : mountsBelow( dir ) ) {
      if ( ::umount2( mp.c_str(), UMOUNT_NOFOLLOW ) != 0 &&
           ::umount2( mp.c_str(), MNT_DETACH | UMOUNT_NOFOLLOW ) != 0 && firstError.empty() ) {
         firstError = "cannot unmount " + mp + ": " + std::strerror( errno );
      }
   }
   int const fd = ::open( dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC );
   struct stat st;
   if ( fd < 0 || ::fstat( fd, &st ) != 0 ) {
      throw RuntimeException( "cannot open " + dir + ": " + std::strerror( errno ) );
   }
   Eraser eraser{ st.st_dev, firstError };
   eraser.empty( fd, dir );
   if ( !eraser.firstError.empty() ) {
      throw RuntimeException( eraser.firstError );
   }
}

} // namespace Quayd
