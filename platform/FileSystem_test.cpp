// Durable writes on the in-memory file system, which records each step.
#include <gtest/gtest.h>

#include "platform/Exception.h"
#include "platform/FileSystem.h"
#include "platform/testing/FakeFileSystem.h"

namespace Quayd {
namespace {

TEST( WriteFileDurably, SyncsTheFileBeforeTheRenameAndTheDirectoryAfterIt ) {
   Testing::FakeFileSystem files;
   files.addFile( "/var/lib/quayd/credentials/ab", "old" );

   writeFileDurably( files, "/var/lib/quayd/credentials/ab", "new", 0600 );

   std::vector< String > const expected{
      "write /var/lib/quayd/credentials/ab.tmp",
      "sync /var/lib/quayd/credentials/ab.tmp",
      "rename /var/lib/quayd/credentials/ab.tmp /var/lib/quayd/credentials/ab",
      "syncDir /var/lib/quayd/credentials",
   };
   EXPECT_EQ( files.steps, expected );
   EXPECT_EQ( files.content( "/var/lib/quayd/credentials/ab" ), "new" );
   EXPECT_FALSE( files.exists( "/var/lib/quayd/credentials/ab.tmp" ) );
}

TEST( WriteFileDurably, AFileAtTheTopSyncsTheRoot ) {
   Testing::FakeFileSystem files;
   writeFileDurably( files, "/pending", "c1", 0600 );
   EXPECT_EQ( files.steps.back(), "syncDir /" );
}

// A step that fails leaves the old content and no temporary file, and the
// caller learns why.
TEST( WriteFileDurably, AFailedStepKeepsTheOldContent ) {
   for ( char const * step : { "writeFile", "syncFile", "rename" } ) {
      SCOPED_TRACE( step );
      Testing::FakeFileSystem files;
      files.addFile( "/var/lib/quayd/run/pending", "old" );
      files.failing.insert( step );

      EXPECT_THROW( writeFileDurably( files, "/var/lib/quayd/run/pending", "new", 0600 ),
                    RuntimeException );

      EXPECT_EQ( files.content( "/var/lib/quayd/run/pending" ), "old" );
      EXPECT_FALSE( files.exists( "/var/lib/quayd/run/pending.tmp" ) );
      EXPECT_TRUE( std::find( files.steps.begin(), files.steps.end(),
                              "syncDir /var/lib/quayd/run" ) == files.steps.end() );
   }
}

} // namespace
} // namespace Quayd
