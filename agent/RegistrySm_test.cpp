// Registry logins and the insecure-registry list on the fake runtime and the
// virtual clock; the neighbouring links' states are written by the test.
#include <gtest/gtest.h>

#include "agent/RegistrySm.h"
#include "platform/Secrets.h"
#include "platform/testing/Capture.h"
#include "platform/testing/FakeRuntime.h"
#include "platform/testing/VirtualTime.h"

namespace Quayd {
namespace {

using namespace std::chrono_literals;
using Strings = std::vector< String >;
using RS = RegistryState;

class RegistrySmTest : public ::testing::Test {
 protected:
   void create() {
      sm = registrySmFactory( imageLoadStatus, config, status, containerStatus, runtime,
                              time.scheduler(), secrets, Sinks{ &traces } );
   }
   void started() {
      create();
      imageLoadStatus->stateIs( SmState::started_ );
      ASSERT_EQ( status->state(), SmState::started_ );
   }
   void registryIs( String const & name, RegistryParams p ) {
      config->registryIs( name )->paramsIs( std::move( p ) );
   }
   RS stateOf( String const & name ) const {
      auto r = status->registry( name );
      return r ? r->state() : RS::loggedOut;
   }

   Testing::TraceCapture traces;
   Testing::VirtualTime time;
   Secrets * secrets = nullptr;
   Ptr< Testing::FakeRuntime > runtime = makePtr< Testing::FakeRuntime >();
   Ptr< ImageLoadStatusDir > imageLoadStatus = makePtr< ImageLoadStatusDir >();
   Ptr< RegistryConfigDir > config = makePtr< RegistryConfigDir >();
   Ptr< RegistryStatusDir > status = makePtr< RegistryStatusDir >();
   Ptr< ContainerStatusDir > containerStatus = makePtr< ContainerStatusDir >();
   Ptr< RegistrySm > sm;
};

RegistryParams const kLocal{ "127.0.0.1:5000", "ops", "s3cret", false };

// Enable logs in to the registries with credentials, those added before it
// too, and logs out of the entries an earlier run left that are no longer
// configured.
TEST_F( RegistrySmTest, EnableLogsInToRegistriesWithCredentialsOnly ) {
   auto left = status->registryIs( "old" );
   left->paramsIs( { "old.example", "ops", "", false } );
   left->stateIs( RS::loggedIn );
   registryIs( "insecure", { "10.0.0.5:5000", "ops", "pw", true } );
   registryIs( "anonymous", { "docker.example", "", "", false } );
   create();
   registryIs( "local", kLocal );
   EXPECT_TRUE( runtime->calls().empty() ) << "waits for image loading";
   EXPECT_FALSE( status->registry( "local" ) );
   imageLoadStatus->stateIs( SmState::started_ );
   EXPECT_EQ( runtime->calls(),
              ( Strings{ "login(ops,***,127.0.0.1:5000)", "logout(old.example)" } ) );
   EXPECT_FALSE( status->registry( "old" ) );
   EXPECT_EQ( stateOf( "local" ), RS::loggedIn );
   EXPECT_EQ( stateOf( "insecure" ), RS::loggedOut );
   EXPECT_EQ( status->registry( "anonymous" )->params(), ( RegistryParams{ "docker.example" } ) );
   EXPECT_EQ( status->state(), SmState::started_ );
}

// A stop that reaches the containers while images still load: the images
// done, the registries do not start (which would bring the containers up
// again) but stop once the containers have.
TEST_F( RegistrySmTest, AStopThatCameDuringTheBringUpIsNotOvertaken ) {
   registryIs( "local", kLocal );
   create();
   containerStatus->stateIs( SmState::stopping_ );
   imageLoadStatus->stateIs( SmState::started_ );
   EXPECT_TRUE( runtime->calls().empty() );
   EXPECT_EQ( status->state(), SmState::stopped_ );
   containerStatus->stateIs( SmState::stopped_ );
   EXPECT_EQ( status->state(), SmState::stopped_ );
   EXPECT_TRUE( runtime->calls().empty() );
}

TEST_F( RegistrySmTest, FailedLoginsAreRetriedEveryThirtySecondsWithoutLimit ) {
   registryIs( "local", kLocal );
   runtime->failNext( "login", RuntimeException( "unauthorized" ), 3 );
   started();
   EXPECT_EQ( stateOf( "local" ), RS::loginFailed );
   EXPECT_EQ( status->state(), SmState::started_ );
   EXPECT_TRUE( traces.contains( "Failed to login to registry: unauthorized", 2 ) );
   for ( size_t attempts = 2; attempts <= 4; ++attempts ) {
      time.advance( 29s );
      EXPECT_EQ( runtime->count( "login" ), attempts - 1 );
      time.advance( 1s );
      EXPECT_EQ( runtime->count( "login" ), attempts );
   }
   EXPECT_EQ( stateOf( "local" ), RS::loggedIn );
   time.advance( 10min );
   EXPECT_EQ( runtime->count( "login" ), 4u );
}

TEST_F( RegistrySmTest, TwoFailuresShareOneTimerAndTheEarlierDeadlineWins ) {
   registryIs( "a", kLocal );
   runtime->failNext( "login", RuntimeException( "down" ), 2 );
   started();
   time.advance( 20s );
   registryIs( "b", { "b.example", "u", "p", false } ); // fails too, 10 s before a's retry
   EXPECT_EQ( stateOf( "b" ), RS::loginFailed );
   time.advance( 10s );
   EXPECT_EQ( runtime->count( "login" ), 4u ) << "both retried at a's deadline";
   EXPECT_EQ( stateOf( "a" ), RS::loggedIn );
   EXPECT_EQ( stateOf( "b" ), RS::loggedIn );
}

TEST_F( RegistrySmTest, ATimerFiringOutsideStartedDoesNothing ) {
   registryIs( "local", kLocal );
   runtime->failNext( "login", RuntimeException( "down" ) );
   started();
   status->stateIs( SmState::inherited_ );
   time.advance( 30s );
   EXPECT_EQ( runtime->count( "login" ), 1u );
   status->stateIs( SmState::started_ );
   time.advance( 10min );
   EXPECT_EQ( runtime->count( "login" ), 1u ) << "not re-armed";
}

TEST_F( RegistrySmTest, ConfigurationChangesWhileStarted ) {
   started();
   registryIs( "local", kLocal );
   EXPECT_EQ( stateOf( "local" ), RS::loggedIn ) << "added: logged in at once";

   runtime->clearCalls();
   config->registry( "local" )->paramsIs( kLocal );
   EXPECT_TRUE( runtime->calls().empty() ) << "same parameters: nothing";

   RegistryParams changed = kLocal;
   changed.password = "n3w";
   config->registry( "local" )->paramsIs( changed );
   EXPECT_EQ( runtime->calls(),
              ( Strings{ "logout(127.0.0.1:5000)", "login(ops,***,127.0.0.1:5000)" } ) );
   EXPECT_EQ( runtime->passwords[ "127.0.0.1:5000" ], "n3w" );
   // Written by hand inline, the password is used but never in the status.
   EXPECT_EQ( status->registry( "local" )->params().password, "" );
   EXPECT_EQ( status->registry( "local" )->params().username, "ops" );

   runtime->clearCalls();
   config->registryDel( "local" );
   EXPECT_EQ( runtime->calls(), Strings{ "logout(127.0.0.1:5000)" } );
   EXPECT_FALSE( status->registry( "local" ) );
}

// The daemon keeps one login per server: when one of two registries on a
// server leaves or changes, the other must log in again, not keep a status
// that says it is logged in while the daemon holds nothing.
TEST_F( RegistrySmTest, ARegistrySharingAServerLogsInAgainAfterTheOtherLogsOut ) {
   started();
   registryIs( "a", kLocal );
   registryIs( "b", { "127.0.0.1:5000", "ci", "pw", false } );
   ASSERT_EQ( stateOf( "b" ), RS::loggedIn );

   runtime->clearCalls();
   config->registryDel( "a" );
   EXPECT_EQ( runtime->calls(),
              ( Strings{ "logout(127.0.0.1:5000)", "login(ci,***,127.0.0.1:5000)" } ) );
   EXPECT_EQ( stateOf( "b" ), RS::loggedIn );
   EXPECT_EQ( runtime->logins, ( std::map< String, String >{ { "127.0.0.1:5000", "ci" } } ) );

   registryIs( "a", kLocal );
   runtime->clearCalls();
   config->registry( "a" )->paramsIs( { "other.example", "ops", "s3cret", false } );
   EXPECT_EQ( runtime->calls(), ( Strings{ "logout(127.0.0.1:5000)", "login(ops,***,other.example)",
                                           "login(ci,***,127.0.0.1:5000)" } ) );

   runtime->clearCalls();
   containerStatus->stateIs( SmState::stopping_ );
   containerStatus->stateIs( SmState::stopped_ );
   EXPECT_EQ( runtime->count( "login" ), 0u ) << "a disable logs in to nothing";
   EXPECT_EQ( stateOf( "a" ), RS::loggedOut );
   EXPECT_EQ( stateOf( "b" ), RS::loggedOut );
}

TEST_F( RegistrySmTest, DisableLogsOutButKeepsTheEntries ) {
   registryIs( "local", kLocal );
   registryIs( "bad", { "bad.example", "u", "p", false } );
   runtime->failNext( "login", RuntimeException( "down" ) ); // "bad" comes first
   started();
   ASSERT_EQ( stateOf( "bad" ), RS::loginFailed );
   runtime->clearCalls();
   runtime->failNext( "logout", RuntimeException( "gone" ) );
   containerStatus->stateIs( SmState::stopping_ );
   EXPECT_TRUE( runtime->calls().empty() ) << "waits for the containers";
   containerStatus->stateIs( SmState::stopped_ );
   EXPECT_EQ( runtime->calls(), Strings{ "logout(127.0.0.1:5000)" } );
   EXPECT_TRUE( traces.contains( "Failed to logout from registry: gone", 0 ) );
   EXPECT_EQ( stateOf( "local" ), RS::loggedOut );
   EXPECT_EQ( stateOf( "bad" ), RS::loggedOut );
   EXPECT_EQ( status->registry().size(), 2u );
   EXPECT_EQ( status->state(), SmState::stopped_ );
   time.advance( 10min );
   EXPECT_EQ( runtime->count( "login" ), 0u ) << "the retry was stopped";
}

// A login an earlier agent recorded may be gone from the daemon (killed
// after a logout, before its status write): it is made again.
TEST_F( RegistrySmTest, AStateLeftFromAnEarlierRunIsInheritedAndItsLoginsMadeAgain ) {
   struct Kept : Secrets {
      std::optional< String > get( String const & ) override { return "s3cret"; }
   } kept;
   secrets = &kept;
   RegistryParams const stored{ "127.0.0.1:5000", "ops", "", false, "c1" };
   registryIs( "local", stored );
   status->stateIs( SmState::started_ );
   auto const was = status->registryIs( "local" );
   was->paramsIs( stored );
   was->stateIs( RS::loggedIn );
   create();
   EXPECT_EQ( status->state(), SmState::inherited_ );
   imageLoadStatus->stateIs( SmState::started_ );
   EXPECT_EQ( runtime->calls(), Strings{ "login(ops,***,127.0.0.1:5000)" } );
   EXPECT_EQ( stateOf( "local" ), RS::loggedIn );
}

// ------------------------------------------------------ insecure registries

struct EqualCase {
   Strings a, b;
   bool equal;
};

class InsecureEqual : public RegistrySmTest, public ::testing::WithParamInterface< EqualCase > {};

TEST_P( InsecureEqual, ComparesAsSets ) {
   create();
   auto list = []( Strings const & s ) {
      auto l = insecureRegistriesFactory();
      for ( auto const & r : s ) {
         l->regIs( r );
      }
      return l;
   };
   EXPECT_EQ( sm->insecureRegistriesEqual( list( GetParam().a ), list( GetParam().b ) ),
              GetParam().equal );
}

INSTANTIATE_TEST_SUITE_P( Table, InsecureEqual,
                          ::testing::Values( EqualCase{ {}, {}, true },
                                             EqualCase{ { "a" }, { "a" }, true },
                                             EqualCase{ { "a", "b" }, { "b", "a" }, true },
                                             EqualCase{ { "a" }, { "a", "b" }, false },
                                             EqualCase{ { "a", "b" }, { "a" }, false },
                                             EqualCase{ { "a" }, { "b" }, false },
                                             EqualCase{ { "a:5000" }, { "A:5000" }, false } ) );

TEST_F( RegistrySmTest, ThePublishedListFollowsConfigurationInEveryState ) {
   create();
   auto const published = status->insecureRegistries();
   uint64_t const start = status->insecureRegistriesDone();
   auto done = [ & ] { return status->insecureRegistriesDone() - start; };

   registryIs( "a", { "10.0.0.5:5000", "", "", true } );
   EXPECT_EQ( published->reg(), std::set< String >{ "10.0.0.5:5000" } );
   EXPECT_EQ( done(), 1u );
   EXPECT_EQ( status->insecureRegistries(), published ) << "changed in place";

   registryIs( "empty", { "", "", "", true } );
   registryIs( "secure", { "sec.example", "u", "p", false } );
   registryIs( "twin", { "10.0.0.5:5000", "x", "y", true } );
   EXPECT_EQ( done(), 1u ) << "nothing the list holds changed";

   config->registry( "a" )->paramsIs( { "10.0.0.5:5000", "other", "", true } );
   config->registryDel( "twin" );
   EXPECT_EQ( done(), 1u );

   config->registryDel( "a" );
   EXPECT_TRUE( published->reg().empty() );
   EXPECT_EQ( done(), 2u );
   EXPECT_EQ( runtime->count( "login" ), 0u ) << "stopped_: no logins";
}

TEST_F( RegistrySmTest, AListLeftFromAnEarlierRunIsCorrectedAtConstruction ) {
   status->insecureRegistries()->regIs( "stale:5000" );
   registryIs( "a", { "10.0.0.5:5000", "", "", true } );
   create();
   EXPECT_EQ( status->insecureRegistries()->reg(), std::set< String >{ "10.0.0.5:5000" } );
   EXPECT_EQ( status->insecureRegistriesDone(), 1u );
   sm = nullptr;
   create();
   EXPECT_EQ( status->insecureRegistriesDone(), 1u ) << "equal: no signal";
}

} // namespace
} // namespace Quayd
