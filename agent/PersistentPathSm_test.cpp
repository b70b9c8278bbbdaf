// The persistent image path on the fake runtime, the in-memory file system
// and the virtual clock.
#include <gtest/gtest.h>

#include "agent/PersistentPathSm.h"
#include "platform/testing/Capture.h"
#include "platform/testing/FakeRuntime.h"
#include "platform/testing/VirtualTime.h"

namespace Quayd {
namespace {

using Strings = std::vector< String >;

class PersistentPathSmTest : public ::testing::Test {
 protected:
   PersistentPathSmTest() { time.files.makeDirs( "/mnt/flash" ); }
   void touch( String const & path ) { time.files.addFile( path ); }
   void create() {
      sm = persistentPathSmFactory( quaydStatus, config, status, imageLoadStatus, runtime,
                                    time.scheduler(), time.files );
   }
   // Starts the runtime manager and drains the loads.
   void started() {
      create();
      quaydStatus->stateIs( SmState::started_ );
      time.runReady();
   }
   Strings loads() const { return runtime->argsOf( "loadImage" ); }

   Testing::TraceCapture traces;
   Testing::VirtualTime time;
   Ptr< Testing::FakeRuntime > runtime = makePtr< Testing::FakeRuntime >();
   Ptr< QuaydStatus > quaydStatus = makePtr< QuaydStatus >();
   Ptr< PersistentPathConfig > config = makePtr< PersistentPathConfig >();
   Ptr< PersistentPathStatus > status = makePtr< PersistentPathStatus >();
   Ptr< ImageLoadStatusDir > imageLoadStatus = makePtr< ImageLoadStatusDir >();
   Ptr< PersistentPathSm > sm;
};

TEST_F( PersistentPathSmTest, LoadsTheConfiguredDirectoryThenFlashOnePerTaskRun ) {
   touch( "/data/.quayd/a.tar" );
   touch( "/mnt/flash/.quayd/b.tar" );
   config->pathIs( "/data" );
   create();
   quaydStatus->stateIs( SmState::started_ );
   EXPECT_EQ( status->state(), SmState::starting_ );
   EXPECT_EQ( sm->tarballPath(),
              ( std::deque< String >{ "/data/.quayd/a.tar", "/mnt/flash/.quayd/b.tar" } ) );
   time.turn();
   EXPECT_EQ( loads(), Strings{ "/data/.quayd/a.tar" } );
   EXPECT_EQ( status->state(), SmState::starting_ );
   time.turn();
   EXPECT_EQ( loads(), ( Strings{ "/data/.quayd/a.tar", "/mnt/flash/.quayd/b.tar" } ) );
   EXPECT_EQ( status->state(), SmState::started_ );
   EXPECT_EQ( status->image(), ( std::set< String >{ "/data/.quayd/a.tar:latest",
                                                     "/mnt/flash/.quayd/b.tar:latest" } ) );
}

struct ScanCase {
   String configured;
   Strings expected;
};

class ScannedDirectories : public PersistentPathSmTest,
                           public ::testing::WithParamInterface< ScanCase > {};

TEST_P( ScannedDirectories, FlashIsScannedUnlessConfiguredExactly ) {
   touch( "/mnt/flash/.quayd/f.tar" );
   config->pathIs( GetParam().configured );
   started();
   EXPECT_EQ( loads(), GetParam().expected );
}

INSTANTIATE_TEST_SUITE_P(
   Table, ScannedDirectories,
   ::testing::Values( ScanCase{ "/mnt/flash/", { "/mnt/flash/.quayd/f.tar" } },
                      // Without the slash it counts as another directory.
                      ScanCase{ "/mnt/flash",
                                { "/mnt/flash/.quayd/f.tar", "/mnt/flash/.quayd/f.tar" } },
                      ScanCase{ "", { "/mnt/flash/.quayd/f.tar" } },
                      ScanCase{ "/nonexistent", { "/mnt/flash/.quayd/f.tar" } } ) );

TEST_F( PersistentPathSmTest, AnEmptyDirectoryStartsWithoutRuntimeCalls ) {
   time.files.makeDirs( "/mnt/flash/.quayd" );
   config->pathIs( "/mnt/flash/" );
   create();
   quaydStatus->stateIs( SmState::started_ );
   EXPECT_EQ( status->state(), SmState::starting_ );
   time.turn();
   EXPECT_EQ( status->state(), SmState::started_ );
   EXPECT_TRUE( runtime->calls().empty() );
}

TEST_F( PersistentPathSmTest, FailedLoadsAreSkipped ) {
   touch( "/mnt/flash/.quayd/bad.tar" );
   time.files.makeDirs( "/mnt/flash/.quayd/sub" );
   touch( "/mnt/flash/.quayd/zz.tar" );
   runtime->failNext( "loadImage", RuntimeException( "not an image archive" ), 2 );
   config->pathIs( "/mnt/flash/" );
   started();
   EXPECT_EQ( loads().size(), 3u );
   EXPECT_EQ( status->state(), SmState::started_ );
   EXPECT_EQ( status->image().size(), 1u );
   EXPECT_TRUE( traces.contains( "Failed to load image: not an image archive", 0 ) );
}

TEST_F( PersistentPathSmTest, ImageLoadStoppingRemovesTheImagesAndCancelsPendingLoads ) {
   touch( "/mnt/flash/.quayd/a.tar" );
   touch( "/mnt/flash/.quayd/b.tar" );
   config->pathIs( "/mnt/flash/" );
   create();
   quaydStatus->stateIs( SmState::started_ );
   time.turn();
   ASSERT_EQ( status->image().size(), 1u );
   String const loaded = *status->image().begin();
   runtime->clearCalls();
   runtime->failNext( "removeImage", RuntimeException( "in use" ) );
   imageLoadStatus->stateIs( SmState::stopping_ );
   EXPECT_TRUE( runtime->calls().empty() ) << "waits for stopped_";
   imageLoadStatus->stateIs( SmState::stopped_ );
   EXPECT_EQ( runtime->calls(), Strings{ "removeImage(" + loaded + ")" } );
   EXPECT_TRUE( status->image().empty() );
   EXPECT_TRUE( sm->tarballPath().empty() );
   EXPECT_EQ( status->state(), SmState::stopped_ );
   time.runReady();
   EXPECT_EQ( loads().size(), 0u ) << "the pending run was cancelled";
}

TEST_F( PersistentPathSmTest, AStateLeftFromAnEarlierRunIsInherited ) {
   status->stateIs( SmState::started_ );
   create();
   EXPECT_EQ( status->state(), SmState::inherited_ );
   quaydStatus->stateIs( SmState::starting_ );
   EXPECT_EQ( status->state(), SmState::inherited_ );
}

TEST_F( PersistentPathSmTest, DestructionCancelsThePendingRun ) {
   touch( "/mnt/flash/.quayd/a.tar" );
   create();
   quaydStatus->stateIs( SmState::started_ );
   sm = nullptr;
   time.runReady();
   EXPECT_TRUE( loads().empty() );
}

} // namespace
} // namespace Quayd
