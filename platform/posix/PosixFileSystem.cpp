#include "platform/posix/PosixFileSystem.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fmt/format.h>

#include "platform/Exception.h"
#include "platform/posix/EraseOwnFileSystem.h"
#include "platform/posix/MountInfo.h"

namespace Quayd {

namespace fs = std::filesystem;

namespace {
[[noreturn]] void fail( char const * what, String const & path, std::error_code const & ec ) {
   throw RuntimeException( fmt::format( "cannot {} {}: {}", what, path, ec.message() ) );
}

[[noreturn]] void failErrno( char const * what, String const & path, int err ) {
   throw RuntimeException( fmt::format( "cannot {} {}: {}", what, path, strerror( err ) ) );
}

void syncPath( String const & path, int flags, char const * what ) {
   int const fd = ::open( path.c_str(), flags | O_CLOEXEC );
   if ( fd < 0 ) {
      failErrno( what, path, errno );
   }
   int const rc = ::fsync( fd );
   int const err = errno;
   ::close( fd );
   if ( rc != 0 ) {
      failErrno( what, path, err );
   }
}
} // namespace

uint64_t PosixFileSystem::availableMb( String const & path ) {
   struct statvfs st {};
   if ( ::statvfs( path.c_str(), &st ) != 0 ) {
      return 0;
   }
   return ( uint64_t( st.f_bavail ) * st.f_frsize ) >> 20;
}

bool PosixFileSystem::exists( String const & path ) {
   std::error_code ec;
   return fs::exists( path, ec );
}

bool PosixFileSystem::isMountPoint( String const & path ) {
   std::error_code ec;
   String const real = fs::canonical( path, ec ).string();
   if ( ec ) {
      return false;
   }
   auto const all = mountPoints();
   return std::find( all.begin(), all.end(), real ) != all.end();
}

uint64_t PosixFileSystem::fileSize( String const & path ) {
   std::error_code ec;
   auto const size = fs::file_size( path, ec );
   return ec ? 0 : uint64_t( size );
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

void PosixFileSystem::makeDir( String const & path, mode_t mode ) {
   makeDirs( path );
   if ( ::chmod( path.c_str(), mode ) != 0 ) {
      failErrno( "create", path, errno );
   }
}

namespace {
class PosixFileReader : public FileReader {
 public:
   PosixFileReader( String path, int fd ) : path_( std::move( path ) ), fd_( fd ) {}
   ~PosixFileReader() override { ::close( fd_ ); }
   size_t read( char * buf, size_t size ) override {
      for ( ;; ) {
         ssize_t const n = ::read( fd_, buf, size );
         if ( n >= 0 ) {
            return size_t( n );
         }
         if ( errno != EINTR ) {
            failErrno( "read", path_, errno );
         }
      }
   }

 private:
   String path_;
   int fd_;
};
} // namespace

std::unique_ptr< FileReader > PosixFileSystem::openForReading( String const & path ) {
   struct stat st {};
   if ( ::stat( path.c_str(), &st ) != 0 ) {
      failErrno( "open", path, errno );
   }
   if ( !S_ISREG( st.st_mode ) ) {
      throw RuntimeException( path + " is not a regular file" );
   }
   // Without waiting: a file swapped for a FIFO meanwhile cannot block.
   int const fd = ::open( path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC );
   if ( fd < 0 ) {
      failErrno( "open", path, errno );
   }
   if ( ::fstat( fd, &st ) != 0 || !S_ISREG( st.st_mode ) ) {
      ::close( fd );
      throw RuntimeException( path + " is not a regular file" );
   }
   return std::make_unique< PosixFileReader >( path, fd );
}

std::optional< String > PosixFileSystem::readFile( String const & path, size_t limit ) {
   // Without waiting: a FIFO put there must not block the caller.
   int const fd = ::open( path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC );
   if ( fd < 0 ) {
      return std::nullopt;
   }
   struct stat st {};
   bool ok = ::fstat( fd, &st ) == 0 && S_ISREG( st.st_mode );
   String text;
   char buf[ 4096 ];
   while ( ok ) {
      ssize_t const n = ::read( fd, buf, sizeof buf );
      if ( n < 0 && errno == EINTR ) {
         continue;
      }
      if ( n <= 0 ) {
         ok = n == 0;
         break;
      }
      text.append( buf, size_t( n ) );
      ok = text.size() <= limit;
   }
   ::close( fd );
   return ok ? std::optional< String >( std::move( text ) ) : std::nullopt;
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

void PosixFileSystem::eraseOwnFileSystem( String const & path ) {
   Quayd::eraseOwnFileSystem( path );
}

void PosixFileSystem::writeFile( String const & path, String const & text, mode_t mode ) {
   int const fd = ::open( path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode );
   if ( fd < 0 ) {
      failErrno( "write", path, errno );
   }
   // The mode is set before any byte lands: an old file may have had a
   // wider one, and the umask may have narrowed ours.
   bool ok = ::fchmod( fd, mode ) == 0;
   for ( size_t done = 0; ok && done < text.size(); ) {
      ssize_t const n = ::write( fd, text.data() + done, text.size() - done );
      ok = n > 0 || ( n < 0 && errno == EINTR );
      done += n > 0 ? size_t( n ) : 0;
   }
   int const err = errno;
   if ( ::close( fd ) != 0 || !ok ) {
      failErrno( "write", path, ok ? errno : err );
   }
}

void PosixFileSystem::syncFile( String const & path ) { syncPath( path, O_RDONLY, "sync" ); }

void PosixFileSystem::rename( String const & from, String const & to ) {
   if ( ::rename( from.c_str(), to.c_str() ) != 0 ) {
      failErrno( "rename", from + " to " + to, errno );
   }
}

void PosixFileSystem::syncDir( String const & path ) {
   syncPath( path, O_RDONLY | O_DIRECTORY, "sync" );
}

} // namespace Quayd
