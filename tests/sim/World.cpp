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
   std::map< String, Seen > now;
   for ( auto const & [ name, c ] :
         at< ContainerConfigDir >( "quayd/container/config" )->container() ) {
      Seen s = *seen( name );
      auto it = seen_.find( name );
      bool const same = it != seen_.end() && it->second == s;
      now[ name ] = same ? it->second : s;
      edits_[ name ] += same ? 0 : 1;
   }
   seen_ = std::move( now );
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
   if ( !cond.empty() && conditionPasses_ == since ) {
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
   agent_ = AgentIs( "Quayd", Host{ time.scheduler(), &processes, &time.files },
                     [ d ]( auto const & ) { return d; } );
   agent_->hostIs( db_, time.scheduler() );
   db_->mountDoneIs(
      [ this ]( MountStatus s, String const & ) { agent_->doMountsComplete( s, db_ ); } );
   agent_->doInit();
}

std::vector< String > World::restartAgent() {
   Ptr< ProfileEntityManager > next = newDb();
   for ( auto const & [ path, e ] : db_->entities() ) {
      copyEntity( *e, *next->getEntity( path ) );
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
   db_ = next;
   startAgent();
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

bool World::run( Duration d ) {
   TimePoint const end = time.now() + d;
   for ( int turns = 0; turns < 100000; ++turns ) {
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
         return true;
      }
      time.advance( std::max( *next - time.now(), Duration( 0 ) ) );
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
   flashMounted = true;
   time.files.addFile( String( kFlashRoot ) + "/data-root/engine-id" );
   return exit( 0, "" );
}

} // namespace Quayd::Sim
