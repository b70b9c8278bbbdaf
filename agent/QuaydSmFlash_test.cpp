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
                                 "No space available on flash", false } ),
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

TEST_F( QuaydSmTest, StoppingOnFlashDeletesTheMountAndClearsTheStatus ) {
   config->onFlashIs( true );
   config->flashLimitIs( 1 << 30 );
   processes.endsOnWait.push_back( { 0 } );
   started();
   EXPECT_TRUE( status->runningOnFlash() );
   containerStatus->containerIs( "web" ); // could not be removed
   processes.endsOnWait.push_back( { 0 } );
   persistentPathStatus->stateIs( SmState::started_ );
   persistentPathStatus->stateIs( SmState::stopped_ );
   ASSERT_EQ( processes.started.size(), 2u );
   EXPECT_EQ( processes.started[ 1 ],
              ( std::vector< String >{ "quylbmount", "/mnt/flash/.quy", "--delete" } ) );
   EXPECT_FALSE( status->runningOnFlash() );
   EXPECT_EQ( status->flashLimit(), 0u );
   EXPECT_TRUE( containerStatus->container().empty() ) << "gone with their data root";
   EXPECT_EQ( status->state(), SmState::stopped_ );
   time.advance( 60s );
   EXPECT_EQ( processes.started.size(), 2u ) << "a deletion that worked is not repeated";
}

TEST_F( QuaydSmTest, AFailedMountDeletionIsRetriedEveryThirtySeconds ) {
   config->onFlashIs( true );
   config->flashLimitIs( 1 << 30 );
   processes.endsOnWait.push_back( { 0 } );
   started();
   processes.endsOnWait.push_back( { 1 } );
   persistentPathStatus->stateIs( SmState::stopped_ );
   EXPECT_TRUE( traces.contains( "Couldn't delete loopback mount", 0 ) );
   EXPECT_EQ( status->state(), SmState::stopped_ ) << "the stop completes regardless";
   processes.endsOnWait.push_back( { 1 } );
   processes.endsOnWait.push_back( { 0 } );
   time.advance( 29s );
   ASSERT_EQ( processes.started.size(), 2u );
   time.advance( 1s );
   ASSERT_EQ( processes.started.size(), 3u );
   time.advance( 30s );
   ASSERT_EQ( processes.started.size(), 4u );
   EXPECT_EQ( processes.started[ 3 ],
              ( std::vector< String >{ "quylbmount", "/mnt/flash/.quy", "--delete" } ) );
   time.advance( 60s );
   EXPECT_EQ( processes.started.size(), 4u ) << "retried only until it worked";
}

TEST_F( QuaydSmTest, SkipLbMountCreatesAndDeletesWithoutTheTool ) {
   ::setenv( "QUY_BTEST_SKIPLBMOUNT", "1", 1 );
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

} // namespace
} // namespace Quayd
