// A container run and the finish of one cut short, on the fake file system
// and a stand-in daemon that answers each Engine API request from a script.
// Each run story is told twice, through the synchronous run and through the
// run in flight on the loop: both send the same requests.
#include <gtest/gtest.h>

#include <map>

#include "platform/Exception.h"
#include "platform/docker/DockerRuntime.h"
#include "platform/docker/HeldDaemonTest.h"
#include "platform/posix/PosixEventLoop.h"
#include "platform/posix/TestSpawner.h"
#include "platform/testing/FakeFileSystem.h"

namespace Quayd {
namespace {

using Answers = std::map< String, std::vector< std::pair< int, String > > >;

String const kDir = "/run/quayd/docker";
String const kPending = kDir + "/run.pending";

// The daemon's record of container "c", ours or someone else's.
String record( bool ours ) {
   return nlohmann::json{
      { "Id", "c1d" },
      { "Name", "/c" },
      { "Config",
        { { "Labels",
            ours ? nlohmann::json{ { "quayd.agent", "quayd" } } : nlohmann::json::object() } } },
      { "State", { { "Running", true } } }
   }.dump();
}

struct RunCase {
   char const * story;
   bool interrupted;           // run.pending names "c" before
   bool run;                   // runs "c"; otherwise only finds the daemon up
   Answers answers;            // "METHOD name": the answers in turn, the last one repeated
   std::vector< String > want; // the requests, in order
   bool throws;
   bool pendingAfter;
};

void PrintTo( RunCase const & c, std::ostream * os ) { *os << c.story; }

std::pair< int, String > const kCreated{ 201, R"({"Id":"new"})" };
std::pair< int, String > const kStarted{ 204, "" };

class DockerRuntimeRun : public ::testing::TestWithParam< std::tuple< RunCase, bool > > {};

TEST_P( DockerRuntimeRun, LeavesTheDaemonAndTheRunRecordAsTheStorySays ) {
   auto const & [ c, inFlight ] = GetParam();
   Answers answers = c.answers;
   answers[ "GET _ping" ] = { { 200, "OK" } };
   HeldDaemon daemon( [ &answers ]( String const & method, String const & name ) {
      auto & queue = answers[ method + " " + name ];
      if ( queue.empty() ) {
         return std::pair< int, String >{ 404, R"({"message":"no such thing"})" };
      }
      auto const a = queue.front();
      if ( queue.size() > 1 ) {
         queue.erase( queue.begin() );
      }
      return a;
   } );
   daemon.releaseAll();
   Testing::FakeFileSystem files;
   files.addFile( kDir + "/daemon.json",
                  nlohmann::json{ { "hosts", { "unix://" + daemon.path() } } }.dump() );
   if ( c.interrupted ) {
      files.addFile( kPending, "c" );
   }
   DockerSettings settings;
   settings.runtimeDir = kDir;
   PosixEventLoop loop;
   Spawner const spawner = Testing::testSpawner();
   DockerRuntime rt( settings, files, spawner, inFlight ? &loop : nullptr );

   bool threw = false;
   try {
      if ( inFlight ) {
         auto p = runContainerParamsFactory();
         p->name = "c";
         p->image = "img:1";
         std::optional< std::exception_ptr > ended;
         auto call = rt.runContainerAsync( p, [ & ]( RunOutcome const &, std::exception_ptr f ) {
            ended = f;
         } );
         // Recorded before the daemon was asked, and still while it is.
         EXPECT_TRUE( files.exists( kPending ) );
         ASSERT_TRUE(
            loop.runUntil( [ & ] { return ended.has_value(); }, std::chrono::seconds( 10 ) ) );
         threw = *ended != nullptr;
      } else if ( c.run ) {
         auto p = runContainerParamsFactory();
         p->name = "c";
         p->image = "img:1";
         EXPECT_EQ( rt.runContainer( p ).clientFlag, "" );
         // Recorded durably before the daemon was asked.
         EXPECT_EQ( files.steps.empty() ? "" : files.steps.front(), "write " + kPending + ".tmp" );
      } else {
         EXPECT_TRUE( rt.runtimeActive() );
      }
   } catch ( RuntimeException const & ) {
      threw = true;
   }
   EXPECT_EQ( threw, c.throws );
   EXPECT_EQ( daemon.requests(), c.want );
   EXPECT_EQ( files.exists( kPending ), c.pendingAfter );
}

std::vector< RunCase > const kRuns{
   RunCase{
      "CreatedAndStarted",
      false,
      true,
      { { "POST containers/create", { kCreated } }, { "POST containers/new/start", { kStarted } } },
      { "POST containers/create", "POST containers/new/start" },
      false,
      false },
   RunCase{ "AStartedOneCountsAsStarted",
            false,
            true,
            { { "POST containers/create", { kCreated } },
              { "POST containers/new/start", { { 304, "" } } } },
            { "POST containers/create", "POST containers/new/start" },
            false,
            false },
   // A leftover of ours holds the name: it goes, and the create is tried again.
   RunCase{ "OwnLeftoverReplaced",
            false,
            true,
            { { "POST containers/create", { { 409, "{}" }, kCreated } },
              { "GET containers/c/json", { { 200, record( true ) } } },
              { "DELETE containers/c1d", { { 204, "" } } },
              { "POST containers/new/start", { kStarted } } },
            { "POST containers/create", "GET containers/c/json", "DELETE containers/c1d",
              "POST containers/create", "POST containers/new/start" },
            false,
            false },
   // Someone else's is never touched: the run fails on the name.
   RunCase{ "ForeignNameKept",
            false,
            true,
            { { "POST containers/create", { { 409, "{}" } } },
              { "GET containers/c/json", { { 200, record( false ) } } } },
            { "POST containers/create", "GET containers/c/json", "POST containers/create" },
            true,
            false },
   RunCase{ "MissingImagePulledOnce",
            false,
            true,
            { { "POST containers/create", { { 404, "{}" }, kCreated } },
              { "POST images/create", { { 200, "" } } },
              { "POST containers/new/start", { kStarted } } },
            { "POST containers/create", "POST images/create", "POST containers/create",
              "POST containers/new/start" },
            false,
            false },
   // A container that did not start goes again, or every retry would
   // fail on its name.
   RunCase{ "RefusedStartRemoved",
            false,
            true,
            { { "POST containers/create", { kCreated } },
              { "POST containers/new/start", { { 500, R"({"message":"no sh"})" } } },
              { "DELETE containers/new", { { 204, "" } } } },
            { "POST containers/create", "POST containers/new/start", "DELETE containers/new" },
            true,
            false },
   // A run cut short by a killed agent: its container goes once the
   // daemon is found up, since no status recorded it.
   RunCase{ "InterruptedRunFinished",
            true,
            false,
            { { "GET containers/c/json", { { 200, record( true ) } } },
              { "DELETE containers/c1d", { { 204, "" } } } },
            { "GET _ping", "GET containers/c/json", "DELETE containers/c1d" },
            false,
            false },
   RunCase{ "InterruptedRunLeavesAForeignContainer",
            true,
            false,
            { { "GET containers/c/json", { { 200, record( false ) } } } },
            { "GET _ping", "GET containers/c/json" },
            false,
            false },
   // The daemon failed in between: the record stays for the next call.
   RunCase{ "InterruptedRunKeptWhenTheDaemonFails",
            true,
            false,
            { { "GET containers/c/json", { { 500, R"({"message":"busy"})" } } } },
            { "GET _ping", "GET containers/c/json" },
            false,
            true },
   // The run's own record of a name is finished before the run itself.
   RunCase{ "InterruptedRunFinishedBeforeTheNextRun",
            true,
            true,
            { { "GET containers/c/json", { { 200, record( true ) } } },
              { "DELETE containers/c1d", { { 204, "" } } },
              { "POST containers/create", { kCreated } },
              { "POST containers/new/start", { kStarted } } },
            { "GET containers/c/json", "DELETE containers/c1d", "POST containers/create",
              "POST containers/new/start" },
            false,
            false }
};

// Each story blocking, and in flight where it makes a run.
std::vector< std::tuple< RunCase, bool > > stories() {
   std::vector< std::tuple< RunCase, bool > > out;
   for ( auto const & c : kRuns ) {
      out.emplace_back( c, false );
      if ( c.run ) {
         out.emplace_back( c, true );
      }
   }
   return out;
}

INSTANTIATE_TEST_SUITE_P( Stories, DockerRuntimeRun, ::testing::ValuesIn( stories() ),
                          []( auto const & info ) {
                             String name = std::get< 1 >( info.param ) ? "InFlight" : "";
                             for ( char ch : String( std::get< 0 >( info.param ).story ) ) {
                                if ( std::isalnum( static_cast< unsigned char >( ch ) ) ) {
                                   name += ch;
                                }
                             }
                             return name;
                          } );

} // namespace
} // namespace Quayd
