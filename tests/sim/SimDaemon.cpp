#include "tests/sim/SimDaemon.h"

#include <fmt/format.h>

#include "platform/Exception.h"

namespace Quayd::Sim {

SimDaemon::SimDaemon( Testing::FakeFileSystem & files, Ptr< TaskScheduler > const & scheduler )
    : files_( files ), scheduler_( scheduler ),
      endCallTask_( makePtr< Task >( scheduler, TaskPriority( 3 ), "SimDaemonCalls",
                                     [ this ] { endCall(); } ) ),
      queue_( scheduler, 4 ) {
   deliverTask_ =
      makePtr< Task >( scheduler_, TaskPriority( 3 ), "SimDaemonEvents", [ this ] { deliver(); } );
}

Ptr< RuntimeCall > SimDaemon::inFlight( String const & name, std::function< bool() > call,
                                        RuntimeCallDone done, bool isRun ) {
   auto start = [ this, name, isRun, call = std::move( call ) ](
                   RuntimeCallQueue::Finish finish ) -> std::function< void() > {
      uint64_t const id = nextOut_++;
      if ( isRun ) {
         // As the real runtime: the record first, then what earlier agents
         // left of theirs is cleared.
         runsOut_.insert( name );
         runsAbandoned_.erase( name );
         abandonedUnseen_.erase( name );
         finishAbandonedRuns();
         finish = [ this, name, finish = std::move( finish ) ]( std::exception_ptr f ) {
            runsOut_.erase( name );
            finish( std::move( f ) );
         };
      }
      out_.push_back( { id, name, call, std::move( finish ) } );
      endCallTask_->scheduleTask();
      return [ this, id, name, isRun ] {
         forgetOut( id );
         if ( isRun && runsOut_.erase( name ) ) {
            runsAbandoned_.insert( name );
         }
      };
   };
   return queue_.push( name, std::move( start ), std::move( done ) );
}

void SimDaemon::endCall() {
   if ( out_.empty() ) {
      return;
   }
   size_t const i = std::uniform_int_distribution< size_t >( 0, out_.size() - 1 )( order_ );
   Out o = std::move( out_[ i ] );
   out_.erase( out_.begin() + long( i ) );
   if ( !out_.empty() ) {
      endCallTask_->scheduleTask();
   }
   bool ended = true;
   ending_ = true;
   try {
      if ( o.cut ) {
         throw DaemonUnansweredException( "cannot reach the daemon: connection reset by peer",
                                          false );
      }
      ended = o.call();
   } catch ( ... ) {
      ending_ = false;
      o.finish( std::current_exception() );
      return;
   }
   ending_ = false;
   if ( !ended ) {
      // Its next step lands at a later turn.
      o.created = true;
      out_.push_back( std::move( o ) );
      endCallTask_->scheduleTask();
      return;
   }
   o.finish( nullptr );
}

void SimDaemon::cutCalls() {
   // Its connections close: the calls out fail unanswered.
   for ( auto & o : out_ ) {
      o.cut = true;
   }
}

size_t SimDaemon::startsOut() const {
   return size_t(
      std::count_if( out_.begin(), out_.end(), []( Out const & o ) { return o.created; } ) );
}

void SimDaemon::finishAbandonedRuns() {
   if ( runsAbandoned_.empty() || frozen || dead || !active_ ) {
      return;
   }
   auto & all = live();
   while ( !runsAbandoned_.empty() ) {
      String const name = *runsAbandoned_.begin();
      if ( auto it = all.find( name ); it != all.end() && !it->second.foreign ) {
         if ( removalsFail ) {
            // Its removal fails as any other: the container stays, dead, and
            // the record with it, for the next call to try again.
            try {
               failRemoval( name, it->second );
            } catch ( RuntimeException const & ) {
            }
            return;
         }
         all.erase( it );
         files_.erase( marker( name ) );
         // Done for whoever calls next, maybe the other sub-agent: with
         // nobody listening, the status only learns it at quy's next start.
         if ( subscribers_.empty() || eventsBroken_ ) {
            removedUnseen_.insert( name );
         }
         emit( name, "destroy" );
      }
      runsAbandoned_.erase( name );
   }
}

Ptr< RuntimeCall > SimDaemon::runContainerAsync( Ptr< RunContainerParams > const & params,
                                                 RunDone done ) {
   if ( !frozen ) {
      guard( *params );
   }
   auto created = std::make_shared< bool >( false );
   auto answered = std::make_shared< bool >( false );
   auto call = inFlight(
      params->name,
      [ this, params, created ] {
         if ( !std::exchange( *created, true ) ) {
            create( params );
            return false;
         }
         startCreated( params->name );
         return true;
      },
      [ this, name = params->name, answered, done = std::move( done ) ]( std::exception_ptr f ) {
         *answered = true;
         if ( f ) {
            ++failedRuns_[ name ];
         }
         done( RunOutcome{}, f );
      },
      true );
   // Out or still waiting its turn, the agent cannot tell which.
   return makePtr< RuntimeCall >( [ this, call, answered, name = params->name ] {
      if ( !*answered ) {
         abandonedUnseen_.insert( name );
      }
      call->cancel();
   } );
}

Ptr< RuntimeCall > SimDaemon::stopContainerAsync( String const & name, RuntimeCallDone done ) {
   return inFlight(
      name,
      [ this, name ] {
         stopContainer( name );
         return true;
      },
      std::move( done ) );
}

Ptr< RuntimeCall > SimDaemon::removeContainerAsync( String const & name, bool force,
                                                    RuntimeCallDone done ) {
   return inFlight(
      name,
      [ this, name, force ] {
         removeContainer( name, force );
         return true;
      },
      std::move( done ) );
}

Ptr< RuntimeCall > SimDaemon::inspectContainerAsync( String const & name, InspectDone done ) {
   // Not queued behind the container's calls: a look waits for nothing.
   uint64_t const id = nextOut_++;
   auto record = std::make_shared< ContainerRecord >();
   out_.push_back( { id, name,
                     [ this, name, record ] {
                        *record = inspectContainer( name );
                        return true;
                     },
                     [ record, done = std::move( done ) ]( std::exception_ptr failure ) {
                        done( *record, std::move( failure ) );
                     } } );
   endCallTask_->scheduleTask();
   return makePtr< RuntimeCall >( [ this, id ] { forgetOut( id ); } );
}

void SimDaemon::forgetOut( uint64_t id ) {
   std::erase_if( out_, [ id ]( Out const & o ) { return o.id == id; } );
   if ( out_.empty() ) {
      endCallTask_->unscheduleTask();
   }
}

Ptr< RuntimeCall > SimDaemon::loadImageAsync( String const & tarballPath, LoadDone done ) {
   auto images = std::make_shared< std::vector< String > >();
   return inFlight(
      "image loads",
      [ this, tarballPath, images ] {
         *images = loadImage( tarballPath );
         return true;
      },
      [ images, done = std::move( done ) ]( std::exception_ptr f ) { done( *images, f ); } );
}

String SimDaemon::now() const {
   return fmt::format( "{}s",
                       std::chrono::duration_cast< Seconds >( scheduler_->now().time_since_epoch() )
                          .count() );
}

void SimDaemon::clearFaults() {
   failures_.clear();
   startRefused.reset();
   removalsFail = false;
   diskFull = false;
   wontStop = false;
   hung = false;
   slow = Duration( 0 );
   refusing.clear();
   installed = true;
   revive();
   resumeEvents();
}

void SimDaemon::die() {
   dead = true;
   dropEvents();
   cutCalls();
   for ( auto & [ name, c ] : live() ) {
      if ( c.running || c.restarting ) {
         c.running = false;
         c.restarting = false;
         c.killed = true;
         c.exitCode = 137;
         c.finishedAt = now();
      }
   }
}

void SimDaemon::revive() {
   if ( !dead ) {
      return;
   }
   // The supervisor starts the daemon again, with the configuration file
   // as it is now, and the daemon restarts what asks to be.
   if ( active_ && !canStart() ) {
      startWaits_ = true;
      return; // the supervisor tries again later
   }
   startWaits_ = false;
   dead = false;
   if ( active_ ) {
      start();
   }
}

void SimDaemon::retryStart() {
   if ( startWaits_ ) {
      revive();
   }
}

bool SimDaemon::waitsForRoot() const {
   return dead && startWaits_ && rootUsable &&
          !rootUsable( rootOf( config_.value_or( Config{} ).dataRoot ) );
}

bool SimDaemon::canStart() const {
   Config const c = config_.value_or( Config{} );
   return ( c.netNs.empty() || files_.exists( c.netNs ) ) &&
          ( !rootUsable || rootUsable( rootOf( c.dataRoot ) ) );
}

void SimDaemon::start() {
   Config const c = config_.value_or( Config{} );
   active_ = true;
   hung = false; // a hang ends with the process
   ++starts_;
   // The image store lives in the data root: one erased since took its
   // images along.
   String const root = rootOf( c.dataRoot );
   if ( root != root_ ) {
      imagesLeft_.insert( removalsFailed_.begin(), removalsFailed_.end() );
   }
   imagesByRoot_[ root_ ] = std::move( images_ );
   images_ =
      files_.exists( root + "/image" ) ? std::move( imagesByRoot_[ root ] ) : std::set< String >();
   files_.addFile( root + "/image" );
   root_ = root;
   netNs_ = c.netNs;
   logAddress_ = c.logAddress;
   insecureLive_ = c.insecure;
   restartWithDaemon();
   eventsBroken_ = false;
   ++resyncs_;
   emit( "", "" );
}

bool SimDaemon::enter( String const & call, bool needsDaemon ) {
   ++calls_;
   if ( frozen ) {
      return false;
   }
   if ( auto it = failures_.find( call ); it != failures_.end() ) {
      Fault const f = it->second;
      failures_.erase( it );
      String const what = "simulated failure of " + call;
      switch ( f ) {
      case Fault::runtime:
         throw RuntimeException( what );
      case Fault::apiRequest:
         throw ApiRequestException( what );
      case Fault::serviceJob:
         throw Unitctl::SdbusJobException( what );
      }
   }
   if ( !needsDaemon ) {
      return true;
   }
   if ( ( hung || slow > Duration( 0 ) ) && stall && !ending_ ) {
      stall( hung ? Duration( kCallLimit ) : slow );
   }
   if ( dead || !active_ ) {
      String const why = "cannot reach the daemon: connection refused";
      answered( why );
      throw DaemonUnansweredException( why, false );
   }
   if ( hung ) {
      String const why = "the daemon did not answer within 5 s";
      answered( why );
      throw DaemonUnansweredException( why, true );
   }
   answered( "" );
   return true;
}

void SimDaemon::answered( String const & why ) const {
   if ( answerObserver_ ) {
      answerObserver_( why );
   }
}

bool SimDaemon::runtimeInstalled() {
   installedSaid_ = false;
   enter( "runtimeInstalled", false );
   installedSaid_ = installed;
   return installed;
}

bool SimDaemon::runtimeActive() {
   if ( !enter( "runtimeActive", false ) || !active_ || dead ) {
      return false;
   }
   finishAbandonedRuns();
   return true;
}

bool SimDaemon::runtimeGone() { return !active_ || dead; }

void SimDaemon::enableRuntime() {
   if ( !enter( "enableRuntime", false ) ) {
      return;
   }
   retryStart(); // a start asked for is one more try
   if ( !installed || dead || !canStart() ) {
      throw Unitctl::SdbusJobException( "the daemon did not come up" );
   }
   if ( !active_ ) {
      start();
   }
}

void SimDaemon::disableRuntime() {
   if ( !enter( "disableRuntime", false ) || !active_ ) {
      return;
   }
   if ( wontStop ) {
      throw Unitctl::SdbusJobException( "the daemon did not stop within 30 s" );
   }
   for ( auto & [ name, c ] : live() ) {
      c.running = false;
      c.restarting = false;
   }
   dropEvents();
   cutCalls();
   active_ = false;
   dead = false;
}

void SimDaemon::reloadConfig() {
   if ( enter( "reloadConfig" ) ) {
      insecureLive_ = config_.value_or( Config{} ).insecure;
   }
}

SimDaemon::Config SimDaemon::configOf( String const & dataRoot, String const & netNsPath,
                                       Ptr< SyslogDriver const > const & logDriver,
                                       Ptr< InsecureRegistries const > const & insecure ) {
   Config c{ dataRoot, netNsPath, std::nullopt, {} };
   if ( logDriver ) {
      c.logAddress = logDriver->url();
   }
   if ( insecure ) {
      c.insecure = insecure->reg();
   }
   return c;
}

void SimDaemon::applyConfig( String const & dataRoot, String const & netNsPath,
                             Ptr< SyslogDriver const > const & logDriver, bool,
                             Ptr< InsecureRegistries const > const & insecure ) {
   if ( enter( "applyConfig", false ) ) {
      config_ = configOf( dataRoot, netNsPath, logDriver, insecure );
   }
}

bool SimDaemon::runtimeRunsWith( String const & dataRoot, String const & netNsPath,
                                 Ptr< SyslogDriver const > const & logDriver,
                                 Ptr< InsecureRegistries const > const & insecure ) {
   if ( !enter( "runtimeRunsWith", false ) || !active_ || dead ) {
      return false;
   }
   // What runs, not only what is written: a reload may not have taken all.
   Config const want = configOf( dataRoot, netNsPath, logDriver, insecure );
   return config_ == want && root_ == rootOf( want.dataRoot ) && netNs_ == want.netNs &&
          logAddress_ == want.logAddress && insecureLive_ == want.insecure;
}

void SimDaemon::resetConfig() {
   if ( enter( "resetConfig", false ) ) {
      config_.reset();
   }
}

} // namespace Quayd::Sim
