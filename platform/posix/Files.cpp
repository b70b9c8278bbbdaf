#include "platform/posix/Files.h"

#include <sys/stat.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Exception.h"
#include "platform/posix/PosixFileSystem.h"

namespace Quayd {

void writeFileAtomically( String const & path, String const & text, mode_t mode ) {
   PosixFileSystem files;
   writeFileDurably( files, path, text, mode );
}

void makeDir( String const & dir, mode_t mode ) {
   std::error_code ec;
   std::filesystem::create_directories( dir, ec );
   if ( ec || chmod( dir.c_str(), mode ) != 0 ) {
      throw RuntimeException( "cannot create " + dir + ": " +
                              ( ec ? ec.message() : strerror( errno ) ) );
   }
}

std::optional< String > readFile( String const & path ) {
   std::ifstream in( path, std::ios::binary );
   if ( !in ) {
      return std::nullopt;
   }
   std::stringstream ss;
   ss << in.rdbuf();
   return ss.str();
}

} // namespace Quayd
