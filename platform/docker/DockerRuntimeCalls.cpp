// DockerRuntime's runs, stops and removals in flight: the requests of the
// synchronous forms, sent through AsyncApiClient, and their answers read by
// the same functions.
#include "platform/Codec.h"
#include "platform/docker/ContainerCreateBody.h"
#include "platform/docker/DockerRuntime.h"
#include "platform/docker/EngineAnswers.h"

using nlohmann::json;

namespace Quayd {

struct DockerRuntime::Launch {
   Ptr< RunContainerParams > params;
   String body;
   RuntimeCallQueue::Finish finish;
   std::shared_ptr< AsyncApiClient::Id > req = std::make_shared< AsyncApiClient::Id >( 0 );
   // Each at most once, as the synchronous launch does.
   bool freed = false;
   bool pulled = false;
};

AsyncApiClient & DockerRuntime::async() {
   QUAYD_ASSERT( loop_ );
   if ( !async_ ) {
      // The calls that change something are bounded by calls(), each with
      // one request out at a time; the looks at a container go beside them.
      async_ =
         std::make_unique< AsyncApiClient >( *loop_, socketPath(), 2 * settings_.callsInFlight );
   }
   async_->socketPathIs( socketPath() );
   return *async_;
}

RuntimeCallQueue & DockerRuntime::calls() {
   QUAYD_ASSERT( loop_ );
   if ( !calls_ ) {
      calls_ = std::make_unique< RuntimeCallQueue >( loop_->scheduler(), settings_.callsInFlight );
   }
   return *calls_;
}

size_t DockerRuntime::containerCallsPending() const {
   return calls_ ? calls_->inFlight() + calls_->waiting() : 0;
}

DockerApiClient::Response DockerRuntime::answerOf( AsyncApiClient::Result const & r ) {
   if ( answerObserver_ ) {
      answerObserver_( r.status ? "" : r.error );
   }
   if ( !r.status ) {
      throw DaemonUnansweredException( r.error, r.timedOut );
   }
   if ( r.truncated ) {
      throw RuntimeException( r.error );
   }
   return { r.status, r.body };
}

void DockerRuntime::send( std::shared_ptr< AsyncApiClient::Id > const & req,
                          RuntimeCallQueue::Finish const & finish, String method, String path,
                          long limitSec, Step then ) {
   *req = async().send( std::move( method ), std::move( path ), "", limitSec,
                        [ this, finish, then = std::move( then ) ]( AsyncApiClient::Result r ) {
                           try {
                              then( answerOf( r ) );
                           } catch ( ... ) {
                              finish( std::current_exception() );
                           }
                        } );
}

Ptr< RuntimeCall > DockerRuntime::runContainerAsync( Ptr< RunContainerParams > const & p,
                                                     RunDone done ) {
   QUAYD_ASSERT( p );
   auto outcome = std::make_shared< RunOutcome >();
   auto start = [ this, p, outcome ]( RuntimeCallQueue::Finish finish ) -> std::function< void() > {
      ContainerCreateBody const request =
         containerCreateBody( *p, ownLabels(), { spawner_.environment(), &files_ } );
      runOutIs( p->name );
      auto l = std::make_shared< Launch >();
      l->params = p;
      l->body = jsonText( request.body );
      // The run's record goes once the daemon answered, whatever it said.
      l->finish = [ this, name = p->name, finish ]( std::exception_ptr failure ) {
         dropPendingRun( name );
         finish( std::move( failure ) );
      };
      if ( !request.clientFlag.empty() ) {
         // Rare, and a child process of its own: run as the synchronous form does.
         outcome->clientFlag = request.clientFlag;
         try {
            runWithClient( *p, request.clientFlag );
         } catch ( ... ) {
            l->finish( std::current_exception() );
            return {};
         }
         l->finish( nullptr );
         return {};
      }
      create( l );
      // Abandoned, the container it may have made stays recorded in
      // run.pending: the next look at the daemon removes it.
      return [ this, l ] {
         std::erase( runsWaiting_, l );
         runsOut_.erase( l->params->name );
         runsAbandoned_.insert( l->params->name );
         async().cancel( *l->req );
      };
   };
   return calls().push( p->name, std::move( start ),
                        [ outcome, done = std::move( done ) ]( std::exception_ptr failure ) {
                           done( *outcome, std::move( failure ) );
                        } );
}

void DockerRuntime::create( std::shared_ptr< Launch > const & l ) {
   *l->req =
      async().send( "POST", createPath( l->params->name ), l->body,
                    DockerApiClient::kChangeLimitSec, [ this, l ]( AsyncApiClient::Result r ) {
                       try {
                          created( l, answerOf( r ) );
                       } catch ( ... ) {
                          l->finish( std::current_exception() );
                       }
                    } );
}

void DockerRuntime::created( std::shared_ptr< Launch > const & l,
                             DockerApiClient::Response const & r ) {
   // A leftover of ours, or a missing image: rare, so done as the
   // synchronous launch does them before the create goes out again.
   if ( r.status == 409 && !l->freed ) {
      l->freed = true;
      removeOwnContainer( l->params->name );
      create( l );
      return;
   }
   if ( r.status == 404 && loadsOut() ) {
      // Its image may be in a tarball on its way in: tried again once the
      // loads end, and pulled only if it is still missing then.
      runsWaiting_.push_back( l );
      return;
   }
   if ( r.status == 404 && !l->pulled ) {
      l->pulled = true;
      pullImage( l->params->image );
      create( l );
      return;
   }
   String id;
   try {
      id = createdId( r );
   } catch ( LaunchRefused const & e ) {
      throw launchFailure( l->params->name, e );
   }
   send( l->req, l->finish, "POST", containerPath( id ) + "/start",
         DockerApiClient::kChangeLimitSec, [ this, l, id ]( DockerApiClient::Response const & s ) {
            if ( startAccepted( s ) ) {
               l->finish( nullptr );
               return;
            }
            // Removed again, or every retry would fail on its name.
            auto const failure = std::make_exception_ptr(
               launchFailure( l->params->name, { LaunchRefused::Step::start, s } ) );
            *l->req = async().send( "DELETE", deletePath( id, true ), "", kRemoveLimitSec,
                                    [ l, failure ]( AsyncApiClient::Result ) {
                                       // The start's own failure is the one worth reporting.
                                       l->finish( failure );
                                    } );
         } );
}

void DockerRuntime::runsWaitingResume() {
   if ( loadsOut() ) {
      return;
   }
   for ( auto const & l : std::exchange( runsWaiting_, {} ) ) {
      create( l );
   }
}

Ptr< RuntimeCall > DockerRuntime::containerCall( String const & name, RuntimeCallDone done,
                                                 ContainerStep then ) {
   auto start = [ this, name, then = std::move( then ) ](
                   RuntimeCallQueue::Finish finish ) -> std::function< void() > {
      auto req = std::make_shared< AsyncApiClient::Id >( 0 );
      send( req, finish, "GET", containerPath( name ) + "/json", DockerApiClient::kLookupLimitSec,
            [ req, finish, name, then ]( DockerApiClient::Response const & r ) {
               then( req, finish, checkedContainer( name, DockerApiClient::answerJson( r ) ) );
            } );
      return [ this, req ] { async().cancel( *req ); };
   };
   return calls().push( name, std::move( start ), std::move( done ) );
}

Ptr< RuntimeCall > DockerRuntime::stopContainerAsync( String const & name, RuntimeCallDone done ) {
   return containerCall( name, std::move( done ),
                         [ this ]( auto const & req, auto const & finish, json const & c ) {
                            send( req, finish, "POST", containerPath( textOf( c, "Id" ) ) + "/stop",
                                  stopLimitSec( c ),
                                  [ finish ]( DockerApiClient::Response const & r ) {
                                     checkStopped( r );
                                     finish( nullptr );
                                  } );
                         } );
}

Ptr< RuntimeCall > DockerRuntime::removeContainerAsync( String const & name, bool force,
                                                        RuntimeCallDone done ) {
   return containerCall( name, std::move( done ),
                         [ this, force ]( auto const & req, auto const & finish, json const & c ) {
                            send( req, finish, "DELETE", deletePath( textOf( c, "Id" ), force ),
                                  kRemoveLimitSec,
                                  [ finish ]( DockerApiClient::Response const & r ) {
                                     DockerApiClient::answerJson( r );
                                     finish( nullptr );
                                  } );
                         } );
}

Ptr< RuntimeCall > DockerRuntime::inspectContainerAsync( String const & name, InspectDone done ) {
   AsyncApiClient::Id const id =
      async().send( "GET", containerPath( name ) + "/json", "", DockerApiClient::kLookupLimitSec,
                    [ this, name, done = std::move( done ) ]( AsyncApiClient::Result r ) {
                       ContainerRecord record;
                       try {
                          record = containerRecord(
                             checkedContainer( name,
                                               DockerApiClient::answerJson( answerOf( r ) ) ) );
                       } catch ( ... ) {
                          done( {}, std::current_exception() );
                          return;
                       }
                       done( record, nullptr );
                    } );
   return makePtr< RuntimeCall >( [ this, id ] { async().cancel( id ); } );
}

} // namespace Quayd
