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
   if ( c.created || c.removalFailed ) {
      return false;
   }
   return c.restartPolicy == "always" ||
          ( c.restartPolicy == "unless-stopped" && !c.stoppedByUser ) ||
          ( c.killed && onFailureRestarts( c, c.exitCode ) );
}
} // namespace

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
      c.exitFirstLooks = firstLooks_[ name ];
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

void SimDaemon::restartWithDaemon() {
   for ( auto & [ name, ctr ] : live() ) {
      if ( restartsWithDaemon( ctr ) ) {
         if ( ctr.killed ) {
            ++ctr.restarts;
         }
         startedNow( ctr );
      }
      ctr.killed = false;
   }
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

ContainerRecord SimDaemon::inspectContainer( String const & name ) {
   if ( !enter( "inspectContainer" ) ) {
      return {};
   }
   auto & all = live();
   auto it = all.find( name );
   if ( it == all.end() ) {
      throw ApiRequestException( "No such container: " + name );
   }
   if ( lookedAt_.insert( name ).second ) {
      ++firstLooks_[ name ];
   }
   SimContainer const & c = it->second;
   ContainerRecord r;
   r.id = c.id;
   r.name = name;
   r.image = c.image;
   r.status = c.running         ? "running"
              : c.restarting    ? "restarting"
              : c.removalFailed ? "dead"
              : c.created       ? "created"
                                : "exited";
   r.running = c.running || c.restarting;
   r.exitCode = c.exitCode;
   r.restartCount = c.restarts;
   r.startedAt = c.startedAt;
   r.finishedAt = c.finishedAt;
   r.imageId = "sha256:" + c.image;
   r.foreign = c.foreign;
   return r;
}

std::vector< String > SimDaemon::listOwnContainers() {
   std::vector< String > out;
   listingFailed_ = true;
   if ( enter( "listOwnContainers" ) ) {
      listingFailed_ = false;
      createdUnseen_.clear();
      abandonedUnseen_.clear();
      for ( auto const & [ name, c ] : live() ) {
         if ( !c.foreign ) {
            out.push_back( name );
         }
      }
   }
   return out;
}

RunOutcome SimDaemon::runContainer( Ptr< RunContainerParams > const & p ) {
   try {
      return run( p );
   } catch ( ... ) {
      ++failedRuns_[ p->name ];
      throw;
   }
}

RunOutcome SimDaemon::run( Ptr< RunContainerParams > const & p ) {
   if ( !enter( "runContainer" ) ) {
      return {};
   }
   guard( *p );
   SimContainer c = made( *p );
   if ( startRefused ) {
      refuseStart( p->name, c );
   }
   startedNow( c );
   live()[ p->name ] = c;
   files_.addFile( marker( p->name ) );
   ++runs_[ p->name ];
   removedUnseen_.erase( p->name );
   emit( p->name, "start" );
   return {};
}

void SimDaemon::create( Ptr< RunContainerParams > const & p ) {
   if ( !enter( "runContainer" ) ) {
      return;
   }
   SimContainer c = made( *p );
   c.running = false;
   c.created = true;
   live()[ p->name ] = c;
   files_.addFile( marker( p->name ) );
   removedUnseen_.erase( p->name );
   createsUntold_.erase( p->name );
   if ( eventsBroken_ || subscribers_.empty() ) {
      createsUntold_.insert( p->name );
   }
   emit( p->name, "create" );
}

void SimDaemon::startCreated( String const & name ) {
   if ( !enter( "startContainer" ) ) {
      return;
   }
   auto & all = live();
   auto it = all.find( name );
   if ( it == all.end() || !it->second.created ) {
      throw RuntimeException( "Error response from daemon: starting container " + name +
                              ": No such container" );
   }
   bool const untold = createsUntold_.erase( name );
   if ( startRefused ) {
      // The run removes what its create made, unless removals fail too.
      if ( !removalsFail ) {
         all.erase( it );
         files_.erase( marker( name ) );
         emit( name, "destroy" );
      } else if ( untold || eventsBroken_ || subscribers_.empty() ) {
         createdUnseen_.insert( name );
      }
      throw RuntimeException( "Error response from daemon: failed to start container " + name +
                              ": " + *startRefused );
   }
   it->second.created = false;
   startedNow( it->second );
   ++runs_[ name ];
   emit( name, "start" );
}

void SimDaemon::guard( RunContainerParams const & p ) {
   if ( runGuard ) {
      if ( auto why = runGuard( p ) ) {
         unsafe_.push_back( fmt::format( "container {} run: {}", p.name, *why ) );
      }
   }
}

SimContainer SimDaemon::made( RunContainerParams const & p ) {
   // A leftover of ours under the same name is replaced, as the real run
   // does; anyone else's keeps the name.
   auto & all = live();
   if ( auto held = all.find( p.name ); held != all.end() && held->second.exitedByItself ) {
      exitedRemoved_[ p.name ] = held->second;
   }
   checkRerun( p.name );
   if ( auto held = all.find( p.name ); held != all.end() && held->second.foreign ) {
      throw ApiRequestException( "Conflict. The container name \"/" + p.name +
                                 "\" is already in use" );
   }
   // As the real run does: an image missing here is pulled, once.
   if ( !images_.count( p.image ) ) {
      if ( !pullable( p.image ) ) {
         throw RuntimeException( "pulling " + p.image +
                                 ": pull access denied, repository does not exist or may "
                                 "require 'docker login'" );
      }
      images_.insert( p.image );
   }
   SimContainer c;
   c.id = fmt::format( "{:012x}", nextId_++ );
   c.image = p.image;
   c.command = p.command();
   c.memory = p.setting( "memory" );
   c.restartPolicy = p.setting( "restart" );
   for ( auto const & [ path, b ] : p.binds() ) {
      c.binds[ path ] = b;
   }
   return c;
}

void SimDaemon::checkRerun( String const & name ) {
   auto it = exitedRemoved_.find( name );
   if ( it == exitedRemoved_.end() ) {
      return;
   }
   SimContainer const old = it->second;
   exitedRemoved_.erase( it );
   if ( old.exitTold && old.exitResync == resyncs_ && old.exitFirstLooks == firstLooks_[ name ] &&
        !old.foreign && old.exitEdit == ( edits ? edits( name ) : 0 ) ) {
      unsafe_.push_back( fmt::format( "container {} run again, unchanged, though it ended by "
                                      "itself (code {}) and its restart policy '{}' leaves it so",
                                      name, old.exitCode, old.restartPolicy ) );
   }
}

void SimDaemon::refuseStart( String const & name, SimContainer c ) {
   String const why = "failed to start container " + name + ": " + *startRefused;
   if ( removalsFail ) {
      c.running = false;
      c.created = true;
      live()[ name ] = c;
      files_.addFile( marker( name ) );
      removedUnseen_.erase( name );
      if ( eventsBroken_ || subscribers_.empty() ) {
         createdUnseen_.insert( name );
      }
      emit( name, "create" );
   }
   throw RuntimeException( "Error response from daemon: " + why );
}

void SimDaemon::failRemoval( String const & name, SimContainer & c ) {
   bool const ran = c.running;
   c.running = false;
   c.restarting = false;
   c.removalFailed = true;
   if ( ran ) {
      c.finishedAt = now();
      emit( name, "die" );
   }
   throw RuntimeException( "Error response from daemon: unable to remove container " + name +
                           ": driver failed to remove root filesystem: device or resource busy" );
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
            // No event tells a stopped or dead daemon's listeners.
            if ( eventsBroken_ || dead || !active_ ) {
               removedUnseen_.insert( it->first );
            }
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
   if ( removalsFail ) {
      failRemoval( name, it->second );
   }
   if ( it->second.exitedByItself ) {
      exitedRemoved_[ name ] = it->second;
   }
   all.erase( it );
   files_.erase( marker( name ) );
   emit( name, "destroy" );
}

} // namespace Quayd::Sim
