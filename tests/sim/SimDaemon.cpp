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

Ptr< RuntimeCall > SimDaemon::inFlight( String const & name, std::function< void() > call,
                                        RuntimeCallDone done ) {
   auto start = [ this, call = std::move( call ) ](
                   RuntimeCallQueue::Finish finish ) -> std::function< void() > {
      uint64_t const id = nextOut_++;
      out_.push_back( { id, call, std::move( finish ) } );
      endCallTask_->scheduleTask();
      return
         [ this, id ] { std::erase_if( out_, [ id ]( Out const & o ) { return o.id == id; } ); };
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
   ending_ = true;
   try {
      o.call();
   } catch ( ... ) {
      ending_ = false;
      o.finish( std::current_exception() );
      return;
   }
   ending_ = false;
   o.finish( nullptr );
}

Ptr< RuntimeCall > SimDaemon::runContainerAsync( Ptr< RunContainerParams > const & params,
                                                 RunDone done ) {
   auto outcome = std::make_shared< RunOutcome >();
   return inFlight(
      params->name, [ this, params, outcome ] { *outcome = runContainer( params ); },
      [ outcome, done = std::move( done ) ]( std::exception_ptr f ) { done( *outcome, f ); } );
}

Ptr< RuntimeCall > SimDaemon::stopContainerAsync( String const & name, RuntimeCallDone done ) {
   return inFlight(
      name, [ this, name ] { stopContainer( name ); }, std::move( done ) );
}

Ptr< RuntimeCall > SimDaemon::removeContainerAsync( String const & name, bool force,
                                                    RuntimeCallDone done ) {
   return inFlight(
      name, [ this, name, force ] { removeContainer( name, force ); }, std::move( done ) );
}

Ptr< RuntimeCall > SimDaemon::loadImageAsync( String const & tarballPath, LoadDone done ) {
   auto images = std::make_shared< std::vector< String > >();
   return inFlight(
      "image loads", [ this, tarballPath, images ] { *images = loadImage( tarballPath ); },
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
      return; // the supervisor tries again later
   }
   dead = false;
   if ( active_ ) {
      start();
   }
}

bool SimDaemon::canStart() const {
   Config const c = config_.value_or( Config{} );
   return c.netNs.empty() || files_.exists( c.netNs );
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
   enter( "runtimeInstalled", false );
   return installed;
}

bool SimDaemon::runtimeActive() { return enter( "runtimeActive", false ) && active_ && !dead; }

bool SimDaemon::runtimeGone() { return !active_ || dead; }

void SimDaemon::enableRuntime() {
   if ( !enter( "enableRuntime", false ) ) {
      return;
   }
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
