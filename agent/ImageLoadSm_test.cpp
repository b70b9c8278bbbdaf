// Image loading on the fake runtime and the virtual clock; the neighbouring
// links' states are written by the test.
#include <gtest/gtest.h>

#include "agent/ImageLoadSm.h"
#include "platform/testing/Capture.h"
#include "platform/testing/FakeRuntime.h"
#include "platform/testing/VirtualTime.h"

namespace Quayd {
namespace {

using Strings = std::vector< String >;

class ImageLoadSmTest : public ::testing::Test {
 protected:
   void create() {
      sm = imageLoadSmFactory( persistentPathStatus, config, status, registryStatus, runtime,
                               time.scheduler(), Sinks{ &traces, &logs } );
   }
   void enabled() {
      create();
      persistentPathStatus->stateIs( SmState::started_ );
   }
   // A new agent over a new runtime, holding loads out when told.
   void renew( bool hold ) {
      sm = nullptr;
      config = makePtr< ImageLoadConfigDir >();
      persistentPathStatus = makePtr< PersistentPathStatus >();
      status = makePtr< ImageLoadStatusDir >();
      runtime = makePtr< Testing::FakeRuntime >( time.scheduler() );
      runtime->hold = hold;
   }
   Strings calls( String const & name ) const { return runtime->argsOf( name ); }
   std::set< String > tags( String const & path ) const {
      auto e = status->status( path );
      return e ? e->tag() : std::set< String >{};
   }

