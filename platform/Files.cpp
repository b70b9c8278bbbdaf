#include "platform/Files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Exception.h"

namespace Quayd {

void writeFileAtomically( String const & path, String const & text, mode_t mode ) {
   String const tmp = path + ".tmp";
   int fd = open( tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode );
   if ( fd < 0 ) {
      throw RuntimeException( "cannot write " + path + ": " + strerror( errno ) );
   }
   // The mode is set before any byte lands: an old temporary file may have
   // had a wider one, and the umask may have narrowed ours.
   bool ok = fchmod( fd, mode ) == 0 &&
             write( fd, text.data(), text.size() ) == static_cast< ssize_t >( text.size() );
   int const err = errno;
   ok = close( fd ) == 0 && ok;
   if ( !ok || rename( tmp.c_str(), path.c_str() ) != 0 ) {
      int const why = ok ? errno : err;
      unlink( tmp.c_str() );
      throw RuntimeException( "cannot write " + path + ": " + strerror( why ) );
   }
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
