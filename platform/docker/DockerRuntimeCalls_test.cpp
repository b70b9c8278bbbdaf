// Stops, removals and runs in flight through DockerRuntime, against a
// daemon stand-in that holds each request until the test lets it answer:
// the bound from the settings, one container's calls in the order made, a
// cancelled call that is never sent, and a run that waits for a load.
#include <gtest/gtest.h>

#include <atomic>

#include "platform/docker/DockerRuntime.h"
#include "platform/docker/HeldDaemonTest.h"
#include "platform/posix/PosixEventLoop.h"
#include "platform/posix/TestSpawner.h"
#include "platform/testing/FakeFileSystem.h"

namespace Quayd {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector< String >;

std::pair< int, String > answer( String const & method, String const & name ) {
   if ( method == "GET" ) {
      // "containers/a/json": the record of "a", ID "a1".
      String const c = name.substr( 11, name.size() - 16 );
      return { 200, nlohmann::json{ { "Id", c + "1" }, { "Name", "/" + c } }.dump() };
   }
   return { 204, "" };
}

TEST( DockerRuntimeCalls, BoundedOneContainerAtATimeAndCancelledNeverSent ) {
   HeldDaemon daemon( answer );
   Testing::FakeFileSystem files;
   files.addFile( "/run/d/daemon.json",
                  nlohmann::json{ { "hosts", { "unix://" + daemon.path() } } }.dump() );
   DockerSettings settings;
   settings.runtimeDir = "/run/d";
   settings.callsInFlight = 2;
   PosixEventLoop loop;
   Spawner const spawner = Testing::testSpawner();
   DockerRuntime rt( settings, files, spawner, &loop );
   Strings done;
   auto call = [ & ]( String const & what ) {
      return
         [ &done, what ]( std::exception_ptr f ) { done.push_back( what + ( f ? " !" : "" ) ); };
   };
   auto stopA = rt.stopContainerAsync( "a", call( "stop a" ) );
   auto removeA = rt.removeContainerAsync( "a", true, call( "remove a" ) );
   auto stopB = rt.stopContainerAsync( "b", call( "stop b" ) );
   auto stopC = rt.stopContainerAsync( "c", call( "stop c" ) );
   ASSERT_TRUE( loop.runUntil( [ & ] { return daemon.held() == 2; }, 10s ) );
   stopC->cancel();
   daemon.releaseAll();
   ASSERT_TRUE( loop.runUntil( [ & ] { return done.size() == 3; }, 10s ) );
   EXPECT_EQ( daemon.mostHeld(), 2u );
   Strings const requests = daemon.requests();
   // c was never sent, and a's removal looked a up only once its stop ended.
   EXPECT_EQ( std::count( requests.begin(), requests.end(), "GET containers/c/json" ), 0 );
   auto const stop = std::find( requests.begin(), requests.end(), "POST containers/a1/stop" );
   EXPECT_EQ( std::count( requests.begin(), stop, "GET containers/a/json" ), 1 );
   EXPECT_EQ( std::count( stop, requests.end(), "GET containers/a/json" ), 1 );
   std::sort( done.begin(), done.end() );
   EXPECT_EQ( done, ( Strings{ "remove a", "stop a", "stop b" } ) );
}

// A run whose image the daemon lacks while a tarball's load is out waits for
// the load, then creates again: nothing is pulled that the load gives.
TEST( DockerRuntimeCalls, ARunMissingItsImageWaitsForTheLoadOut ) {
   std::atomic< bool > loaded{ false };
   HeldDaemon daemon( [ & ]( String const &, String const & name ) -> std::pair< int, String > {
      if ( name == "images/load" ) {
         loaded = true;
         return { 200, R"({"stream":"Loaded image: app:1\n"})" };
      }
      if ( name == "containers/create" && !loaded ) {
         return { 404, R"({"message":"No such image: app:1"})" };
      }
      if ( name == "containers/create" ) {
         return { 201, R"({"Id":"w1"})" };
      }
      return { name == "containers/w1/start" ? 204 : 200, "" };
   } );
   for ( String const name : { "containers/create", "containers/w1/start", "images/create" } ) {
      daemon.release( name );
   }
   Testing::FakeFileSystem files;
   files.addFile( "/run/d/daemon.json",
                  nlohmann::json{ { "hosts", { "unix://" + daemon.path() } } }.dump() );
   files.addFile( "/t/app.tar", "tarball" );
   DockerSettings settings;
   settings.runtimeDir = "/run/d";
   PosixEventLoop loop;
   Spawner const spawner = Testing::testSpawner();
   DockerRuntime rt( settings, files, spawner, &loop );
   std::optional< std::exception_ptr > loadEnded, runEnded;
   auto load = rt.loadImageAsync( "/t/app.tar", [ & ]( std::vector< String > const &,
                                                       std::exception_ptr f ) { loadEnded = f; } );
   auto p = runContainerParamsFactory();
   p->name = "web";
   p->image = "app:1";
   auto run = rt.runContainerAsync( p, [ & ]( RunOutcome const &, std::exception_ptr f ) {
      runEnded = f;
   } );
   ASSERT_TRUE( loop.runUntil( [ & ] { return daemon.answered() >= 1; }, 10s ) ); // the 404
   daemon.release( "images/load" );
   ASSERT_TRUE( loop.runUntil( [ & ] { return runEnded.has_value(); }, 10s ) );
   EXPECT_FALSE( *runEnded );
   ASSERT_TRUE( loadEnded.has_value() );
   EXPECT_FALSE( *loadEnded );
   Strings const requests = daemon.requests();
   EXPECT_EQ( std::count( requests.begin(), requests.end(), "POST containers/create" ), 2 );
   EXPECT_EQ( std::count( requests.begin(), requests.end(), "POST images/create" ), 0 );
}

} // namespace
} // namespace Quayd
