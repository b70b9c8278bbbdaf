// quylbmount DIR SIZE_MB   mount DIR/data-root.img at DIR/data-root, making it
//                          first when there is none, resizing it in place when
//                          it has another size
// quylbmount DIR --unmount unmount it and keep the image
// quylbmount DIR --delete  unmount it and remove the image
// Exit: 0 done, 2 already mounted (create), 1 failure with the reason on stderr.
//
// An existing image keeps the images and containers on it: it is mounted
// again, checked with e2fsck first when it is not clean, and made anew
// (with a syslog message saying so) only when e2fsck says it cannot be
// repaired. Any other failure leaves it as it is. The programs run here die
// with this one, so a time-out of the caller leaves none of them writing.
#include <fcntl.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/posix/MountInfo.h"

namespace {

using String = std::string;

int fail( String const & why ) {
   fprintf( stderr, "quylbmount: %s\n", why.c_str() );
   return 1;
}

bool isMountPoint( String const & path ) {
   char real[ PATH_MAX ];
   if ( !realpath( path.c_str(), real ) ) {
      return false;
   }
   auto const all = Quayd::mountPoints();
   return std::find( all.begin(), all.end(), String( real ) ) != all.end();
}

// What the programs run here start with, built in main: this tool's
// environment, with a PATH that finds them where the caller set none.
struct Tools {
   static constexpr char const * kDefaultPath = "/usr/sbin:/sbin:/usr/bin:/bin";
   std::vector< String > environment; // "NAME=value"
   std::vector< String > path;        // the directories of its PATH

