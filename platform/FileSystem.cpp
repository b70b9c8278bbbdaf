#include "platform/FileSystem.h"

#include "platform/Exception.h"

namespace Quayd {

void writeFileDurably( FileSystem & files, String const & path, String const & text, mode_t mode ) {
   String const tmp = path + ".tmp";
   auto const slash = path.rfind( '/' );
   String const dir = slash == String::npos ? String( "." )
                      : slash == 0          ? String( "/" )
                                            : path.substr( 0, slash );
   try {
      files.writeFile( tmp, text, mode );
      files.syncFile( tmp );
      files.rename( tmp, path );
   } catch ( RuntimeException const & ) {
      try {
         files.removeAll( tmp );
      } catch ( RuntimeException const & ) {
         // The first failure is the one worth telling.
      }
      throw;
   }
   files.syncDir( dir );
}

} // namespace Quayd
