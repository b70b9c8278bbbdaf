// A container's health events and its history, on the fake runtime.
#include "agent/ContainerSmTest.h"

#include <regex>

namespace Quayd {
namespace {

using CRS = ContainerRunState;
using Strings = std::vector< String >;

class ContainerHealthTest : public ContainerSmTest {
 protected:
   // Running, its check failing with `output` as the daemon reports it.
   void unhealthy( String const & output ) {
      ContainerRecord r;
      r.status = "running";
      r.running = true;
      r.health = "unhealthy";
      r.healthOutput = output;
      runtime->records[ "web" ] = r;
   }
   void emit( String const & action, std::optional< int32_t > code = {} ) {
      runtime->emit( ContainerEvent{ "web", action, code } );
   }
   Strings reasons() const {
      Strings out;
      auto const j = nlohmann::json::parse( status->history(), nullptr, false );
      for ( auto const & e : j.is_array() ? j : nlohmann::json::array() ) {
         out.push_back( e[ "reason" ].get< String >() + ( e[ "detail" ] == "" ? "" : ":" ) +
                        e[ "detail" ].get< String >() );
      }
      return out;
   }
   void SetUp() override {
      start();
      ASSERT_EQ( state(), CRS::containerRunning_ );
      // The container directory's part: each event to its machine.
      runtime->containerEventsSubscribe(
         [ this ]( ContainerEvent const & e ) { sm->handleDaemonEvent( e ); } );
      runtime->clearCalls();
   }
};

TEST_F( ContainerHealthTest, AnUnhealthyContainerIsRestartedOnlyWhenConfiguredTo ) {
   struct Case {
      char const * name;
      bool restartUnhealthy;
      char const * health; // what inspect says by the time the event is read
      Strings calls;
   };
   for ( auto const & c : { Case{ "restarted",
                                  true,
                                  "unhealthy",
                                  { "inspectContainer(web)", "stopContainer(web)",
                                    "startContainer(web)", "inspectContainer(web)" } },
                            Case{ "leftAlone", false, "unhealthy", { "inspectContainer(web)" } },
                            Case{ "recoveredSince",
                                  true,
                                  "healthy",
                                  { "inspectContainer(web)", "inspectContainer(web)" } } } ) {
      SCOPED_TRACE( c.name );
      runtime->clearCalls();
      edit( [ & ]( ContainerConfig & cc ) { cc.restartUnhealthyIs( c.restartUnhealthy ); } );
      EXPECT_EQ( runtime->calls(), Strings{} ) << "editing the flag recreates nothing";
      unhealthy( "wget: can't connect\nto remote host" );
      runtime->records[ "web" ].health = c.health;
      logs.messages.clear();
      status->unhealthyRestartsIs( 0 );
      status->historyIs( "" );
      emit( "health_status: unhealthy" );
      time.runReady();
      EXPECT_EQ( runtime->calls(), c.calls ) << "no recreation, no removal";
      bool const restarted = c.calls.size() == 4;
      EXPECT_EQ( status->unhealthyRestarts(), restarted ? 1u : 0u );
      EXPECT_EQ( reasons(), restarted ? Strings{ "unhealthy:wget: can't connect to remote host" }
                                      : Strings{} );
      ASSERT_EQ( logs.messages.size(), restarted ? 1u : 0u );
      if ( restarted ) {
         EXPECT_EQ( logs.messages[ 0 ].id, "QUAYD_CONTAINER_UNHEALTHY_RESTART" );
         EXPECT_EQ( logs.messages[ 0 ].text,
                    "Container web restarted: its health check reported it unhealthy, last "
                    "output \"wget: can't connect to remote host\"." );
      }
      EXPECT_EQ( state(), CRS::containerRunning_ );
   }
}

// A container the restart leaves stopped is run again as a new one.
TEST_F( ContainerHealthTest, ARestartThatCannotStartRunsItAgain ) {
   edit( []( ContainerConfig & cc ) { cc.restartUnhealthyIs( true ); } );
   unhealthy( "" );
   runtime->onCall = [ this ]( String const & call ) {
      if ( call == "stopContainer" ) {
         runtime->records[ "web" ].status = "exited";
         runtime->records[ "web" ].running = false;
      }
   };
   runtime->failNext( "startContainer", RuntimeException( "cgroup gone" ) );
   emit( "health_status: unhealthy" );
   time.runReady();
   EXPECT_EQ( runtime->calls(), ( Strings{ "inspectContainer(web)", "stopContainer(web)",
                                           "startContainer(web)", "inspectContainer(web)",
                                           "removeContainer(web,true)", "runContainer(web)" } ) );
   EXPECT_EQ( state(), CRS::containerRunning_ );
}

TEST_F( ContainerHealthTest, TheHistoryKeepsTheLastChangesWithTheirReasons ) {
   status->historyIs( "{\"not\":\"a list\"}" ); // left unreadable: started anew
   emit( "start" );
   emit( "die", 137 );
   emit( "oom" );
   emit( "pause" ); // not a change the history keeps
   emit( "die" );
   EXPECT_EQ( reasons(), ( Strings{ "started", "exited:code 137", "oom-killed", "exited" } ) );
   sm->history().add( ContainerHistory::kRestartedForMemory, String( 1000, 'm' ) );
   EXPECT_EQ( reasons().back(), "restarted for memory:" + String( 256, 'm' ) );

   for ( int i = 0; i < 12; ++i ) {
      emit( "start" );
   }
   edit( []( ContainerConfig & cc ) { cc.enabledIs( false ); } );
   // Events of the container it removed itself are no news.
   emit( "die", 143 );
   Strings const r = reasons();
   ASSERT_EQ( r.size(), ContainerHistory::kMaxEntries );
   EXPECT_EQ( r.back(), "removed by configuration" );
   EXPECT_EQ( r.front(), "started" );
   auto const j = nlohmann::json::parse( status->history() );
   EXPECT_TRUE( std::regex_match( j[ 0 ][ "time" ].get< String >(),
                                  std::regex( "20[0-9]{2}-[0-9]{2}-[0-9]{2}T[0-9:]{8}Z" ) ) );
}

} // namespace
} // namespace Quayd
