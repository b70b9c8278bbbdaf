#include "tests/sim/SimDaemon.h"

#include <fmt/format.h>

#include "platform/Exception.h"

namespace Quayd::Sim {

namespace {
// `on-failure[:N]`: after an exit with a code, at most N times (0: always).
bool onFailureRestarts( SimContainer const & c, int32_t code ) {
   String const & p = c.restartPolicy;
   if ( !p.starts_with( "on-failure" ) || code == 0 ) {
      return false;
   }
   uint32_t const max = p.size() > 11 ? uint32_t( std::stoul( p.substr( 11 ) ) ) : 0;
   return max == 0 || c.restarts < max;
}

// At a start of the daemon: `always`, `unless-stopped` unless stopped through
// the API, and `on-failure` if the daemon's death killed it.
bool restartsWithDaemon( SimContainer const & c ) {
   return c.restartPolicy == "always" ||
          ( c.restartPolicy == "unless-stopped" && !c.stoppedByUser ) ||
          ( c.killed && onFailureRestarts( c, c.exitCode ) );
}
} // namespace

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
   try {
      o.call();
   } catch ( ... ) {
      o.finish( std::current_exception() );
      return;
   }
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

String SimDaemon::now() const {
   return fmt::format( "{}s",
                       std::chrono::duration_cast< Seconds >( scheduler_->now().time_since_epoch() )
                          .count() );
}

void SimDaemon::startedNow( SimContainer & c ) {
   c.running = true;
   c.restarting = false;
   c.exitedByItself = false;
   c.exitTold = false;
   c.oomKilled = false;
   c.exitCode = 0;
   c.startedAt = now();
   c.ranSince = scheduler_->now();
}

void SimDaemon::emit( String const & name, String const & action ) {
   // Nobody listens: nothing is kept, so no task outlives an agent.
   if ( subscribers_.empty() || eventsBroken_ ) {
      return;
   }
   pending_.push_back( { name, action } );
   deliverTask_->scheduleTask();
}

void SimDaemon::deliver() {
   for ( auto const & e : std::exchange( pending_, {} ) ) {
      if ( auto it = live().find( e.name ); e.action == "die" && it != live().end() ) {
         it->second.exitTold = it->second.exitedByItself;
      }
      subscribers_.notify( e );
   }
}

void SimDaemon::breakEvents() {
   dropEvents();
   eventsBroken_ = true;
}

void SimDaemon::resumeEvents() {
   if ( std::exchange( eventsBroken_, false ) && active_ && !dead ) {
      ++resyncs_;
      emit( "", "" );
   }
}

bool SimDaemon::exitBehind( String const & name, int32_t code, bool oom ) {
   auto & all = live();
   auto it = all.find( name );
   if ( it == all.end() || !it->second.running || it->second.foreign || dead || !active_ ) {
      return false;
   }
   SimContainer & c = it->second;
   c.running = false;
   c.exitCode = code;
   c.oomKilled = oom;
   c.finishedAt = now();
   if ( c.restartPolicy == "always" || c.restartPolicy == "unless-stopped" ||
        onFailureRestarts( c, code ) ) {
      // dockerd's back-off: 100 ms, doubled up to a minute, from the start
      // again once the container ran 10 s.
      using namespace std::chrono_literals;
      bool const ranLong = scheduler_->now() - c.ranSince >= 10s;
      c.backoff = ranLong || c.backoff == Duration( 0 )
                     ? Duration( 100ms )
                     : std::min< Duration >( c.backoff * 2, Duration( 1min ) );
      c.restarting = true;
      c.restartAt = scheduler_->now() + c.backoff;
   } else {
      c.exitedByItself = true;
      c.exitResync = resyncs_;
      c.exitEdit = edits ? edits( name ) : 0;
   }
   emit( name, "die" );
   if ( oom ) {
      emit( name, "oom" );
   }
   return true;
}

void SimDaemon::restartDue() {
   if ( dead || !active_ ) {
      return;
   }
   for ( auto & [ name, c ] : live() ) {
      if ( c.restarting && c.restartAt <= scheduler_->now() ) {
         ++c.restarts;
         startedNow( c );
         emit( name, "start" );
      }
   }
}

std::optional< TimePoint > SimDaemon::nextRestart() const {
   std::optional< TimePoint > next;
   if ( dead || !active_ ) {
      return next;
   }
   for ( auto const & [ name, c ] : containers() ) {
      if ( c.restarting && ( !next || c.restartAt < *next ) ) {
         next = c.restartAt;
      }
   }
   return next;
}

void SimDaemon::dropEvents() {
   pending_.clear();
   deliverTask_->unscheduleTask();
}

uint64_t SimDaemon::containerEventsSubscribe( ContainerEventHandler handler ) {
   ++resyncs_;
   return subscribers_.add( std::move( handler ) );
}

void SimDaemon::containerEventsUnsubscribe( uint64_t id ) {
   // Not a call to the daemon: a frozen daemon loses its subscribers too.
   subscribers_.del( id );
   if ( subscribers_.empty() ) {
      dropEvents();
   }
}

void SimDaemon::clearFaults() {
   failures_.clear();
   wontStop = false;
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
   dead = false;
   if ( active_ ) {
      start();
   }
}

void SimDaemon::start() {
   Config const c = config_.value_or( Config{} );
   active_ = true;
   ++starts_;
   root_ = rootOf( c.dataRoot );
   netNs_ = c.netNs;
   logAddress_ = c.logAddress;
   insecureLive_ = c.insecure;
   for ( auto & [ name, ctr ] : live() ) {
      if ( restartsWithDaemon( ctr ) ) {
         if ( ctr.killed ) {
            ++ctr.restarts;
         }
         startedNow( ctr );
      }
      ctr.killed = false;
   }
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
   if ( needsDaemon && ( dead || !active_ ) ) {
      throw RuntimeException( "cannot reach the daemon: connection refused" );
   }
   return true;
}

std::map< String, SimContainer > & SimDaemon::live() {
   auto & all = byRoot_[ root_ ];
   std::erase_if( all,
                  [ this ]( auto const & kv ) { return !files_.exists( marker( kv.first ) ); } );
   return all;
}

std::map< String, SimContainer > SimDaemon::containers() const {
   std::map< String, SimContainer > out;
   if ( auto it = byRoot_.find( root_ ); it != byRoot_.end() ) {
      for ( auto const & [ name, c ] : it->second ) {
         if ( files_.exists( marker( name ) ) ) {
            out.emplace( name, c );
         }
      }
   }
   return out;
}

std::map< String, std::vector< String > > SimDaemon::allContainers() const {
   std::map< String, std::vector< String > > out;
   for ( auto const & [ root, all ] : byRoot_ ) {
      for ( auto const & [ name, c ] : all ) {
         if ( files_.exists( root + "/containers/" + name ) ) {
            out[ root ].push_back( name );
         }
      }
   }
   return out;
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
   if ( !installed || dead ) {
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

ImageRecord SimDaemon::inspectImage( String const & name ) {
   if ( !enter( "inspectImage" ) ) {
      return {};
   }
   if ( !images_.count( name ) ) {
      throw ApiRequestException( "No such image: " + name );
   }
   return { name, "sha256:" + name, { name } };
}

std::vector< String > SimDaemon::listStaleImages() {
   enter( "listStaleImages" );
   return {};
}

std::vector< String > SimDaemon::loadImage( String const & tarballPath ) {
   if ( !enter( "loadImage" ) ) {
      return {};
   }
   auto it = tarballs.find( tarballPath );
   if ( it == tarballs.end() ) {
      throw RuntimeException( "open " + tarballPath + ": no such file or directory" );
   }
   images_.insert( it->second.begin(), it->second.end() );
   return it->second;
}

void SimDaemon::removeImage( String const & nameOrTag ) {
   if ( !enter( "removeImage" ) ) {
      return;
   }
   if ( !images_.count( nameOrTag ) ) {
      throw ApiRequestException( "No such image: " + nameOrTag );
   }
   for ( auto const & [ name, c ] : live() ) {
      if ( c.image == nameOrTag ) {
         throw ApiRequestException( "conflict: unable to remove repository reference \"" +
                                    nameOrTag + "\" (must force) - container " + name +
                                    " is using its referenced image" );
      }
   }
   images_.erase( nameOrTag );
}

bool SimDaemon::pullable( String const & image ) const {
   if ( !upstream.count( image ) ) {
      return false;
   }
   auto const slash = image.find( '/' );
   String const host = slash == String::npos ? String() : image.substr( 0, slash );
   return host.empty() || logins_.count( host );
}

void SimDaemon::removeBehind( String const & name ) {
   auto & all = live();
   if ( all.erase( name ) ) {
      files_.erase( marker( name ) );
      if ( eventsBroken_ ) {
         removedUnseen_.insert( name );
      }
      emit( name, "destroy" );
   }
}

void SimDaemon::removeImageBehind( String const & name ) {
   // As `docker rmi` does, an image in use stays.
   for ( auto const & [ root, all ] : byRoot_ ) {
      for ( auto const & [ n, c ] : all ) {
         if ( c.image == name && files_.exists( root + "/containers/" + n ) ) {
            return;
         }
      }
   }
   images_.erase( name );
}

void SimDaemon::login( String const & user, String const &, String const & server ) {
   if ( enter( "login" ) ) {
      if ( refusing.count( server ) ) {
         throw RuntimeException( "Error response from daemon: Get \"https://" + server +
                                 "/v2/\": unauthorized: incorrect username or password" );
      }
      logins_[ server ] = user;
   }
}

void SimDaemon::logout( String const & server ) {
   // The credentials are the runtime's own store: no daemon needed.
   if ( enter( "logout", false ) ) {
      logins_.erase( server );
   }
}

ContainerRecord SimDaemon::inspectContainer( String const & name ) {
   if ( !enter( "inspectContainer" ) ) {
      return {};
   }
   auto & all = live();
   auto it = all.find( name );
   if ( it == all.end() ) {
      throw ApiRequestException( "No such container: " + name );
   }
   SimContainer const & c = it->second;
   ContainerRecord r;
   r.id = c.id;
   r.name = name;
   r.image = c.image;
   r.status = c.running ? "running" : c.restarting ? "restarting" : "exited";
   r.running = c.running || c.restarting;
   r.exitCode = c.exitCode;
   r.restartCount = c.restarts;
   r.startedAt = c.startedAt;
   r.finishedAt = c.finishedAt;
   r.imageId = "sha256:" + c.image;
   return r;
}

std::vector< String > SimDaemon::listOwnContainers() {
   std::vector< String > out;
   listingFailed_ = true;
   if ( enter( "listOwnContainers" ) ) {
      listingFailed_ = false;
      for ( auto const & [ name, c ] : live() ) {
         if ( !c.foreign ) {
            out.push_back( name );
         }
      }
   }
   return out;
}

RunOutcome SimDaemon::runContainer( Ptr< RunContainerParams > const & p ) {
   if ( !enter( "runContainer" ) ) {
      return {};
   }
   if ( runGuard ) {
      if ( auto why = runGuard( *p ) ) {
         unsafe_.push_back( fmt::format( "container {} run: {}", p->name, *why ) );
      }
   }
   // A leftover of ours under the same name is replaced, as the real run
   // does; anyone else's keeps the name.
   auto & all = live();
   if ( auto held = all.find( p->name ); held != all.end() && held->second.exitedByItself ) {
      exitedRemoved_[ p->name ] = held->second;
   }
   checkRerun( p->name );
   if ( auto held = all.find( p->name ); held != all.end() && held->second.foreign ) {
      throw ApiRequestException( "Conflict. The container name \"/" + p->name +
                                 "\" is already in use" );
   }
   // As the real run does: an image missing here is pulled, once.
   if ( !images_.count( p->image ) ) {
      if ( !pullable( p->image ) ) {
         throw RuntimeException( "pulling " + p->image +
                                 ": pull access denied, repository does not exist or may "
                                 "require 'docker login'" );
      }
      images_.insert( p->image );
   }
   SimContainer c;
   c.id = fmt::format( "{:012x}", nextId_++ );
   c.image = p->image;
   c.command = p->command();
   c.memory = p->setting( "memory" );
   c.restartPolicy = p->setting( "restart" );
   for ( auto const & [ path, b ] : p->binds() ) {
      c.binds[ path ] = b;
   }
   startedNow( c );
   all[ p->name ] = c;
   files_.addFile( marker( p->name ) );
   ++runs_[ p->name ];
   removedUnseen_.erase( p->name );
   emit( p->name, "start" );
   return {};
}

void SimDaemon::checkRerun( String const & name ) {
   auto it = exitedRemoved_.find( name );
   if ( it == exitedRemoved_.end() ) {
      return;
   }
   SimContainer const old = it->second;
   exitedRemoved_.erase( it );
   if ( old.exitTold && old.exitResync == resyncs_ && !old.foreign &&
        old.exitEdit == ( edits ? edits( name ) : 0 ) ) {
      unsafe_.push_back( fmt::format( "container {} run again, unchanged, though it ended by "
                                      "itself (code {}) and its restart policy '{}' leaves it so",
                                      name, old.exitCode, old.restartPolicy ) );
   }
}

void SimDaemon::foreignIs( String const & name ) {
   auto & all = live();
   if ( all.count( name ) ) {
      return;
   }
   SimContainer c;
   c.id = fmt::format( "{:012x}", nextId_++ );
   c.image = "foreign:1";
   c.foreign = true;
   startedNow( c );
   all[ name ] = c;
   files_.addFile( marker( name ) );
}

void SimDaemon::foreignDelAll() {
   for ( auto & [ root, all ] : byRoot_ ) {
      for ( auto it = all.begin(); it != all.end(); ) {
         if ( it->second.foreign ) {
            files_.erase( root + "/containers/" + it->first );
            it = all.erase( it );
         } else {
            ++it;
         }
      }
   }
}

void SimDaemon::stopContainer( String const & name ) {
   if ( !enter( "stopContainer" ) ) {
      return;
   }
   auto & all = live();
   auto it = all.find( name );
   if ( it == all.end() ) {
      throw ApiRequestException( "No such container: " + name );
   }
   it->second.stoppedByUser = true;
   it->second.restarting = false;
   if ( it->second.running ) {
      it->second.running = false;
      it->second.finishedAt = now();
      emit( name, "die" );
   }
}

void SimDaemon::startContainer( String const & name ) {
   if ( !enter( "startContainer" ) ) {
      return;
   }
   auto & all = live();
   auto it = all.find( name );
   if ( it == all.end() ) {
      throw ApiRequestException( "No such container: " + name );
   }
   it->second.stoppedByUser = false;
   if ( !it->second.running ) {
      it->second.running = true;
      it->second.startedAt = now();
      emit( name, "start" );
   }
}

void SimDaemon::removeContainer( String const & name, bool force ) {
   if ( !enter( "removeContainer" ) ) {
      return;
   }
   auto & all = live();
   auto it = all.find( name );
   if ( it == all.end() ) {
      throw ApiRequestException( "No such container: " + name );
   }
   if ( ( it->second.running || it->second.restarting ) && !force ) {
      throw ApiRequestException( "You cannot remove a running container " + name );
   }
   if ( it->second.exitedByItself ) {
      exitedRemoved_[ name ] = it->second;
   }
   all.erase( it );
   files_.erase( marker( name ) );
   emit( name, "destroy" );
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
