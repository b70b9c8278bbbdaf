// logs and wait: what an operator or a script does after an edit.
#include <ostream>
#include <thread>

#include "tools/quyctl/Command.h"
#include "tools/quyctl/Quyctl.h"

namespace Quayd::Quyctl {

namespace {

bool known( Redis::Connection & c, String const & name ) {
   return c.exists( String( Paths::kContainerConfig ) + "|" + name ) ||
          c.exists( Cell::path( Paths::kContainerStatus, 0 ) + "|" + name );
}

// Polls the container's state until it is `state` or `timeout` has passed.
int waitFor( Redis::Connection & c, String const & name, String const & state, double timeout,
             Streams const & s ) {
   ContainerStatus status;
   status.pathIs( Cell::path( Paths::kContainerStatus, 0 ) + "|" + name );
   auto const deadline =
      std::chrono::steady_clock::now() + std::chrono::duration< double >( timeout );
   constexpr auto kPoll = std::chrono::milliseconds( 100 );
   for ( ;; ) {
      String now;
      if ( c.exists( status.path() ) ) {
         readFields( c, status );
         now = nlohmann::json( status.state() ).get< String >();
      }
      if ( now == state ) {
         return kOk;
      }
      if ( std::chrono::steady_clock::now() + kPoll > deadline ) {
         s.err << "quyctl: container " << name << " did not reach " << state << " within "
               << timeout << " s (it is "
               << ( now.empty() ? String( "unknown to the agent" ) : now ) << ")\n";
         return kFailed;
      }
      std::this_thread::sleep_for( kPoll );
   }
}

} // namespace

void addLogsAndWaitCommands( CLI::App & app, Parsed & p ) {
   auto name = std::make_shared< String >();

   CLI::App * logs = command( app, "logs", "print a container's log, through the docker client",
                              "quyctl logs web --follow --tail 100" );
   logs->add_option( "name", *name, "the container" )->required()->type_name( "NAME" );
   auto follow = std::make_shared< bool >( false );
   auto tail = std::make_shared< std::optional< uint32_t > >();
   logs->add_flag( "-f,--follow", *follow, "keep printing what it logs" );
   logs->add_option( "-n,--tail", *tail, "only the last N lines" )->type_name( "N" );
   logs->callback( [ &p, name, follow, tail ] {
      checkName( *name, "container" );
      p.query = [ name, follow, tail ]( Redis::Connection & c, Streams const & s ) {
         if ( !known( c, *name ) ) {
            s.err << "quyctl: no container '" << *name << "' is configured or known\n";
            return kFailed;
         }
         std::vector< String > argv{ "docker", "logs" };
         if ( *follow ) {
            argv.push_back( "--follow" );
         }
         if ( *tail ) {
            argv.insert( argv.end(), { "--tail", std::to_string( **tail ) } );
         }
         argv.push_back( *name );
         return s.exec( argv ) == 0 ? kOk : kFailed;
      };
   } );

   CLI::App * wait = command( app, "wait", "wait until a container is in a state",
                              "quyctl wait web --state containerRunning_ --timeout 60" );
   wait->add_option( "name", *name, "the container" )->required()->type_name( "NAME" );
   auto state = std::make_shared< String >();
   auto timeout = std::make_shared< double >( 30 );
   std::vector< String > states;
   for ( auto s : { ContainerRunState::containerStopped_, ContainerRunState::containerWaiting_,
                    ContainerRunState::containerStarting_, ContainerRunState::containerStartFailed_,
                    ContainerRunState::containerRunning_ } ) {
      states.push_back( nlohmann::json( s ).get< String >() );
   }
   wait->add_option( "--state", *state, "the agent's state to wait for" )
      ->required()
      ->type_name( "STATE" )
      ->check( CLI::IsMember( states ) );
   wait->add_option( "--timeout", *timeout, "seconds to wait at most (default 30)" )
      ->type_name( "SECONDS" )
      ->check( CLI::NonNegativeNumber.description( "" ) );
   wait->callback( [ &p, name, state, timeout ] {
      checkName( *name, "container" );
      p.query = [ name, state, timeout ]( Redis::Connection & c, Streams const & s ) {
         return waitFor( c, *name, *state, *timeout, s );
      };
   } );
}

} // namespace Quayd::Quyctl
