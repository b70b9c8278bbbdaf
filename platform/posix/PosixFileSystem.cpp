#include "platform/posix/PosixFileSystem.h"

#include <sys/statvfs.h>

#include <algorithm>
#include <filesystem>

#include <fmt/format.h>

#include "platform/Exception.h"

namespace Quayd {

namespace fs = std::filesystem;

namespace {
[[noreturn]] void fail( char const * what, String const & path, std::error_code const & ec ) {
   throw RuntimeException( fmt::format( "cannot {} {}: {}", what, path, ec.message() ) );
}
} // namespace

uint64_t PosixFileSystem::availableMb( String const & path ) {
   struct statvfs st {};
   if ( ::statvfs( path.c_str(), &st ) != 0 ) {
      return 0;
   }
   return ( uint64_t( st.f_bavail ) * st.f_frsize ) >> 20;
}

bool PosixFileSystem::isDirectory( String const & path ) {
   std::error_code ec;
   return fs::is_directory( path, ec );
}

void PosixFileSystem::makeDirs( String const & path ) {
   std::error_code ec;
   fs::create_directories( path, ec );
   if ( ec ) {
      fail( "create", path, ec );
   }
}

std::vector< String > PosixFileSystem::list( String const & path ) {
   std::error_code ec;
   std::vector< String > out;
   for ( fs::directory_iterator it( path, ec ), end; !ec && it != end; it.increment( ec ) ) {
      out.push_back( it->path().string() );
   }
   if ( ec ) {
      fail( "list", path, ec );
   }
   std::sort( out.begin(), out.end() );
   return out;
}

void PosixFileSystem::removeAll( String const & path ) {
   std::error_code ec;
   fs::remove_all( path, ec );
   if ( ec ) {
      fail( "remove", path, ec );
   }
}

} // namespace Quayd
