// quylbmount DIR SIZE_MB   mount DIR/data-root.img at DIR/data-root, making it
//                          first unless one of that size is there already
// quylbmount DIR --delete  unmount it and remove the image
// Exit: 0 done, 2 already mounted (create), 1 failure with the reason on stderr.
//
// An image left by a power cut keeps the images and containers on it: it is
// mounted again, checked with e2fsck first when it is not clean, and made
// anew (with a syslog message saying so) only when the check fails.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

using String = std::string;

int fail( String const & why ) {
   fprintf( stderr, "quylbmount: %s\n", why.c_str() );
   return 1;
}

// mountinfo escapes blanks and backslashes as octal.
String unescape( String const & s ) {
   String out;
   for ( size_t i = 0; i < s.size(); ++i ) {
      if ( s[ i ] == '\\' && i + 3 < s.size() ) {
         out += static_cast< char >( strtol( s.substr( i + 1, 3 ).c_str(), nullptr, 8 ) );
         i += 3;
      } else {
         out += s[ i ];
      }
   }
   return out;
}

bool isMountPoint( String const & path ) {
   char real[ PATH_MAX ];
   if ( !realpath( path.c_str(), real ) ) {
      return false;
   }
   std::ifstream in( "/proc/self/mountinfo" );
   String line;
   while ( std::getline( in, line ) ) {
      std::istringstream f( line );
      String id, parent, dev, root, mp;
      f >> id >> parent >> dev >> root >> mp;
      if ( unescape( mp ) == real ) {
         return true;
      }
   }
   return false;
}

// Runs a program (no shell); its stderr goes to ours so the reason is kept.
// Its exit status, -1 when it did not exit.
int runStatus( std::vector< String > const & words ) {
   std::vector< char * > argv;
   for ( auto const & w : words ) {
      argv.push_back( const_cast< char * >( w.c_str() ) );
   }
   argv.push_back( nullptr );
   pid_t pid = fork();
   if ( pid < 0 ) {
      return -1;
   }
   if ( pid == 0 ) {
      int devnull = open( "/dev/null", O_WRONLY );
      dup2( devnull, 1 );
      setenv( "PATH", "/usr/sbin:/sbin:/usr/bin:/bin", 1 );
      execvp( argv[ 0 ], argv.data() );
      fprintf( stderr, "quylbmount: cannot run %s: %s\n", argv[ 0 ], strerror( errno ) );
      _exit( 127 );
   }
   int st;
   while ( waitpid( pid, &st, 0 ) < 0 && errno == EINTR ) {
   }
   return WIFEXITED( st ) ? WEXITSTATUS( st ) : -1;
}

bool run( std::vector< String > const & words ) { return runStatus( words ) == 0; }

// Whether the superblock of the ext4 file system in `image` says it was
// unmounted clean (valid, no errors recorded).
bool superblockClean( String const & image ) {
   unsigned char sb[ 0x3c ];
   int fd = open( image.c_str(), O_RDONLY | O_CLOEXEC );
   if ( fd < 0 ) {
      return false;
   }
   bool const read = pread( fd, sb, sizeof sb, 1024 ) == ssize_t( sizeof sb );
   close( fd );
   unsigned const magic = sb[ 0x38 ] | sb[ 0x39 ] << 8;
   unsigned const state = sb[ 0x3a ] | sb[ 0x3b ] << 8;
   return read && magic == 0xef53 && ( state & 1 ) && !( state & 2 );
}

// e2fsck repairs what it can; 4 and above mean it could not.
bool check( String const & image ) {
   int const status = runStatus( { "e2fsck", "-f", "-y", image } );
   return status >= 0 && status < 4;
}

bool mountImage( String const & image, String const & target ) {
   return run( { "mount", "-o", "loop", "-t", "ext4", image, target } );
}

// Mounts the image an earlier run left: checked first when its superblock
// says it is not clean, and once more when it does not mount.
bool mountExisting( String const & image, String const & target ) {
   bool checked = false;
   if ( !superblockClean( image ) ) {
      fprintf( stderr, "quylbmount: %s was not unmounted clean; checking it\n", image.c_str() );
      if ( !check( image ) ) {
         return false;
      }
      checked = true;
   }
   if ( mountImage( image, target ) ) {
      return true;
   }
   return !checked && check( image ) && mountImage( image, target );
}