   // `name` in the first directory of the path that holds it as a program;
   // as it is when it has a slash or none does.
   String find( String const & name ) const {
      if ( name.find( '/' ) != String::npos ) {
         return name;
      }
      for ( auto const & dir : path ) {
         String const candidate = ( dir.empty() ? String( "." ) : dir ) + "/" + name;
         if ( access( candidate.c_str(), X_OK ) == 0 ) {
            return candidate;
         }
      }
      return name;
   }
};

Tools toolsOf( char const * const * entries ) {
   Tools t;
   String path = Tools::kDefaultPath;
   bool hasPath = false;
   for ( auto e = entries; e && *e; ++e ) {
      String const entry( *e );
      if ( entry.rfind( "PATH=", 0 ) == 0 ) {
         hasPath = true;
         path = entry.substr( 5 );
      }
      t.environment.push_back( entry );
   }
   if ( !hasPath ) {
      t.environment.push_back( String( "PATH=" ) + path );
   }
   for ( size_t from = 0;; ) {
      size_t const colon = path.find( ':', from );
      t.path.push_back( path.substr( from, colon == String::npos ? String::npos : colon - from ) );
      if ( colon == String::npos ) {
         break;
      }
      from = colon + 1;
   }
   return t;
}

// Runs a program (no shell); its stderr goes to ours so the reason is kept.
// Its exit status, -1 when it did not exit.
int runStatus( Tools const & tools, std::vector< String > const & words ) {
   std::vector< char * > argv;
   for ( auto const & w : words ) {
      argv.push_back( const_cast< char * >( w.c_str() ) );
   }
   argv.push_back( nullptr );
   // Everything the child needs is built before the fork.
   String const program = tools.find( words[ 0 ] );
   std::vector< char * > envp;
   for ( auto const & e : tools.environment ) {
      envp.push_back( const_cast< char * >( e.c_str() ) );
   }
   envp.push_back( nullptr );
   pid_t const self = getpid();
   pid_t pid = fork();
   if ( pid < 0 ) {
      return -1;
   }
   if ( pid == 0 ) {
      int devnull = open( "/dev/null", O_WRONLY );
      dup2( devnull, 1 );
      prctl( PR_SET_PDEATHSIG, SIGKILL );
      if ( getppid() != self ) {
         _exit( 127 ); // this tool ended before the line above
      }
      execve( program.c_str(), argv.data(), envp.data() );
      fprintf( stderr, "quylbmount: cannot run %s: %s\n", argv[ 0 ], strerror( errno ) );
      _exit( 127 );
   }
   int st;
   while ( waitpid( pid, &st, 0 ) < 0 && errno == EINTR ) {
   }
   return WIFEXITED( st ) ? WEXITSTATUS( st ) : -1;
}

bool run( Tools const & tools, std::vector< String > const & words ) {
   return runStatus( tools, words ) == 0;
}

struct Superblock {
   bool ext4 = false;
   bool clean = false; // valid, no errors recorded
   unsigned long long bytes = 0;
};

// What the superblock of the ext4 file system in `image` says.
Superblock superblockOf( String const & image ) {
   unsigned char sb[ 0x158 ];
   Superblock out;
   int fd = open( image.c_str(), O_RDONLY | O_CLOEXEC );
   if ( fd < 0 ) {
      return out;
   }
   bool const read = pread( fd, sb, sizeof sb, 1024 ) == ssize_t( sizeof sb );
   close( fd );
   auto u16 = [ & ]( size_t at ) { return unsigned( sb[ at ] | sb[ at + 1 ] << 8 ); };
   auto u32 = [ & ]( size_t at ) {
      return static_cast< unsigned long long >( u16( at ) ) | ( u16( at + 2 ) * 1ULL ) << 16;
   };
   if ( !read || u16( 0x38 ) != 0xef53 ) {
      return out;
   }
   out.ext4 = true;
   unsigned const state = u16( 0x3a );
   out.clean = ( state & 1 ) && !( state & 2 );
   unsigned long long blocks = u32( 0x04 );
   if ( u32( 0x60 ) & 0x80 ) { // 64-bit block numbers
      blocks |= u32( 0x150 ) << 32;
   }
   out.bytes = blocks << ( 10 + u32( 0x18 ) );
   return out;
}

// e2fsck repairs what it can; 4 and above mean it could not, -1 that it did
// not end by itself (or did not run).
int check( Tools const & tools, String const & image ) {
   return runStatus( tools, { "e2fsck", "-f", "-y", image } );
}

bool mountImage( Tools const & tools, String const & image, String const & target ) {
   return run( tools, { "mount", "-o", "loop", "-t", "ext4", image, target } );
}

void sayReplaced( String const & image ) {
   openlog( "quylbmount", LOG_PID, LOG_DAEMON );
   syslog( LOG_ERR, "%s could not be repaired; making a new, empty file system in its place",
           image.c_str() );
   closelog();
   fprintf( stderr, "quylbmount: %s could not be repaired; making it anew\n", image.c_str() );
}

unsigned long long freeMbIn( String const & dir ) {
   struct statvfs vfs;
   if ( statvfs( dir.c_str(), &vfs ) != 0 ) {
      return 0;
   }
   return ( static_cast< unsigned long long >( vfs.f_bavail ) * vfs.f_frsize ) >> 20;
}

enum class Outcome { done, failed, beyondRepair };

// e2fsck of `image`: beyond repair at status 4 or more; failed, and said so,
// when it did not finish.
Outcome checkImage( Tools const & tools, String const & image ) {
   int const status = check( tools, image );
   if ( status >= 4 ) {
      return Outcome::beyondRepair;
   }
   if ( status < 0 ) {
      fail( "e2fsck did not finish on " + image + "; the image is kept" );
      return Outcome::failed;
   }
   return Outcome::done;
}

// Brings the file system in `image` to `mb` MiB in place, keeping what is
// on it: grown always (when flash has the room), shrunk only when its data
// fits. The file follows the file system, so a cut between the two steps
// is finished by the next run.
Outcome resize( Tools const & tools, String const & image, String const & dir,
                unsigned long long mb, unsigned long long fsBytes ) {
   unsigned long long const want = mb << 20;
   struct stat st;
   if ( stat( image.c_str(), &st ) != 0 ) {
      fail( "cannot read " + image + ": " + strerror( errno ) );
      return Outcome::failed;
   }
   unsigned long long const fileBytes = static_cast< unsigned long long >( st.st_size );
   if ( fsBytes != want ) {
      if ( Outcome const o = checkImage( tools, image ); o != Outcome::done ) {
         return o;
      }
   }
   if ( want > fileBytes ) {
      unsigned long long const more = ( want - fileBytes ) >> 20;
      if ( more > freeMbIn( dir ) ) {
         fail( "not enough space in " + dir + " to grow " + image + " to " + std::to_string( mb ) +
               " MiB: " + std::to_string( freeMbIn( dir ) ) + " MiB free, " +
               std::to_string( more ) + " MiB more needed; the image is kept" );
         return Outcome::failed;
      }
      if ( truncate( image.c_str(), static_cast< off_t >( want ) ) != 0 ) {
         fail( "cannot grow " + image + ": " + strerror( errno ) );
         return Outcome::failed;
      }
   }
   if ( fsBytes != want && !run( tools, { "resize2fs", image, std::to_string( mb ) + "M" } ) ) {
      fail( "cannot resize the file system in " + image + " to " + std::to_string( mb ) +
            " MiB (its data does not fit in it); the image is kept at " +
            std::to_string( fsBytes >> 20 ) + " MiB" );
      return Outcome::failed;
   }
   if ( want < fileBytes && truncate( image.c_str(), static_cast< off_t >( want ) ) != 0 ) {
      fail( "cannot shrink " + image + ": " + strerror( errno ) );
      return Outcome::failed;
   }
   return Outcome::done;
}

// Mounts the image an earlier run left, at `mb` MiB: checked first when its
// superblock says it is not clean, and once more when it does not mount.
// Only a check that cannot repair it lets it go.
Outcome mountExisting( Tools const & tools, String const & image, String const & dir,
                       String const & target, unsigned long long mb ) {
   Superblock const sb = superblockOf( image );
   bool checked = false;
   if ( !sb.clean ) {
      fprintf( stderr, "quylbmount: %s was not unmounted clean; checking it\n", image.c_str() );
      if ( Outcome const o = checkImage( tools, image ); o != Outcome::done ) {
         return o;
      }
      checked = true;
   }
   if ( Outcome const o = resize( tools, image, dir, mb, superblockOf( image ).bytes );
        o != Outcome::done ) {
      return o;
   }
   if ( mountImage( tools, image, target ) ) {
      return Outcome::done;
   }
   if ( !checked ) {
      int const status = check( tools, image );
      if ( status >= 4 ) {
         return Outcome::beyondRepair;
      }
      if ( status >= 0 && mountImage( tools, image, target ) ) {
         return Outcome::done;
      }
   }
   // No free loop device, a missing module: nothing the image can help.
   fail( "cannot mount " + image + " on " + target + "; the image is kept" );
   return Outcome::failed;
}

void syncDir( String const & dir ) {
   if ( int dfd = open( dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC ); dfd >= 0 ) {
      fsync( dfd );
      close( dfd );
   }
}

// Makes a new image beside the old place and renames it in: a power cut
// while mkfs runs leaves only the temporary file, which the next run drops.
int makeImage( Tools const & tools, String const & dir, String const & image, String const & target,
               unsigned long long mb ) {
   String const fresh = image + ".new";
   unsigned long long const freeMb = freeMbIn( dir );
   if ( mb > freeMb ) {
      return fail( "not enough space in " + dir + ": " + std::to_string( freeMb ) + " MiB free, " +
                   std::to_string( mb ) + " MiB requested" );
   }
   auto cleanup = [ & ]( String const & why ) {
      unlink( fresh.c_str() );
      return fail( why );
   };
   int fd = open( fresh.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600 );
   if ( fd < 0 ) {
      return cleanup( "cannot create " + fresh + ": " + strerror( errno ) );
   }
   // Sparse: the file takes flash only as the file system fills.
   if ( ftruncate( fd, static_cast< off_t >( mb << 20 ) ) != 0 ) {
      int e = errno;
      close( fd );
      return cleanup( "cannot size " + fresh + ": " + strerror( e ) );
   }
   close( fd );
   if ( !run( tools, { "mkfs.ext4", "-q", "-F", fresh } ) ) {
      return cleanup( "mkfs.ext4 failed on " + fresh );
   }
   if ( rename( fresh.c_str(), image.c_str() ) != 0 ) {
      return cleanup( "cannot rename " + fresh + ": " + strerror( errno ) );
   }
   // The new image must outlive a power cut right after this.
   syncDir( dir );
   if ( !mountImage( tools, image, target ) ) {
      return fail( "cannot mount " + image + " on " + target );
   }
   return 0;
}

int create( Tools const & tools, String const & dir, String const & sizeText ) {
   char * end = nullptr;
   errno = 0;
   unsigned long long mb = strtoull( sizeText.c_str(), &end, 10 );
   if ( sizeText.empty() || *end || errno || sizeText[ 0 ] == '-' || mb > ( ULLONG_MAX >> 21 ) ) {
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
   if ( !run( tools, { "mkdir", "-p", dir } ) ) {
      return fail( "cannot create " + dir );
   }
   if ( mkdir( target.c_str(), 0755 ) != 0 && errno != EEXIST ) {
      return fail( "cannot create " + target + ": " + strerror( errno ) );
   }
   unlink( ( image + ".new" ).c_str() );
   struct stat st;
   if ( stat( image.c_str(), &st ) == 0 && S_ISREG( st.st_mode ) ) {
      switch ( mountExisting( tools, image, dir, target, mb ) ) {
      case Outcome::done:
         return 0;
      case Outcome::failed:
         return 1;
      case Outcome::beyondRepair:
         sayReplaced( image );
         unlink( image.c_str() );
      }
   }
   return makeImage( tools, dir, image, target, mb );
}

// Unmounts the data root; -d detaches the loop device along with it.
int unmount( Tools const & tools, String const & target ) {
   if ( isMountPoint( target ) && !run( tools, { "umount", "-d", target } ) ) {
      return fail( "cannot unmount " + target );
   }
   return 0;
}

int remove( Tools const & tools, String const & dir ) {
   String image = dir + "/data-root.img";
   String target = dir + "/data-root";
   if ( unmount( tools, target ) != 0 ) {
      return 1;
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

int main( int argc, char ** argv, char ** envp ) {
   if ( argc == 2 && String( argv[ 1 ] ) == "--help" ) {
      printf( "Usage: quylbmount DIR SIZE_MB | quylbmount DIR --unmount | quylbmount DIR --delete\n"
              "Mounts a loop file of SIZE_MB megabytes (ext4) on DIR, the container data\n"
              "root on flash, making it or resizing it in place as needed; or unmounts it,\n"
              "keeping the file (--unmount) or removing it (--delete).\n" );
      return 0;
   }
   if ( argc != 3 ) {
      return fail( "usage: quylbmount DIR SIZE_MB | quylbmount DIR --unmount | quylbmount DIR "
                   "--delete" );
   }
   Tools const tools = toolsOf( envp );
   String dir = argv[ 1 ];
   String arg = argv[ 2 ];
   if ( arg == "--unmount" ) {
      return unmount( tools, dir + "/data-root" );
   }
   return arg == "--delete" ? remove( tools, dir ) : create( tools, dir, arg );
}
