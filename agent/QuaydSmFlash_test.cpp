// The runtime manager's data root on flash: its size, and the mount tool's
// ends, on fake child processes and the in-memory file system.
#include "agent/QuaydSmTest.h"

namespace Quayd {
namespace {

using namespace std::chrono_literals;
using Testing::FakeProcessRunner;

// ------------------------------------------------------------ data root on flash

struct FlashCase {
   char const * name;
   uint64_t flashLimit;
   uint32_t freeMb;
   std::optional< String > toolSize; // the size the tool is asked for, if run
   char const * trace;               // a level 0 trace expected, or ""
   bool onFlash;
};

class FlashSizing : public QuaydSmTest, public ::testing::WithParamInterface< FlashCase > {};

TEST_P( FlashSizing, SizeComesFromTheLimitOrTwelvePercentOfTheFreeSpace ) {
   auto const & p = GetParam();
   flashIs( p.freeMb );
   config->onFlashIs( true );
   config->flashLimitIs( p.flashLimit );
   processes.endsOnWait.push_back( { 0 } );
   sm()->enable();
   if ( p.toolSize ) {
      ASSERT_EQ( processes.started.size(), 1u );
      EXPECT_EQ( processes.started[ 0 ],
                 ( std::vector< String >{ "quylbmount", "/mnt/flash/.quy", *p.toolSize } ) );
   } else {
      EXPECT_TRUE( processes.started.empty() );
   }
   if ( *p.trace ) {
      EXPECT_TRUE( traces.contains( p.trace, 0 ) ) << p.trace;
   }
   EXPECT_EQ( status->runningOnFlash(), p.onFlash );
   if ( p.onFlash ) {
      EXPECT_EQ( status->flashLimit(), p.flashLimit );
      EXPECT_EQ( runtime->appliedDataRoot, "/mnt/flash/.quy/data-root" );
      EXPECT_EQ( status->state(), SmState::started_ );
   } else {
      EXPECT_EQ( status->flashLimit(), 0u );
      EXPECT_EQ( status->state(), SmState::stopped_ );
      EXPECT_EQ( globalStatus->state(), SmState::stopped_ ) << "the global status is untouched";
      EXPECT_TRUE( runtime->calls().empty() );
      ASSERT_EQ( logs.count( "QUAYD_CONTAINER_SERVICE_START_FAILED" ), 1u );
      EXPECT_EQ( logs.messages[ 0 ].text,
                 fmt::format( "Quayd failed to start due to insufficient space on flash "
                              "({} megabytes)",
                              p.freeMb ) );
      EXPECT_EQ( logs.messages[ 0 ].severity, 3 );
   }
}

INSTANTIATE_TEST_SUITE_P(
   Table, FlashSizing,
   ::testing::Values( FlashCase{ "defaultIsTwelvePercent", 0, 10000, "1200", "", true },
                      FlashCase{ "limitEqualToFreeFits", 2147483648u, 2048, "2048", "", true },
                      FlashCase{ "limitAboveFree", 2147483648u, 2047, std::nullopt,
                                 "Only 2047M left on flash, required 2048M", false },
                      FlashCase{ "limitBelowOneMegabyte", 1000, 100, "0", "", true },
                      FlashCase{ "tooLittleForADefault", 0, 8, std::nullopt,
                                 "No space available on flash", false },
                      FlashCase{ "limitBeyond32BitsOfMegabytes", 1ull << 52, 2048, std::nullopt,
                                 "Only 2048M left on flash, required 4294967296M", false } ),
   []( auto const & info ) { return String( info.param.name ); } );

struct ToolEnd {
   char const * name;
   FakeProcessRunner::End end;
   bool created;
   char const * trace;
};

class MountToolEnds : public QuaydSmTest, public ::testing::WithParamInterface< ToolEnd > {};

TEST_P( MountToolEnds, OnlyStatusOneOrASignalFailTheCreation ) {
   auto const & p = GetParam();
   processes.endsOnWait.push_back( p.end );
   processes.stderrText = "mkfs.ext4: no space\n";
   EXPECT_EQ( sm()->createDataRootOnFlash( 100 ), p.created );
   if ( *p.trace ) {
      EXPECT_TRUE( traces.contains( p.trace, 0 ) ) << p.trace;
   }
   EXPECT_EQ( traces.contains( "STDERR from quylbmount: mkfs.ext4: no space", 0 ), !p.created )
      << "the tool's error output is read only when it failed";
}

INSTANTIATE_TEST_SUITE_P(
   Table, MountToolEnds,
   ::testing::Values(
      ToolEnd{ "exit0", { 0 }, true, "" },
      ToolEnd{ "exit2", { 2 }, true, "Loopback mount already exists!, treating this as a no-op" },
      ToolEnd{ "exit1", { 1 }, false, "Couldn't create loopback mount" },
      ToolEnd{ "killed", { 9, true }, false, "Couldn't create loopback mount" },
      ToolEnd{ "exit7", { 7 }, true, "" } ),
   []( auto const & info ) { return String( info.param.name ); } );

std::vector< String > const kUnmount{ "quylbmount", "/mnt/flash/.quy", "--unmount" };
std::vector< String > const kDelete{ "quylbmount", "/mnt/flash/.quy", "--delete" };

// The stop completes and the status is cleared even when the deletion
// fails; that is retried every 30 s until it works.
TEST_F( QuaydSmTest, StoppingOnFlashDeletesTheMountAndClearsTheStatus ) {
   config->onFlashIs( true );
   config->flashLimitIs( 1 << 30 );
   processes.endsOnWait.push_back( { 0 } );
   started();
   EXPECT_TRUE( status->runningOnFlash() );
   containerStatus->containerIs( "web" ); // could not be removed
   processes.endsOnWait.push_back( { 1 } );
   persistentPathStatus->stateIs( SmState::started_ );
   persistentPathStatus->stateIs( SmState::stopped_ );
   ASSERT_EQ( processes.started.size(), 2u );
   EXPECT_EQ( processes.started[ 1 ], kDelete );
   EXPECT_TRUE( traces.contains( "Couldn't delete loopback mount", 0 ) );
   EXPECT_FALSE( status->runningOnFlash() );
   EXPECT_EQ( status->flashLimit(), 0u );
   EXPECT_TRUE( containerStatus->container().empty() ) << "gone with their data root";
   EXPECT_EQ( status->state(), SmState::stopped_ );
   processes.endsOnWait.push_back( { 1 } );
   processes.endsOnWait.push_back( { 0 } );
   time.advance( 29s );
   ASSERT_EQ( processes.started.size(), 2u );
   time.advance( 1s );
   ASSERT_EQ( processes.started.size(), 3u );
   time.advance( 30s );
   ASSERT_EQ( processes.started.size(), 4u );
   EXPECT_EQ( processes.started[ 3 ], kDelete );
   time.advance( 60s );
   EXPECT_EQ( processes.started.size(), 4u ) << "retried only until it worked";
}

TEST_F( QuaydSmTest, SkipLbMountCreatesAndDeletesWithoutTheTool ) {
   flash.skipLbMount = true;
   flashIs( 1 ); // no room at all: never looked at
   config->onFlashIs( true );
   config->flashLimitIs( 4096 );
   started();
   EXPECT_TRUE( status->runningOnFlash() );
   EXPECT_EQ( status->flashLimit(), 4096u );
   sm()->disable();
   EXPECT_TRUE( processes.started.empty() );
   EXPECT_FALSE( status->runningOnFlash() );
}

// ------------------------------------------------------------ keeping the image

struct Release {
   char const * name;
   bool quyEnabled, onFlash; // the configuration when the stop comes
   bool kept;
};

class ImageRelease : public QuaydSmTest, public ::testing::WithParamInterface< Release > {
 protected:
   // What the last run of the mount tool was asked to do.
   void expectReleased() {
      ASSERT_FALSE( processes.started.empty() );
      EXPECT_EQ( processes.started.back(), GetParam().kept ? kUnmount : kDelete );
   }
   void configured() {
      config->enabledIs( GetParam().quyEnabled );
      config->onFlashIs( GetParam().onFlash );
   }
};

// Only the operator's configuration decides that the image goes: a stop, a
// hard stop after a restart and the start-up sweep keep it otherwise.
TEST_P( ImageRelease, TheImageGoesOnlyWhenQuyOnFlashIsNoLongerConfigured ) {
   config->enabledIs( true );
   config->onFlashIs( true );
   processes.endsOnWait.push_back( { 0 } );
   started();
   configured();
   processes.endsOnWait.insert( processes.endsOnWait.end(), 3, { 0 } );
   persistentPathStatus->stateIs( SmState::stopped_ );
   expectReleased();

   // An agent restarted over a run on flash whose status it finds.
   sm_ = nullptr;
   status->stateIs( SmState::started_ );
   status->runningOnFlashIs( true );
   sm()->disable();
   expectReleased();
   EXPECT_FALSE( status->runningOnFlash() );

   // An image no status claims, found at start.
   sm_ = nullptr;
   time.files.makeDirs( QuaydSm::datarootOnFlash() );
   size_t const before = processes.started.size();
   sm();
   time.advance( 0s );
   ASSERT_EQ( processes.started.size(), before + 1 );
   expectReleased();
}

// An image kept while quy was stopped, or while the other sub-agent runs,
// goes as soon as the operator stops asking for it, not at the next restart.
TEST_P( ImageRelease, AKeptImageGoesWhenTheConfigurationDropsIt ) {
   config->enabledIs( true );
   config->onFlashIs( true );
   time.files.makeDirs( QuaydSm::datarootOnFlash() );
   processes.endsOnWait.push_back( { 0 } );
   sm();
   time.advance( 0s );
   ASSERT_EQ( processes.started, ( std::vector< std::vector< String > >{ kUnmount } ) );

   processes.endsOnWait.push_back( { 0 } );
   configured();
   time.advance( 0s );
   if ( GetParam().kept ) {
      EXPECT_EQ( processes.started.size(), 1u );
   } else {
      expectReleased();
   }
}

INSTANTIATE_TEST_SUITE_P( Table, ImageRelease,
                          ::testing::Values( Release{ "stillConfigured", true, true, true },
                                             Release{ "quyDisabled", false, true, false },
                                             Release{ "flashSwitchedOff", true, false, false } ),
                          []( auto const & info ) { return String( info.param.name ); } );

TEST_F( QuaydSmTest, AFailedMountOfAnInheritedRunKeepsTheImageAndSaysWhy ) {
   config->enabledIs( true );
   config->onFlashIs( true );
   status->stateIs( SmState::started_ );
   status->runningOnFlashIs( true );
   processes.stderrText = "quylbmount: cannot mount /mnt/flash/.quy/data-root.img; kept\n";
   processes.endsOnWait.push_back( { 1 } );
   processes.endsOnWait.push_back( { 0 } );

   sm()->enable();

   ASSERT_EQ( processes.started.size(), 2u );
   EXPECT_EQ( processes.started[ 1 ], kUnmount );
   EXPECT_TRUE( sm()->mountFailed() ) << "the start is tried again";
   EXPECT_EQ( status->state(), SmState::stopped_ );
   EXPECT_EQ( status->mountError(), processes.stderrText );

   processes.endsOnWait.push_back( { 0 } );
   sm()->enable();
   EXPECT_EQ( status->state(), SmState::started_ );
   EXPECT_TRUE( status->mountError().empty() );
}

TEST_F( QuaydSmTest, ANewLimitNeedsOnlyTheRoomItAddsToTheImage ) {
   config->onFlashIs( true );
   config->flashLimitIs( 3ull << 30 );
   time.files.fileSizes[ "/mnt/flash/.quy/data-root.img" ] = 2ull << 30;
   time.files.addFile( "/mnt/flash/.quy/data-root.img" );
   flashIs( 1500 );
   processes.endsOnWait.push_back( { 0 } );

   sm()->enable();

   ASSERT_EQ( processes.started.size(), 1u );
   EXPECT_EQ( processes.started[ 0 ],
              ( std::vector< String >{ "quylbmount", "/mnt/flash/.quy", "3072" } ) );
   EXPECT_TRUE( status->runningOnFlash() );
}

} // namespace
} // namespace Quayd
