// quyctl with a credential store: passwords in root-only files, never in
// the database, and removed once nothing names them.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <filesystem>

#include "model/Model.h"
#include "platform/posix/Credentials.h"
#include "platform/posix/Files.h"
#include "tools/quyctl/QuyctlFixture.h"

namespace Quayd::Quyctl {
namespace {

// With the credential store of a real quyctl: the password goes to a
// root-only file, the database holds only its name, and files nobody names
// any more are removed.
class QuyctlCredentialTest : public QuyctlTest {
 protected:
   QuyctlCredentialTest() { credentials_ = &store_; }
   ~QuyctlCredentialTest() override { std::filesystem::remove_all( dir_ ); }
   std::set< String > files() {
      std::set< String > names;
      for ( auto const & e : std::filesystem::directory_iterator( store_.dir() ) ) {
         if ( isCredentialName( e.path().filename() ) ) {
            names.insert( e.path().filename() );
         }
      }
      return names;
   }
   // Every key and field of the database, as one text.
   String dump() {
      String all;
      auto c = server_.client();
      for ( auto const & key : c.scan( "*" ) ) {
         for ( auto const & [ f, v ] : c.hgetall( key ) ) {
            all += key + " " + f + " " + v + "\n";
         }
      }
      return all;
   }
   mode_t modeOf( String const & path ) {
      struct stat st {};
      EXPECT_EQ( stat( path.c_str(), &st ), 0 ) << path;
      return st.st_mode & 07777;
   }

   String dir_ =
      std::filesystem::temp_directory_path() / ( "quyctl-cred-" + std::to_string( getpid() ) );
   CredentialStore store_{ dir_ + "/credentials" };
};

TEST_F( QuyctlCredentialTest, PasswordsLiveInRootOnlyFilesNotInTheDatabase ) {
   in_.str( "s3cret\n" );
   ASSERT_EQ( quyctl( { "registry", "lab", "--server", "127.0.0.1:5000", "--username", "ops",
                        "--password-stdin" } ),
              kOk )
      << err_.str();
   ASSERT_EQ( files().size(), 1u );
   String const first = *files().begin();
   EXPECT_EQ( modeOf( store_.dir() ), 0700u );
   EXPECT_EQ( modeOf( store_.dir() + "/" + first ), 0600u );
   EXPECT_EQ( readFile( store_.dir() + "/" + first ), "s3cret" );
   EXPECT_EQ( hget( "quayd/registry/config|lab", "params" ),
              R"({"credential":")" + first +
                 R"(","insecure":false,"server":"127.0.0.1:5000","username":"ops"})" );

   // A plain password written with set is kept the same way.
   ASSERT_EQ( quyctl( { "set", "quayd/registry/config|other",
                        R"(params={"server":"r:5000","username":"u","password":"hunter2"})" } ),
              kOk )
      << err_.str();
   EXPECT_EQ( files().size(), 2u );
   String const db = dump();
   EXPECT_EQ( db.find( "s3cret" ), String::npos ) << db;
   EXPECT_EQ( db.find( "hunter2" ), String::npos ) << db;

   // A new password replaces the file; the old one goes unless status names it.
   server_.client().command( { "HSET", "cell/0/quayd/registry/status|lab", "params",
                               *hget( "quayd/registry/config|lab", "params" ), "state",
                               "loggedIn" } );
   in_.str( "n3w\n" );
   ASSERT_EQ( quyctl( { "registry", "lab", "--server", "127.0.0.1:5000", "--username", "ops",
                        "--password-stdin" } ),
              kOk );
   EXPECT_EQ( files().size(), 3u ) << "the status still names the old password";
   server_.client().command( { "DEL", "cell/0/quayd/registry/status|lab" } );
   ASSERT_EQ( quyctl( { "registry", "other", "--delete" } ), kOk );
   ASSERT_EQ( files().size(), 1u );
   EXPECT_EQ( readFile( store_.dir() + "/" + *files().begin() ), "n3w" );
   ASSERT_EQ( quyctl( { "registry", "lab", "--delete" } ), kOk );
   EXPECT_TRUE( files().empty() );
}

TEST_F( QuyctlCredentialTest, AStoreThatCannotBeWrittenWritesNothing ) {
   CredentialStore broken( "/proc/no-such-dir/credentials" );
   credentials_ = &broken;
   in_.str( "s3cret\n" );
   EXPECT_EQ( quyctl(
                 { "registry", "lab", "--server", "r", "--username", "ops", "--password-stdin" } ),
              kFailed );
   EXPECT_NE( err_.str().find( "/proc/no-such-dir/credentials" ), String::npos ) << err_.str();
   EXPECT_EQ( dbsize(), 0u );
}

// The value carries the password's name only (the database's text is checked
// above); encoding and decoding never touch the store, and only a name of
// the store's form decodes.
TEST( RegistryParamsText, CarriesTheCredentialNameAndNeverThePassword ) {
   RegistryParams p{ "r:5000", "ops", "", false, String( 32, 'a' ) };
   RegistryParams back;
   EXPECT_FALSE( Codec< RegistryParams >::decode( Codec< RegistryParams >::encode( p ), back ) );
   EXPECT_EQ( back, p );
   for ( char const * bad : { R"({"credential":"../../etc/shadow"})", R"({"credential":7})" } ) {
      EXPECT_TRUE( Codec< RegistryParams >::decode( bad, back ) ) << bad;
   }
}

} // namespace
} // namespace Quayd::Quyctl
