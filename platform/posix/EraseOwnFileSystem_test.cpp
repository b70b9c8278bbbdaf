// The real eraser in a private mount namespace, over a tmpfs standing in
// for /var/lib/docker with a bind-type volume mounted in it.
#include <fcntl.h>
#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "platform/posix/EraseOwnFileSystem.h"

namespace Quayd {
namespace {

namespace fs = std::filesystem;

TEST( EraseOwnFileSystem, MountsBelowAreUnmountedAndWhatTheyShowIsKept ) {
   ASSERT_EQ( ::unshare( CLONE_NEWNS ), 0 ) << strerror( errno );
   ASSERT_EQ( ::mount( "", "/", nullptr, MS_REC | MS_PRIVATE, nullptr ), 0 );
   ASSERT_EQ( ::mount( "tmpfs", "/mnt", "tmpfs", 0, "size=4m" ), 0 );
   String const root = "/mnt/docker";
   String const host = "/mnt/host"; // the directory a volume binds
   fs::create_directories( root );
   ASSERT_EQ( ::mount( "tmpfs", root.c_str(), "tmpfs", 0, "size=4m" ), 0 );
   fs::create_directories( host + "/sub" );
   std::ofstream( host + "/sub/keep" ) << "data";
   // One volume idle, one held open by a container (busy: detached lazily).
   for ( String const volume : { "idle", "busy" } ) {
      String const at = root + "/volumes/" + volume + "/_data";
      fs::create_directories( at );
      ASSERT_EQ( ::mount( host.c_str(), at.c_str(), nullptr, MS_BIND, nullptr ), 0 );
   }
   int const held = ::open( ( root + "/volumes/busy/_data/sub/keep" ).c_str(), O_RDONLY );
   ASSERT_GE( held, 0 );
   fs::create_directories( root + "/overlay2/abc" );
   std::ofstream( root + "/engine-id" ) << "x";

   eraseOwnFileSystem( root );

   EXPECT_TRUE( fs::is_empty( root ) );
   EXPECT_TRUE( fs::exists( host + "/sub/keep" ) );
   ::close( held );
}

} // namespace
} // namespace Quayd
