#include "tests/sim/World.h"

#include <algorithm>
#include <cstdlib>

#include "agent/ContainerPlan.h"
#include "agent/ContainerSm.h"
#include "platform/Exception.h"

namespace Quayd::Sim {

namespace {
// Copies every field of `from` into `to`, elements included: what a new
// agent reads back from the database after a restart.
void copyEntity( Entity const & from, Entity & to ) {
   for ( auto const & f : from.fieldTable().fields ) {
      if ( f.kind != FieldKind::elements ) {
         f.decode( to, f.encode( from ) );
         continue;
      }
      for ( auto const & key : f.keys( from ) ) {
         Ptr< Entity > source = f.element( from, key );
         f.elementIs( to, key, [ & ]( Entity & e ) { copyEntity( *source, e ); } );
      }
   }
}

// Makes `to` what `from` is, telling each difference as a change; the
// elements `to` loses go into `removed`.
void syncEntity( Entity const & from, Entity & to, std::vector< Ptr< Entity > > & removed ) {
   for ( auto const & f : from.fieldTable().fields ) {
      if ( f.kind != FieldKind::elements ) {
         if ( String const text = f.encode( from ); text != f.encode( to ) ) {
            f.decode( to, text );
         }
         continue;
      }
      auto const keep = f.keys( from );
      for ( auto const & key : f.keys( to ) ) {
         if ( std::find( keep.begin(), keep.end(), key ) == keep.end() ) {
            removed.push_back( f.element( to, key ) );
            f.elementDel( to, key );
         }
      }
      for ( auto const & key : keep ) {
         Ptr< Entity > source = f.element( from, key );
         if ( Ptr< Entity > held = f.element( to, key ) ) {
            syncEntity( *source, *held, removed );
         } else {
            f.elementIs( to, key, [ & ]( Entity & e ) { copyEntity( *source, e ); } );
         }
      }
   }
}

// The image tags the agent records as loaded in `db`.
std::set< String > imageTags( ProfileEntityManager const & db ) {
   std::set< String > tags;
   auto dir = getEntityAs< ImageLoadStatusDir >( db, Cell::path( "quayd/image/status", 0 ) );
   for ( auto const & [ path, entry ] : dir->status() ) {
      tags.insert( entry->tag().begin(), entry->tag().end() );
   }
   return tags;
}

// What still holds on to an entity of a database the agent has let go of.
// `owners`: the references that are the database's own (its map, or the
// parent's collection and the caller's handle).
void findLeftovers( Entity const & e, uint32_t owners, std::vector< String > & out ) {
   if ( e.slotCount() != 0 ) {
      out.push_back( fmt::format( "{} still has {} subscriptions", e.path(), e.slotCount() ) );
   }
   if ( e.refCount() > owners ) {
      out.push_back(
         fmt::format( "{} is still referenced {} times", e.path(), e.refCount() - owners ) );
   }
   if ( auto const * el = e.fieldTable().elements() ) {
      for ( auto const & key : el->keys( e ) ) {
         Ptr< Entity > element = el->element( e, key );
         findLeftovers( *element, 2, out );
      }
   }
}
} // namespace

World::World() {
   daemon = makePtr< SimDaemon >( time.files, time.scheduler() );
   time.files.makeDirs( kFlash );
   time.files.makeDirs( "/var/lib/docker" );
   // The VRFs' namespaces, there before any VRF is active, as after boot.
   for ( char const * ns : { "/run/netns/ns-red", "/run/netns/ns-blue" } ) {
      time.files.addFile( ns );
   }
   processes.tool = [ this ]( std::vector< String > const & argv ) { return mountTool( argv ); };
   for ( auto const & entry : quaydMountProfile().entries ) {
      if ( entry.access == MountAccess::read ) {
         configurationPaths_.insert( entry.path );
      }
   }
   daemon->stall = [ this ]( Duration d ) { time.stall( d ); };
   daemon->rootUsable = [ this ]( String const & root ) {
      return flashMounted || !root.starts_with( String( kFlashRoot ) + "/" );
   };
   daemon->runGuard = [ this ]( RunContainerParams const & p ) { return unsafeRun( p ); };
   daemon->edits = [ this ]( String const & name ) {
      auto it = edits_.find( name );
      return it == edits_.end() ? uint64_t( 0 ) : it->second;
   };
}

std::optional< World::Seen > World::seen( String const & name ) const {
   auto c = at< ContainerConfigDir >( "quayd/container/config" )->container( name );
   if ( !c ) {
      return std::nullopt;
   }
   auto profiles = at< ContainerProfileConfigDir >( "quayd/container/profileConfig" );
   auto p = c->profile().empty() ? nullptr : profiles->profile( c->profile() );
   MergedConfig m = mergedConfig( *c, p.get() );
   return Seen{ std::move( m.params ), std::move( m.bindMounts ), c->enabled(), conditionPasses_ };
}

void World::noteEdit() {
   // Edits made while the containers do not run reach the agent as a whole
   // when they start: a configuration back to the one it last watched is
   // no change to it.
   bool const watching =
      at< ContainerStatusDir >( Cell::path( "quayd/container/status", 0 ) )->state() ==
      SmState::started_;
   std::map< String, Seen > now;
   for ( auto const & [ name, c ] :
         at< ContainerConfigDir >( "quayd/container/config" )->container() ) {
      Seen s = *seen( name );
      auto it = seen_.find( name );
      bool const same = it != seen_.end() && it->second == s;
      now[ name ] = same ? it->second : s;
      edits_[ name ] += same ? 0 : 1;
      if ( !same ) {
         conditionRecorded_.erase( name );
      }
      auto last = watched_.find( name );
      if ( !watching && last != watched_.end() && last->second == s ) {
         now[ name ] = last->second;
      }
   }
   seen_ = std::move( now );
   if ( watching ) {
      watched_ = seen_;
   }
}

std::optional< String > World::unsafeRun( RunContainerParams const & p ) {
   auto gnoi = at< Gnoi::Config >( "mgmt/gnoi/config" );
   if ( Gnoi::containerzConfig( *gnoi ) || !at< QuaydConfig >( "quayd/config" )->enabled() ) {
      return "the quy sub-agent is not the one configured";
   }
   if ( editing ) {
      return String( "inside an operator edit, before it is whole" );
   }
   auto s = seen( p.name );
   if ( !s ) {
      return String( "not configured" );
   }
   if ( !s->enabled ) {
      return String( "disabled" );
   }
   if ( p.image != s->params.image || p.binds() != s->binds ) {
      return fmt::format( "image '{}' with {} bind mounts, configured '{}' with {}", p.image,
                          p.binds().size(), s->params.image, s->binds.size() );
   }
   // An edit seen only now (the run came inside it) has passed no condition.
   auto it = seen_.find( p.name );
   uint64_t const since =
      it != seen_.end() && it->second == *s ? it->second.passesBefore : conditionPasses_;
   String const & cond = s->params.startupConditionBash;
   if ( !cond.empty() && conditionPasses_ == since && !conditionRecorded_.count( p.name ) ) {
      return "its startup condition '" + cond + "' has not passed since its last change";
   }
   auto status =
      at< ContainerStatusDir >( Cell::path( "quayd/container/status", 0 ) )->container( p.name );
   if ( status && status->state() == ContainerRunState::containerRunning_ ) {
      return String( "its status records it running" );
   }
   return std::nullopt;
}

World::~World() {
   daemon->frozen = true;
   agent_ = nullptr;
}

Ptr< ProfileEntityManager > World::newDb() const {
   auto db = makePtr< ProfileEntityManager >();
   db->profileIs( quaydMountProfile() );
   String error;
   QUAYD_ASSERT( db->mount( "Quayd", error ) );
   return db;
}

void World::startAgent() {
   if ( !db_ ) {
      db_ = newDb();
   }
   Ptr< SimDaemon > d = daemon;
   // No trace ring: the simulator keeps to memory.
   agent_ = AgentIs( "Quayd",
                     Host{ time.scheduler(), &processes, &time.files, nullptr, nullptr,
                           Sinks{ trace, &logs } },
                     [ d ]( auto const & ) { return d; } );
   agent_->hostIs( db_, time.scheduler() );
   db_->mountDoneIs(
      [ this ]( MountStatus s, String const & ) { agent_->doMountsComplete( s, db_ ); } );
   agent_->doInit();
}

Ptr< ProfileEntityManager > World::copyDb() const {
   Ptr< ProfileEntityManager > copy = newDb();
   for ( auto const & [ path, e ] : db_->entities() ) {
      copyEntity( *e, *copy->getEntity( path ) );
   }
   return copy;
}

bool World::isConfiguration( String const & path ) const {
   return configurationPaths_.count( path ) != 0;
}

void World::checkpoint() {
   if ( !checkpoint_ ) {
      checkpoint_ = newDb();
   }
   std::vector< Ptr< Entity > > removed;
   for ( auto const & [ path, e ] : db_->entities() ) {
      syncEntity( *e, *checkpoint_->getEntity( path ), removed );
   }
   seenAtCheckpoint_ = seen_;
   watchedAtCheckpoint_ = watched_;
}

void World::statusWritesLostIs( bool lost ) {
   if ( !lost ) {
      statusAtLoss_ = nullptr;
   } else if ( !statusAtLoss_ ) {
      statusAtLoss_ = copyDb();
   }
}

std::vector< Ptr< Entity > > World::redisRestart() {
   std::vector< Ptr< Entity > > removed;
   if ( !checkpoint_ ) {
      return removed;
   }
   editing = true;
   for ( auto const & [ path, e ] : db_->entities() ) {
      if ( isConfiguration( path ) ) {
         syncEntity( *checkpoint_->getEntity( path ), *e, removed );
      }
   }
   editing = false;
   noteEdit();
   return removed;
}

std::vector< String > World::restartAgent( bool lostTail ) {
   Ptr< ProfileEntityManager > next = newDb();
   for ( auto const & [ path, e ] : db_->entities() ) {
      Ptr< ProfileEntityManager > from = lostTail && checkpoint_ ? checkpoint_ : db_;
      if ( !isConfiguration( path ) && statusAtLoss_ ) {
         from = statusAtLoss_;
      }
      copyEntity( *from->getEntity( path ), *next->getEntity( path ) );
   }
   // Going down, the old agent reaches nothing that outlives it.
   daemon->frozen = true;
   db_->mountDoneIs( nullptr );
   agent_ = nullptr;
   daemon->frozen = false;

   std::vector< String > leftovers;
   for ( auto const & [ path, e ] : db_->entities() ) {
      findLeftovers( *e, 1, leftovers );
   }
   if ( time.scheduler()->nextDeadline() || time.scheduler()->hasReadyTasks() ) {
      leftovers.push_back( "tasks or timers of the old agent are still scheduled" );
   }
   processes.reapSignaled();
   for ( auto const & [ pid, argv ] : processes.runningArgv() ) {
      leftovers.push_back( fmt::format( "child {} ({}) outlived its owner", pid, argv[ 0 ] ) );
      processes.exit( pid, 137 );
   }
   bool const older = ( lostTail && checkpoint_ ) || statusAtLoss_;
   std::set< String > forgotten = imageTags( *db_ );
   for ( auto const & tag : imageTags( *next ) ) {
      forgotten.erase( tag );
   }
   db_ = next;
   if ( lostTail && checkpoint_ ) {
      // The configuration is back where it was: so is what the agent saw.
      seen_ = seenAtCheckpoint_;
      watched_ = watchedAtCheckpoint_;
   }
   if ( older ) {
      // A start the older status records as failed (its condition passed)
      // for the configuration as it is now is due again for the new agent:
      // the changes made since, and their writes, are lost to it.
      for ( auto const & [ name, st ] :
            at< ContainerStatusDir >( Cell::path( "quayd/container/status", 0 ) )->container() ) {
         auto const s = seen( name );
         if ( s && st->params().isEq( s->params ) &&
              ( st->state() == ContainerRunState::containerStartFailed_ ||
                st->state() == ContainerRunState::containerStarting_ ) ) {
            conditionRecorded_.insert( name );
         }
      }
      restoredState_ = containersState();
      stateWritten_ = false;
      daemon->loginsForgotten();
      daemon->imagesForgotten( forgotten );
   }
   startAgent();
   if ( lostTail ) {
      noteEdit();
   }
   return leftovers;
}

std::optional< int32_t > World::outcome( std::vector< String > const & argv ) const {
   if ( childrenHang || argv.empty() ) {
      return std::nullopt;
   }
   if ( argv[ 0 ] == "nc" && argv.size() >= 2 ) {
      String const & host = argv[ argv.size() - 2 ];
      return !networkDown && answers( host ) ? 0 : 1;
   }
   // A startup condition: "true", "false", or one that never ends.
   String const & cmd = argv.back();
   if ( cmd == "true" ) {
      return 0;
   }
   if ( cmd == "false" ) {
      return 1;
   }
   return std::nullopt;
}

void World::resolveChildren() {
   processes.reapSignaled();
   for ( auto const & [ pid, argv ] : processes.runningArgv() ) {
      if ( auto end = outcome( argv ); end && processes.running( pid ) ) {
         if ( *end == 0 && argv[ 0 ] == ContainerSm::kStartupConditionShell ) {
            ++conditionPasses_;
         }
         processes.exit( pid, *end );
      }
   }
}

SmState World::containersState() const {
   return at< ContainerStatusDir >( Cell::path( "quayd/container/status", 0 ) )->state();
}

void World::noteContainersState() {
   if ( !restoredState_ ) {
      return;
   }
   SmState const s = containersState();
   stateWritten_ = stateWritten_ || s != *restoredState_;
   // Started, the containers asked the daemon what it holds; a daemon that
   // did not answer told them nothing.
   if ( stateWritten_ && s == SmState::started_ && !daemon->listingFailed() ) {
      restoredState_.reset();
   }
}

bool World::run( Duration d ) {
   TimePoint const end = time.now() + d;
   for ( int turns = 0; turns < 100000; ++turns ) {
      noteContainersState();
      resolveChildren();
      daemon->restartDue();
      time.runReady();
      auto next = time.scheduler()->nextDeadline();
      if ( auto restart = daemon->nextRestart(); restart && ( !next || *restart < *next ) ) {
         next = restart;
      }
      if ( !next || *next > end ) {
         time.advance( end - time.now() );
         resolveChildren();
         daemon->restartDue();
         time.runReady();
         noteContainersState();
         return true;
      }
      time.advance( std::max( *next - time.now(), Duration( 0 ) ) );
   }
   return false;
}

bool World::runUntil( Duration d, std::function< bool() > const & until ) {
   TimePoint const end = time.now() + d;
   for ( int turns = 0; turns < 100000; ++turns ) {
      noteContainersState();
      resolveChildren();
      daemon->restartDue();
      time.turn();
      noteContainersState();
      if ( until() ) {
         return true;
      }
      if ( time.scheduler()->hasReadyTasks() ) {
         continue;
      }
      auto next = time.scheduler()->nextDeadline();
      if ( auto restart = daemon->nextRestart(); restart && ( !next || *restart < *next ) ) {
         next = restart;
      }
      if ( !next || *next > end ) {
         return false;
      }
      time.stall( std::max( *next - time.now(), Duration( 0 ) ) );
   }
   return false;
}

ToolRun World::mountTool( std::vector< String > const & argv ) {
   Ptr< ChildSiginfo > child( new ChildSiginfo );
   auto exit = [ & ]( int32_t status, String err ) {
      child->exitStatusIs( status );
      child->signalCodeIs( kChildExited );
      return ToolRun{ child, std::move( err ) };
   };
   if ( mountToolFails ) {
      return exit( 1, "mount: " + String( kFlashRoot ) + ": I/O error\n" );
   }
   if ( !time.files.isMountPoint( kFlash ) ) {
      return exit( 1, "quylbmount: " + String( kFlash ) + " is not mounted\n" );
   }
   String const mode = argv.size() >= 3 ? argv[ 2 ] : String();
   if ( mode == "--delete" ) {
      time.files.erase( kFlashRoot );
      flashMounted = false;
      return exit( 0, "" );
   }
   if ( mode == "--unmount" ) { // the image and what it holds stay
      flashMounted = false;
      return exit( 0, "" );
   }
   if ( flashMounted ) {
      return exit( 2, "" );
   }
   // An image a stop could not delete, that no status claims, is mounted
   // as it was: the data in it is kept, its images none the agent records.
   if ( time.files.exists( String( kFlashRoot ) + "/data-root/engine-id" ) &&
        !at< QuaydStatus >( Cell::path( "quayd/status", 0 ) )->runningOnFlash() ) {
      daemon->rootKept( String( kFlashRoot ) + "/data-root" );
   }
   flashMounted = true;
   time.files.addFile( String( kFlashRoot ) + "/data-root/engine-id" );
   daemon->retryStart();
   return exit( 0, "" );
}

} // namespace Quayd::Sim
