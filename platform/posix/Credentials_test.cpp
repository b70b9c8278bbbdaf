// The credential store's sweep of files a crash left half-written.
#include <gtest/gtest.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/posix/Credentials.h"

namespace Quayd {
namespace {

namespace fs = std::filesystem;

TEST( CredentialStore, TemporariesAreSweptUnlessAnotherRunHoldsTheLock ) {
   String const dir = fs::temp_directory_path() / ( "quayd-cred-" + std::to_string( getpid() ) );
   CredentialStore store( dir );
   String const name = store.put( "s3cret" );
   fs::create_directories( dir + "/docker" );
   for ( String const f :
         { name + ".tmp", String( "docker/config.json.tmp" ), String( "docker/config.json" ) } ) {
      std::ofstream( dir + "/" + f ) << "half";
   }
   {
      CredentialStore::Lock const busy( dir, false ); // a quyctl run putting a password
      EXPECT_TRUE( store.sweepTemporaries().empty() );
      EXPECT_TRUE( fs::exists( dir + "/" + name + ".tmp" ) );
   }
   EXPECT_EQ( store.sweepTemporaries().size(), 2u );
   EXPECT_FALSE( fs::exists( dir + "/" + name + ".tmp" ) );
   EXPECT_FALSE( fs::exists( dir + "/docker/config.json.tmp" ) );
   EXPECT_TRUE( fs::exists( dir + "/docker/config.json" ) );
   EXPECT_EQ( store.get( name ), "s3cret" );
   fs::remove_all( dir );
}

} // namespace
} // namespace Quayd