   Testing::TraceCapture traces;
   Testing::LogCapture logs;
   Testing::VirtualTime time;
   // Loads in flight end from a task of the loop, unless the test holds them.
   Ptr< Testing::FakeRuntime > runtime = makePtr< Testing::FakeRuntime >( time.scheduler() );
   Ptr< PersistentPathStatus > persistentPathStatus = makePtr< PersistentPathStatus >();
   Ptr< ImageLoadConfigDir > config = makePtr< ImageLoadConfigDir >();
   Ptr< ImageLoadStatusDir > status = makePtr< ImageLoadStatusDir >();
   Ptr< RegistryStatusDir > registryStatus = makePtr< RegistryStatusDir >();
   Ptr< ImageLoadSm > sm;
};

TEST_F( ImageLoadSmTest, LoadsOneTarballPerRunAndRecordsItsImages ) {
   config->tarballIs( "/t/a.tar" );
   config->tarballIs( "/t/b.tar" );
   runtime->tarballImages[ "/t/a.tar" ] = { "app:1", "app:2" };
   enabled();
   time.turn();
   EXPECT_EQ( calls( "loadImage" ), Strings{ "/t/a.tar" } );
   EXPECT_EQ( status->state(), SmState::starting_ );
   time.turn();
   EXPECT_EQ( calls( "loadImage" ), ( Strings{ "/t/a.tar", "/t/b.tar" } ) );
   // Every load out: the chain goes on while b's still is.
   EXPECT_EQ( status->state(), SmState::started_ );
   EXPECT_EQ( tags( "/t/a.tar" ), ( std::set< String >{ "app:1", "app:2" } ) );
   time.runReady();
   EXPECT_EQ( calls( "inspectImage" ), ( Strings{ "app:1", "app:2", "/t/b.tar:latest" } ) );
}

TEST_F( ImageLoadSmTest, AFailedLoadIsReportedAndLeavesTheOthersLoaded ) {
   config->tarballIs( "/t/bad.tar" );
   config->tarballIs( "/t/good.tar" );
   runtime->failNext( "loadImage", RuntimeException( "unexpected EOF" ) );
   enabled();
   time.runReady();
   EXPECT_EQ( status->state(), SmState::started_ );
   EXPECT_EQ( tags( "/t/bad.tar" ), std::set< String >{} );
   EXPECT_EQ( tags( "/t/good.tar" ), std::set< String >{ "/t/good.tar:latest" } );
   ASSERT_EQ( logs.count( "QUAYD_IMAGE_LOAD_FAILED" ), 1u );
   EXPECT_EQ( logs.messages[ 0 ].text,
              "Image load from /t/bad.tar failed, container-runtime reported \"unexpected EOF\"." );
   EXPECT_EQ( logs.messages[ 0 ].severity, 3 );
   EXPECT_TRUE( traces.contains( "Failed to load image: unexpected EOF", 0 ) );

   // Removed from the configuration, the failed one leaves no entry.
   runtime->clearCalls();
   config->tarballDel( "/t/bad.tar" );
   EXPECT_TRUE( runtime->calls().empty() );
   EXPECT_FALSE( status->status( "/t/bad.tar" ) );
}

// Each reason a load fails for stands in the tarball's status until a load
// of it succeeds; a reason beyond a KiB is cut there.
TEST_F( ImageLoadSmTest, AFailedLoadsReasonIsInItsStatusUntilALoadSucceeds ) {
   String const longReason = "Error response from daemon: " + String( 5000, 'x' );
   struct Case {
      String reason;
      String status;
   } const cases[] = {
      { "loading /t/a.tar: No such file or directory",
        "loading /t/a.tar: No such file or directory" },
      { "/t/a.tar is not a regular file", "/t/a.tar is not a regular file" },
      { "Error response from daemon: unexpected EOF",
        "Error response from daemon: unexpected EOF" },
      { longReason, longReason.substr( 0, 1024 ) },
   };
   config->tarballIs( "/t/a.tar" );
   create();
   auto loadAgain = [ & ] { // the runtime lost the image: the next start loads it
      runtime->images.clear();
      persistentPathStatus->stateIs( SmState::inherited_ );
      persistentPathStatus->stateIs( SmState::started_ );
      time.runReady();
   };
   for ( auto const & c : cases ) {
      runtime->failNext( "loadImage", RuntimeException( c.reason ) );
      loadAgain();
      ASSERT_TRUE( status->status( "/t/a.tar" ) ) << c.reason;
      EXPECT_EQ( status->status( "/t/a.tar" )->error(), c.status );
      loadAgain();
      EXPECT_EQ( status->status( "/t/a.tar" )->error(), "" ) << c.reason;
      EXPECT_EQ( tags( "/t/a.tar" ), std::set< String >{ "/t/a.tar:latest" } );
      EXPECT_EQ( status->status().size(), 1u ) << "loaded again, still one entry";
   }
}

TEST_F( ImageLoadSmTest, ATarballAddedWhileStartingIsLoadedAheadOfTheQueue ) {
   config->tarballIs( "/t/a.tar" );
   config->tarballIs( "/t/b.tar" );
   enabled();
   config->tarballIs( "/t/c.tar" );
   EXPECT_EQ( calls( "loadImage" ), Strings{ "/t/c.tar" } );
   config->tarballIs( "/t/0.tar" );
   time.runReady();
   EXPECT_EQ( calls( "loadImage" ), ( Strings{ "/t/c.tar", "/t/0.tar", "/t/a.tar", "/t/b.tar" } ) );
   EXPECT_EQ( status->state(), SmState::started_ );
}

// A restart (of the agent, or after a power cut) over a data root that kept
// the images: what the status records and the runtime holds is not loaded
// twice; a tarball with one image missing is, and so is one rebuilt in place
// under the same tags, whose manifest names other images than the runtime
// has under them.
TEST_F( ImageLoadSmTest, ATarballIsLoadedAgainOnlyWhenTheRuntimeLacksItsImages ) {
   struct Case {
      char const * what;
      std::set< String > held; // in the runtime, with ID "sha256:<name>"
      Strings manifest;        // the IDs the tarball's manifest names
      bool manifestUnreadable;
      bool loaded;
   };
   std::set< String > const both{ "db:1", "db:2" };
   for ( auto const & c : std::vector< Case >{
            { "kept", both, { "sha256:db:1", "sha256:db:2" }, false, false },
            { "kept, in another order", both, { "sha256:db:2", "sha256:db:1" }, false, false },
            { "no manifest: the tags decide", both, {}, false, false },
            { "one image missing", { "db:1" }, { "sha256:db:1", "sha256:db:2" }, false, true },
            { "rebuilt in place", both, { "sha256:db:1", "sha256:new" }, false, true },
            { "an image more", both, { "sha256:db:1", "sha256:db:2", "sha256:x" }, false, true },
            { "manifest unreadable", both, {}, true, true },
         } ) {
      SCOPED_TRACE( c.what );
      sm = nullptr;
      runtime->clearCalls();
      status->statusDel( "/t/b.tar" );
      config->tarballIs( "/t/b.tar" );
      status->statusIs( "/t/b.tar" )->tagIs( "db:1" );
      status->status( "/t/b.tar" )->tagIs( "db:2" );
      runtime->images = c.held;
      runtime->imageIds.clear();
      runtime->tarballIds[ "/t/b.tar" ] = c.manifest;
      runtime->tarballImages[ "/t/b.tar" ] = { "db:1", "db:2" };
      if ( c.manifestUnreadable ) {
         runtime->failNext( "tarballImageIds", RuntimeException( "/t/b.tar: not readable" ) );
      }
      persistentPathStatus->stateIs( SmState::stopped_ );
      enabled();
      time.runReady();
      EXPECT_EQ( calls( "loadImage" ), c.loaded ? Strings{ "/t/b.tar" } : Strings{} );
      EXPECT_EQ( tags( "/t/b.tar" ), both );
   }
   EXPECT_TRUE(
      traces.contains( "Cannot read the manifest of /t/b.tar: /t/b.tar: not readable", 0 ) );
}

// A start waits for the load of a tarball rebuilt under tags the runtime
// holds, whose containers must run from the new images; the load of one
// whose images are gone is out while the chain goes on.
TEST_F( ImageLoadSmTest, OnlyALoadThatReplacesHeldImagesHoldsTheStart ) {
   struct Case {
      char const * what;
      std::set< String > held;
      SmState whileOut;
   };
   for ( auto const & c : std::vector< Case >{
            { "rebuilt in place", { "db:1" }, SmState::starting_ },
            { "its images gone", {}, SmState::started_ },
         } ) {
      SCOPED_TRACE( c.what );
      renew( true );
      runtime->images = c.held;
      runtime->tarballIds[ "/t/b.tar" ] = { "sha256:new" };
      runtime->tarballImages[ "/t/b.tar" ] = { "db:1" };
      config->tarballIs( "/t/b.tar" );
      status->statusIs( "/t/b.tar" )->tagIs( "db:1" );
      enabled();
      time.runReady();
      ASSERT_EQ( runtime->held(), Strings{ "loadImage(/t/b.tar)" } );
      EXPECT_EQ( status->state(), c.whileOut );
      runtime->complete();
      time.runReady();
      EXPECT_EQ( status->state(), SmState::started_ );
   }
}

// What an earlier run loaded and is no longer configured is unloaded first
// at enable, and a tarball removed while queued is unloaded and skipped.
TEST_F( ImageLoadSmTest, WhatIsNoLongerConfiguredIsUnloadedAndSkipped ) {
   status->statusIs( "/t/gone.tar" )->tagIs( "gone:1" );
   config->tarballIs( "/t/a.tar" );
   config->tarballIs( "/t/b.tar" );
   status->statusIs( "/t/b.tar" )->tagIs( "old:1" );
   enabled();
   EXPECT_EQ( runtime->calls(), Strings{ "removeImage(gone:1)" } );
   EXPECT_FALSE( status->status( "/t/gone.tar" ) );
   config->tarballDel( "/t/b.tar" );
   EXPECT_EQ( calls( "removeImage" ), ( Strings{ "gone:1", "old:1" } ) );
   EXPECT_FALSE( status->status( "/t/b.tar" ) );
   time.runReady();
   EXPECT_EQ( calls( "loadImage" ), Strings{ "/t/a.tar" } );
}

// Changes outside starting_ and started_ are ignored; with nothing
// configured the start takes one run and no runtime call.
TEST_F( ImageLoadSmTest, ConfigurationChangesOutsideStartingAndStartedAreIgnored ) {
   create();
   for ( SmState s : { SmState::stopped_, SmState::inherited_, SmState::stopping_ } ) {
      status->stateIs( s );
      config->tarballIs( "/t/x.tar" );
      config->tarballDel( "/t/x.tar" );
   }
   status->stateIs( SmState::stopped_ );
   persistentPathStatus->stateIs( SmState::started_ );
   EXPECT_EQ( status->state(), SmState::starting_ );
   time.turn();
   EXPECT_EQ( status->state(), SmState::started_ );
   EXPECT_TRUE( runtime->calls().empty() );
}

// A tarball's load is never out twice. Its configuration changed while it
// is out, the later one wins when it ends: loaded again, or, removed, what
// it gave is unloaded.
TEST_F( ImageLoadSmTest, AChangeWhileItsLoadIsOutTakesEffectWhenItEnds ) {
   struct Case {
      char const * story;
      std::function< void() > change;
      Strings loads; // once the load out has ended
      bool recorded;
      Strings removals;
   } const cases[] = {
      { "edited",
        [ & ] {
           config->tarballDel( "/t/a.tar" );
           config->tarballIs( "/t/a.tar" );
        },
        { "/t/a.tar", "/t/a.tar" },
        true,
        {} },
      { "removed",
        [ & ] { config->tarballDel( "/t/a.tar" ); },
        { "/t/a.tar" },
        false,
        { "/t/a.tar:latest" } },
      { "started again",
        [ & ] {
           persistentPathStatus->stateIs( SmState::inherited_ );
           persistentPathStatus->stateIs( SmState::started_ );
        },
        { "/t/a.tar" },
        true,
        {} },
   };
   for ( auto const & c : cases ) {
      SCOPED_TRACE( c.story );
      renew( true );
      config->tarballIs( "/t/a.tar" );
      enabled();
      time.runReady();
      ASSERT_EQ( runtime->held(), Strings{ "loadImage(/t/a.tar)" } );
      EXPECT_EQ( status->state(), SmState::started_ );
      c.change();
      time.runReady();
      EXPECT_EQ( calls( "loadImage" ), Strings{ "/t/a.tar" } ) << "not sent twice";
      EXPECT_EQ( runtime->held(), Strings{ "loadImage(/t/a.tar)" } ) << "nor abandoned";
      runtime->complete();
      time.runReady();
      EXPECT_EQ( calls( "loadImage" ), c.loads );
      EXPECT_EQ( bool( status->status( "/t/a.tar" ) ), c.recorded );
      EXPECT_EQ( calls( "removeImage" ), c.removals );
   }
}

// The way down also abandons the load out: it never ends into a status.
TEST_F( ImageLoadSmTest, DisablingUnloadsEverythingAndRemovesStaleImages ) {
   config->tarballIs( "/t/a.tar" );
   config->tarballIs( "/t/b.tar" );
   config->tarballIs( "/t/c.tar" );
   enabled();
   time.turn(); // a.tar out
   time.turn(); // a.tar loaded, b.tar out, c still queued
   ASSERT_EQ( runtime->held(), Strings{ "loadImage(/t/b.tar)" } );
   runtime->clearCalls();
   runtime->staleImages = { "sha256:1", "sha256:2" };
   runtime->failNext( "removeImage", RuntimeException( "conflict" ), 2 );
   registryStatus->stateIs( SmState::stopping_ );
   EXPECT_TRUE( runtime->calls().empty() );
   registryStatus->stateIs( SmState::stopped_ );
   EXPECT_EQ( runtime->calls(), ( Strings{ "removeImage(/t/a.tar:latest)",
                                           "inspectImage(/t/a.tar:latest)", "listStaleImages()",
                                           "removeImage(sha256:1)", "removeImage(sha256:2)" } ) );
   EXPECT_TRUE( traces.contains( "Failed to remove image /t/a.tar:latest: conflict", 0 ) );
   EXPECT_TRUE( traces.contains( "Failed to remove stale image: sha256:1 conflict", 0 ) );
   EXPECT_TRUE( traces.contains( "Removed stale image: sha256:2", 5 ) );
   // The image the daemon still holds stays recorded, for the next start.
   ASSERT_EQ( status->status().size(), 1u );
   EXPECT_TRUE( status->status( "/t/a.tar" )->tag().count( "/t/a.tar:latest" ) );
   EXPECT_TRUE( sm->tarballPath().empty() );
   EXPECT_EQ( status->state(), SmState::stopped_ );
   EXPECT_TRUE( runtime->held().empty() );
   time.runReady();
   EXPECT_EQ( calls( "loadImage" ).size(), 0u );
   EXPECT_FALSE( status->status( "/t/b.tar" ) );
}

} // namespace
} // namespace Quayd
