// Runs the real tool in a private mount namespace with a small tmpfs as flash.
#include <sched.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace fs = std::filesystem;
using String = std::string;

namespace {

String const kDir = "/mnt/flash/.quy";
String const kImage = kDir + "/data-root.img";
String const kStandIns = "/mnt/bin";

void standIn( String const & name, String const & script ) {
   String const path = kStandIns + "/" + name;
   std::ofstream( path ) << "#!/bin/sh\n" << script << "\n";
   fs::permissions( path, fs::perms::owner_all );
}

struct Result {
   int status;
   String err;
};

// `standIns`: a directory put first on the tool's PATH, for programs that
// fail as they do on a real switch.
Result quylbmount( String const & a, String const & b, String const & standIns = "" ) {
   int fds[ 2 ];
   EXPECT_EQ( pipe( fds ), 0 );
   pid_t pid = fork();
   if ( pid == 0 ) {
      dup2( fds[ 1 ], 2 );
      close( fds[ 0 ] );
      if ( !standIns.empty() ) {
         setenv( "PATH", ( standIns + ":/usr/sbin:/sbin:/usr/bin:/bin" ).c_str(), 1 );
      }
      execl( QUYLBMOUNT_PATH, "quylbmount", a.c_str(), b.c_str(), (char *)nullptr );
      _exit( 127 );
   }
   close( fds[ 1 ] );
   Result r{ -1, "" };
   char buf[ 256 ];
   ssize_t n;
   while ( ( n = read( fds[ 0 ], buf, sizeof buf ) ) > 0 ) {
      r.err.append( buf, n );
   }
   close( fds[ 0 ] );
   int st;
   waitpid( pid, &st, 0 );
   r.status = WIFEXITED( st ) ? WEXITSTATUS( st ) : -1;
   return r;
}

String fsTypeAt( String const & path ) {
   std::ifstream in( "/proc/self/mountinfo" );
   String line;
   while ( std::getline( in, line ) ) {
      std::istringstream f( line );
      String id, parent, dev, root, mp, opts, field;
      f >> id >> parent >> dev >> root >> mp >> opts;
      while ( f >> field && field != "-" ) {
      }
      String type;
      f >> type;
      if ( mp == path ) {
         return type;
      }
   }
   return "";
}

class QuylbmountTest : public ::testing::Test {
 protected:
   static void SetUpTestSuite() {
      ASSERT_EQ( unshare( CLONE_NEWNS ), 0 ) << strerror( errno );
      ASSERT_EQ( mount( "", "/", nullptr, MS_REC | MS_PRIVATE, nullptr ), 0 );
      // /mnt/flash may not exist on the host: the tmpfs over /mnt provides it.
      ASSERT_EQ( mount( "tmpfs", "/mnt", "tmpfs", 0, "size=1m" ), 0 );
      fs::create_directories( "/mnt/flash" );
      ASSERT_EQ( mount( "tmpfs", "/mnt/flash", "tmpfs", 0, "size=64m" ), 0 );
      fs::create_directories( kStandIns );
   }
   void TearDown() override { quylbmount( kDir, "--delete" ); }
};

// What a power cut leaves: the image unmounted without a word, its content
// on it.
void cutPower( String const & kept ) {
   std::ofstream( kDir + "/data-root/" + kept ) << "before the cut";
   ASSERT_EQ( std::system( ( "umount -d " + kDir + "/data-root" ).c_str() ), 0 );
}

bool contentKept( String const & kept ) {
   std::ifstream in( kDir + "/data-root/" + kept );
   String text;
   std::getline( in, text );
   return text == "before the cut";
}

TEST_F( QuylbmountTest, CreatesUnmountsMountsAgainAndDeletes ) {
   Result r = quylbmount( kDir, "16" );
   ASSERT_EQ( r.status, 0 ) << r.err;
   EXPECT_EQ( fsTypeAt( kDir + "/data-root" ), "ext4" );
   struct statvfs v;
   ASSERT_EQ( statvfs( ( kDir + "/data-root" ).c_str(), &v ), 0 );
   double mib = double( v.f_blocks ) * v.f_frsize / ( 1 << 20 );
   EXPECT_GT( mib, 12.0 );
   EXPECT_LE( mib, 16.0 );
   EXPECT_EQ( quylbmount( kDir, "16" ).status, 2 );

   std::ofstream( kDir + "/data-root/image.tar" ) << "before the cut";
   r = quylbmount( kDir, "--unmount" );
   EXPECT_EQ( r.status, 0 ) << r.err;
   EXPECT_EQ( fsTypeAt( kDir + "/data-root" ), "" );
   ASSERT_EQ( quylbmount( kDir, "16" ).status, 0 );
   EXPECT_TRUE( contentKept( "image.tar" ) ) << "the unmount kept the image";

   r = quylbmount( kDir, "--delete" );
   EXPECT_EQ( r.status, 0 ) << r.err;
   EXPECT_EQ( fsTypeAt( kDir + "/data-root" ), "" );
   EXPECT_FALSE( fs::exists( kImage ) );
   EXPECT_EQ( quylbmount( kDir, "--delete" ).status, 0 ) << "nothing left to delete";
}

TEST_F( QuylbmountTest, ASizeItCannotGiveFailsAndLeavesNoImage ) {
   for ( auto const & [ mb, why ] : { std::pair{ "0", "size" }, std::pair{ "100", "space" } } ) {
      Result r = quylbmount( kDir, mb );
      EXPECT_EQ( r.status, 1 ) << mb;
      EXPECT_NE( r.err.find( why ), String::npos ) << r.err;
      EXPECT_FALSE( fs::exists( kImage ) ) << mb;
      EXPECT_EQ( fsTypeAt( kDir + "/data-root" ), "" ) << mb;
   }
}

// After a power cut the image is mounted again as it is, checked first when
// marked not clean, made anew when beyond repair.
TEST_F( QuylbmountTest, AnImageLeftByAPowerCutIsMountedAgainCheckedOrMadeAnew ) {
   struct Case {
      char const * name;
      String damage; // a command run on the image after the cut
      char const * said;
      bool kept;
   } const cases[] = {
      { "as left", "true", "", true },
      { "not clean", "debugfs -w -R 'ssv state 0' " + kImage + " 2>/dev/null", "checking", true },
      // Nothing left of any superblock, the backups included.
      { "beyond repair", "truncate -s 0 " + kImage + " && truncate -s 16M " + kImage, "anew",
        false },
   };
   for ( auto const & c : cases ) {
      SCOPED_TRACE( c.name );
      ASSERT_EQ( quylbmount( kDir, "16" ).status, 0 );
      cutPower( "image.tar" );
      ASSERT_EQ( std::system( c.damage.c_str() ), 0 );

      Result r = quylbmount( kDir, "16" );

      EXPECT_EQ( r.status, 0 ) << r.err;
      EXPECT_EQ( fsTypeAt( kDir + "/data-root" ), "ext4" );
      EXPECT_EQ( contentKept( "image.tar" ), c.kept );
      if ( *c.said ) {
         EXPECT_NE( r.err.find( c.said ), String::npos ) << r.err;
      } else {
         EXPECT_EQ( r.err.find( "checking" ), String::npos ) << r.err;
      }
      quylbmount( kDir, "--delete" );
   }
}

ino_t inodeOf( String const & path ) {
   struct stat st {};
   return stat( path.c_str(), &st ) == 0 ? st.st_ino : 0;
}

bool processGone( pid_t pid ) {
   for ( int i = 0; i < 500; ++i ) {
      if ( kill( pid, 0 ) != 0 ) {
         return true;
      }
      usleep( 10000 );
   }
   return false;
}

TEST_F( QuylbmountTest, AMountThatFailsKeepsTheImageUntilItWorksAgain ) {
   ASSERT_EQ( quylbmount( kDir, "16" ).status, 0 );
   cutPower( "image.tar" );
   ino_t const inode = inodeOf( kImage );
   // As mount says when no loop device is free.
   standIn( "mount", "echo 'mount: could not find any free loop device' >&2; exit 32" );

   Result r = quylbmount( kDir, "16", kStandIns );

   EXPECT_EQ( r.status, 1 ) << r.err;
   EXPECT_NE( r.err.find( "free loop device" ), String::npos ) << r.err;
   EXPECT_NE( r.err.find( "kept" ), String::npos ) << r.err;
   EXPECT_EQ( inodeOf( kImage ), inode );
   r = quylbmount( kDir, "16" );
   EXPECT_EQ( r.status, 0 ) << r.err;
   EXPECT_TRUE( contentKept( "image.tar" ) );
}

TEST_F( QuylbmountTest, ASizeChangeResizesInPlaceAndAShrinkThatDoesNotFitIsRefused ) {
   ASSERT_EQ( quylbmount( kDir, "16" ).status, 0 );
   cutPower( "image.tar" );
   struct Step {
      char const * mb;
      int status;
      uintmax_t fileMb;
   };
   // Grown, shrunk back, then too small for what is on it.
   for ( Step const step : { Step{ "40", 0, 40 }, Step{ "16", 0, 16 }, Step{ "40", 0, 40 } } ) {
      Result r = quylbmount( kDir, step.mb );
      ASSERT_EQ( r.status, step.status ) << step.mb << ": " << r.err;
      EXPECT_EQ( fs::file_size( kImage ) >> 20, step.fileMb ) << step.mb;
      EXPECT_TRUE( contentKept( "image.tar" ) ) << step.mb;
      ASSERT_EQ( std::system( ( "umount -d " + kDir + "/data-root" ).c_str() ), 0 );
   }
   ASSERT_EQ( quylbmount( kDir, "40" ).status, 0 );
   ASSERT_EQ( std::system( ( "head -c 24M /dev/zero > " + kDir + "/data-root/big" ).c_str() ), 0 );
   cutPower( "image.tar" );

   Result r = quylbmount( kDir, "16" );

   EXPECT_EQ( r.status, 1 ) << r.err;
   EXPECT_NE( r.err.find( "kept at 40 MiB" ), String::npos ) << r.err;
   EXPECT_EQ( fs::file_size( kImage ) >> 20, 40u );
   ASSERT_EQ( quylbmount( kDir, "40" ).status, 0 );
   EXPECT_TRUE( contentKept( "image.tar" ) );
}

// The tool ends in the middle of a program it runs, as after a power cut or
// a time-out of the agent: the program goes with it, and the next run
// finds the image made anew (mkfs) or mounts it with its data (e2fsck).
TEST_F( QuylbmountTest, AProgramCutShortGoesWithTheToolAndTheNextRunRecovers ) {
   for ( String const program : { "mkfs.ext4", "e2fsck" } ) {
      SCOPED_TRACE( program );
      bool const checking = program == "e2fsck";
      if ( checking ) {
         ASSERT_EQ( quylbmount( kDir, "16" ).status, 0 );
         cutPower( "image.tar" );
         ASSERT_EQ( std::system(
                       ( "debugfs -w -R 'ssv state 0' " + kImage + " 2>/dev/null" ).c_str() ),
                    0 );
      }
      standIn( program, "echo $$ > /mnt/bin/pid; kill -9 $PPID; exec sleep 60 >/dev/null 2>&1" );

      Result r = quylbmount( kDir, "16", kStandIns );

      EXPECT_EQ( r.status, -1 ) << r.err;
      pid_t pid = 0;
      std::ifstream( kStandIns + "/pid" ) >> pid;
      ASSERT_GT( pid, 0 );
      EXPECT_TRUE( processGone( pid ) );
      fs::remove( kStandIns + "/" + program );
      r = quylbmount( kDir, "16" );
      EXPECT_EQ( r.status, 0 ) << r.err;
      EXPECT_EQ( contentKept( "image.tar" ), checking );
      EXPECT_FALSE( fs::exists( kImage + ".new" ) );
      quylbmount( kDir, "--delete" );
   }
}

} // namespace