int create( String const & dir, String const & sizeText ) {
   char * end = nullptr;
   errno = 0;
   unsigned long long mb = strtoull( sizeText.c_str(), &end, 10 );
   if ( sizeText.empty() || *end || errno || sizeText[ 0 ] == '-' ) {
      return fail( "invalid size '" + sizeText + "'" );
   }
   if ( mb == 0 ) {
      return fail( "size must be at least 1 MiB" );
   }
   String image = dir + "/data-root.img";
   String target = dir + "/data-root";
   if ( isMountPoint( target ) ) {
      fprintf( stderr, "quylbmount: %s is already mounted\n", target.c_str() );
      return 2;
   }
   if ( !run( { "mkdir", "-p", dir } ) ) {
      return fail( "cannot create " + dir );
   }
   bool madeTarget = mkdir( target.c_str(), 0755 ) == 0;
   if ( !madeTarget && errno != EEXIST ) {
      return fail( "cannot create " + target + ": " + strerror( errno ) );
   }
   // An image of this size is this data root from before: its space is
   // taken already, and what is on it is kept.
   struct stat st;
   bool const existing = stat( image.c_str(), &st ) == 0 && S_ISREG( st.st_mode ) &&
                         static_cast< unsigned long long >( st.st_size ) == ( mb << 20 );
   if ( existing ) {
      if ( mountExisting( image, target ) ) {
         return 0;
      }
      openlog( "quylbmount", LOG_PID, LOG_DAEMON );
      syslog( LOG_ERR, "%s could not be repaired; making a new, empty file system in its place",
              image.c_str() );
      closelog();
      fprintf( stderr, "quylbmount: %s could not be repaired; making it anew\n", image.c_str() );
      unlink( image.c_str() );
   }
   auto cleanup = [ & ]( String const & why ) {
      unlink( image.c_str() );
      if ( madeTarget ) {
         rmdir( target.c_str() );
      }
      return fail( why );
   };
   struct statvfs vfs;
   if ( statvfs( dir.c_str(), &vfs ) != 0 ) {
      return cleanup( "statvfs " + dir + ": " + strerror( errno ) );
   }
   unsigned long long freeMb =
      ( static_cast< unsigned long long >( vfs.f_bavail ) * vfs.f_frsize ) >> 20;
   if ( mb > freeMb ) {
      return cleanup( "not enough space in " + dir + ": " + std::to_string( freeMb ) +
                      " MiB free, " + std::to_string( mb ) + " MiB requested" );
   }
   int fd = open( image.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600 );
   if ( fd < 0 ) {
      return cleanup( "cannot create " + image + ": " + strerror( errno ) );
   }
   // Sparse: the file takes flash only as the file system fills.
   if ( ftruncate( fd, static_cast< off_t >( mb << 20 ) ) != 0 ) {
      int e = errno;
      close( fd );
      return cleanup( "cannot size " + image + ": " + strerror( e ) );
   }
   close( fd );
   if ( !run( { "mkfs.ext4", "-q", "-F", image } ) ) {
      return cleanup( "mkfs.ext4 failed on " + image );
   }
   // The new image must outlive a power cut right after this: its directory
   // entry is synced.
   if ( int dfd = open( dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC ); dfd >= 0 ) {
      fsync( dfd );
      close( dfd );
   }
   if ( !mountImage( image, target ) ) {
      return cleanup( "cannot mount " + image + " on " + target );
   }
   return 0;
}

int remove( String const & dir ) {
   String image = dir + "/data-root.img";
   String target = dir + "/data-root";
   // -d detaches the loop device along with the unmount.
   if ( isMountPoint( target ) && !run( { "umount", "-d", target } ) ) {
      return fail( "cannot unmount " + target );
   }
   if ( unlink( image.c_str() ) != 0 && errno != ENOENT ) {
      return fail( "cannot remove " + image + ": " + strerror( errno ) );
   }
   if ( rmdir( target.c_str() ) != 0 && errno != ENOENT ) {
      return fail( "cannot remove " + target + ": " + strerror( errno ) );
   }
   return 0;
}

} // namespace

int main( int argc, char ** argv ) {
   if ( argc == 2 && String( argv[ 1 ] ) == "--help" ) {
      printf( "Usage: quylbmount DIR SIZE_MB | quylbmount DIR --delete\n"
              "Mounts a loop file of SIZE_MB megabytes (ext4) on DIR, the container data\n"
              "root on flash, or unmounts it and removes the file.\n" );
      return 0;
   }
   if ( argc != 3 ) {
      return fail( "usage: quylbmount DIR SIZE_MB | quylbmount DIR --delete" );
   }
   String dir = argv[ 1 ];
   String arg = argv[ 2 ];
   return arg == "--delete" ? remove( dir ) : create( dir, arg );
}
