#include "tests/sim/Driver.h"

#include <fmt/ranges.h>

#include "platform/Exception.h"

namespace Quayd::Sim {

using namespace std::chrono_literals;

namespace {
std::vector< String > const kProfiles{ "p1", "p2" };
std::vector< String > const kRegistries{ "r1", "r2" };
std::vector< String > const kVrfs{ "red", "blue" };
std::vector< String > const kRuntimeCalls{
   "runtimeInstalled", "runtimeActive",   "enableRuntime",    "disableRuntime",  "reloadConfig",
   "inspectImage",     "loadImage",       "removeImage",      "login",           "logout",
   "inspectContainer", "runContainer",    "stopContainer",    "removeContainer", "applyConfig",
   "resetConfig",      "listStaleImages", "listOwnContainers"
};
std::vector< String > const kServiceJobCalls{ "applyConfig", "enableRuntime", "disableRuntime" };
} // namespace

Driver::Driver( uint64_t seed, World & world, bool faultsInFlight )
    : rng_( seed ), world_( world ), op_( world ), faultsInFlight_( faultsInFlight ) {
   world_.time.files.freeMb = chance( 0.8 ) ? 4096 : 8;
   world_.daemon->tarballs[ "/mnt/flash/app.tar" ] = { "app:1" };
   world_.daemon->tarballs[ "/mnt/flash/.quayd/kept.tar" ] = { "kept:1" };
   world_.time.files.addFile( "/mnt/flash/.quayd/kept.tar" );
}

ContainerEdit Driver::containerEdit( bool isProfile ) {
   ContainerEdit e;
   e.params.image = pick< String >( { "img1:1", "img2:1", "app:1", "reg.lab:5000/app:2", "" } );
   e.params.command = pick< String >( { "", "sleep 1d", "httpd -f -p 80", "sh -c 'echo" } );
   e.params.memory = pick< String >( { "", "64m" } );
   e.params.restartPolicy =
      pick< String >( { "", "always", "no", "unless-stopped", "on-failure:2", "on-failure" } );
   e.params.startupConditionBash = pick< String >( { "", "", "true", "false", "sleep 1000" } );
   if ( chance( 0.4 ) ) {
      BindMountEntry b{ pick< String >( { "/mnt/flash/x", "/mnt/flash/y" } ),
                        pick< String >( { "/data", "/etc/app" } ), chance( 0.5 ) };
      e.binds[ b.containerPath ] = b;
   }
   e.enabled = chance( 0.8 );
   if ( !isProfile ) {
      e.profile = pick< String >( { "", "", "p1", "p2", "ghost" } );
   }
   return e;
}

String Driver::editContainer() {
   String const name = pick( kContainers );
   if ( chance( 0.2 ) ) {
      op_.containerDel( name );
      return "delete container " + name;
   }
   ContainerEdit const e = containerEdit( false );
   op_.container( name, e );
   return fmt::format( "container {}: image '{}' command '{}' memory '{}' restart '{}' "
                       "condition '{}' binds {} enabled {} profile '{}'",
                       name, e.params.image, e.params.command, e.params.memory,
                       e.params.restartPolicy, e.params.startupConditionBash, e.binds.size(),
                       e.enabled, e.profile );
}

String Driver::editProfile() {
   String const name = pick( kProfiles );
   if ( chance( 0.3 ) ) {
      op_.profileDel( name );
      return "delete profile " + name;
   }
   ContainerEdit const e = containerEdit( true );
   op_.profile( name, e );
   return fmt::format( "profile {}: image '{}' memory '{}' restart '{}' binds {}", name,
                       e.params.image, e.params.memory, e.params.restartPolicy, e.binds.size() );
}

String Driver::editRegistry() {
   String const name = pick( kRegistries );
   if ( chance( 0.3 ) ) {
      op_.registryDel( name );
      return "delete registry " + name;
   }
   RegistryParams p{ pick< String >( { "reg.lab:5000", "10.0.0.5:5000", "" } ),
                     pick< String >( { "ops", "" } ), pick< String >( { "pw", "" } ),
                     chance( 0.3 ) };
   op_.registry( name, p );
   return fmt::format( "registry {}: server '{}' user '{}' password {} insecure {}", name, p.server,
                       p.username, !p.password.empty(), p.insecure );
}

String Driver::editQuy() {
   bool const enabled = chance( 0.75 );
   bool const onFlash = chance( 0.4 );
   uint64_t const limit = pick< uint64_t >( { 0, 100ull << 20, 1ull << 40 } );
   op_.quy( enabled, onFlash, limit );
   return fmt::format( "quy enabled {} onFlash {} flashLimit {}", enabled, onFlash, limit );
}

String Driver::editContainerz() {
   if ( chance( 0.35 ) ) {
      op_.containerz( std::nullopt );
      return "containerz off";
   }
   Gnoi::Containerz::CrtConfig c;
   c.vrfName = L3::VrfName( pick< String >( { "default", "", "red", "blue" } ) );
   c.logDriver = chance( 0.6 ) ? 1 : 0;
   c.syslogServer = pick< String >( { "", "udp://10.0.0.1:514", "udp://unreachable:514",
                                      "udp://:514", "udp://", "::garbage", "tcp://syslog" } );
   op_.containerz( c );
   return fmt::format( "containerz vrf '{}' logDriver {} server '{}'", c.vrfName, c.logDriver,
                       c.syslogServer );
}

String Driver::editVrf() {
   String const name = pick( kVrfs );
   if ( chance( 0.25 ) ) {
      op_.vrf( name, std::nullopt );
      return "vrf " + name + " gone";
   }
   uint8_t const state = chance( 0.7 ) ? Ip::kVrfStateActive : 0;
   bool const ready = chance( 0.7 );
   op_.vrf( name, std::make_pair( state, ready ) );
   return fmt::format( "vrf {} state {} ready {}", name, state, ready );
}

String Driver::editImages() {
   if ( chance( 0.5 ) ) {
      String const path = pick< String >( { "/mnt/flash/app.tar", "/mnt/flash/missing.tar" } );
      bool const on = chance( 0.7 );
      op_.tarball( path, on );
      return fmt::format( "tarball {} configured {}", path, on );
   }
   String const path = pick< String >( { "", "/mnt/flash/", "/data" } );
   op_.persistentPath( path );
   return "persistent path '" + path + "'";
}

String Driver::fault() {
   SimDaemon & d = *world_.daemon;
   switch ( std::uniform_int_distribution< int >( 0, 12 )( rng_ ) ) {
   case 0:
   case 1: {
      String const call = pick( kRuntimeCalls );
      // A refused inspection means that there is no such thing: not a fault.
      bool const inspection = call.starts_with( "inspect" );
      Fault f = chance( 0.5 ) || inspection ? Fault::runtime : Fault::apiRequest;
      if ( std::find( kServiceJobCalls.begin(), kServiceJobCalls.end(), call ) !=
              kServiceJobCalls.end() &&
           chance( 0.5 ) ) {
         f = Fault::serviceJob;
      }
      d.failNext( call, f );
      return fmt::format( "fault: next {} fails ({})", call, int( f ) );
   }
   case 2:
      if ( d.dead ) {
         d.revive();
         return "fault cleared: the daemon is back";
      }
      d.die();
      return "fault: the daemon dies";
   case 3:
      d.wontStop = !d.wontStop;
      return fmt::format( "fault: the daemon will not stop: {}", d.wontStop );
   case 4:
      d.installed = !d.installed;
      return fmt::format( "fault: the runtime installed: {}", d.installed );
   case 5:
      world_.processes.failRun = !world_.processes.failRun;
      return fmt::format( "fault: children cannot be spawned: {}", world_.processes.failRun );
   case 6:
      world_.childrenHang = !world_.childrenHang;
      return fmt::format( "fault: children hang: {}", world_.childrenHang );
   case 7:
      world_.networkDown = !world_.networkDown;
      return fmt::format( "fault: network down: {}", world_.networkDown );
   case 8:
      world_.mountToolFails = !world_.mountToolFails;
      return fmt::format( "fault: the mount tool fails: {}", world_.mountToolFails );
   case 9: {
      // Someone else's container takes a configured name the agent does not
      // hold; the operator's clean-up at the end removes it.
      String const name = pick( kContainers );
      auto status = world_.at< ContainerStatusDir >( Cell::path( "quayd/container/status", 0 ) )
                       ->container( name );
      if ( !d.active() || d.dead || d.hung || d.containers().count( name ) ||
           ( status && status->state() == ContainerRunState::containerRunning_ ) ) {
         return "time passes";
      }
      d.foreignIs( name );
      return "fault: a foreign container holds the name " + name;
   }
   case 10: {
      // While the containers run (a status left by a stopped sub-agent is
      // looked at again only when it starts).
      String const name = pick( kContainers );
      if ( !d.active() || d.dead || d.hung ||
           world_.at< ContainerStatusDir >( Cell::path( "quayd/container/status", 0 ) )->state() !=
              SmState::started_ ) {
         return "time passes";
      }
      d.removeBehind( name );
      return "fault: container " + name + " removed behind the agent's back";
   }
   case 11: {
      // Nobody else gets an answer from a hung daemon either.
      String const image = pick< String >( { "img1:1", "app:1", "kept:1" } );
      if ( d.hung ) {
         return "time passes";
      }
      d.removeImageBehind( image );
      return "fault: image " + image + " removed behind the agent's back";
   }
   default: {
      String const op = pick< String >( { "makeDirs", "list", "removeAll" } );
      auto & failing = world_.time.files.failing;
      bool const on = !failing.count( op );
      if ( on ) {
         failing.insert( op );
      } else {
         failing.erase( op );
      }
      return fmt::format( "fault: file system {} fails: {}", op, on );
   }
   }
}

String Driver::exit() {
   String const name = pick( kContainers );
   auto const [ code, oom ] = pick< std::pair< int32_t, bool > >(
      { { 0, false }, { 1, false }, { 2, false }, { 137, true } } );
   if ( !world_.daemon->exitBehind( name, code, oom ) ) {
      return "time passes";
   }
   return fmt::format( "container {} ends by itself: code {}{}", name, code,
                       oom ? ", killed for its memory" : "" );
}

String Driver::events() {
   SimDaemon & d = *world_.daemon;
   if ( d.eventsBroken() ) {
      d.resumeEvents();
      return "the daemon's event stream starts again";
   }
   d.breakEvents();
   return "fault: the daemon's event stream breaks";
}

String Driver::fieldFault() {
   SimDaemon & d = *world_.daemon;
   String const server = pick< String >( { "reg.lab:5000", "10.0.0.5:5000" } );
   bool const on = !d.refusing.count( server );
   if ( on ) {
      d.refusing.insert( server );
   } else {
      d.refusing.erase( server );
   }
   return fmt::format( "fault: registry {} refuses every login: {}", server, on );
}

String Driver::daemonSpeed() {
   SimDaemon & d = *world_.daemon;
   switch ( std::uniform_int_distribution< int >( 0, 2 )( rng_ ) ) {
   case 0:
      d.hung = !d.hung;
      return fmt::format( "fault: the daemon hangs: {}", d.hung );
   case 1:
      d.slow = std::chrono::seconds( std::uniform_int_distribution< int >( 1, 4 )( rng_ ) );
      return fmt::format( "fault: each call to the daemon takes {} s",
                          std::chrono::duration_cast< std::chrono::seconds >( d.slow ).count() );
   default:
      d.hung = false;
      d.slow = Duration( 0 );
      return "fault cleared: the daemon answers at once";
   }
}

String Driver::database() {
   switch ( std::uniform_int_distribution< int >( 0, 2 )( rng_ ) ) {
   case 0:
      op_.removedAre( world_.redisRestart() );
      return "fault: Redis restarts, its append-only file lost its last writes";
   case 1:
      world_.statusWritesLostIs( !world_.statusWritesLost() );
      return fmt::format( "fault: the status writes are refused or lost: {}",
                          world_.statusWritesLost() );
   default:
      return "power cut, Redis lost its last writes"; // done by the scenario
   }
}

void Driver::clearFaults() {
   for ( auto const & vrf : kVrfs ) {
      world_.time.files.addFile( "/run/netns/ns-" + vrf );
   }
   world_.daemon->clearFaults();
   world_.daemon->foreignDelAll();
   world_.processes.failRun = false;
   world_.childrenHang = false;
   world_.networkDown = false;
   world_.mountToolFails = false;
   world_.time.files.failing.clear();
   world_.time.files.mountPoints.insert( World::kFlash );
   world_.statusWritesLostIs( false );
}

String Driver::startsAndRemovals() {
   SimDaemon & d = *world_.daemon;
   if ( chance( 0.5 ) ) {
      d.removalsFail = !d.removalsFail;
      return fmt::format( "fault: removals fail, leaving containers dead: {}", d.removalsFail );
   }
   if ( d.startRefused ) {
      d.startRefused.reset();
      return "fault cleared: containers start again";
   }
   d.startRefused =
      pick< String >( { "no space left on device",
                        "error mounting \"/mnt/flash/x\" to rootfs: no such file or directory" } );
   return "fault: every start fails: " + *d.startRefused;
}

String Driver::fieldFaults() {
   SimDaemon & d = *world_.daemon;
   auto & files = world_.time.files;
   switch ( std::uniform_int_distribution< int >( 0, 4 )( rng_ ) ) {
   case 0:
      // Done by the scenario, which checks what is left; flash may come up
      // after the agent.
      if ( files.isMountPoint( World::kFlash ) && chance( 0.3 ) ) {
         return "power cut, /mnt/flash mounted late";
      }
      return "power cut";
   case 4:
      if ( files.isMountPoint( World::kFlash ) ) {
         return "time passes";
      }
      files.mountPoints.insert( World::kFlash );
      return "fault cleared: /mnt/flash is mounted";
   case 1: {
      String const ns = "/run/netns/ns-" + pick( kVrfs );
      if ( files.exists( ns ) ) {
         files.erase( ns );
         return "fault: the network namespace " + ns + " is gone";
      }
      files.addFile( ns );
      d.revive();
      return "fault cleared: the network namespace " + ns + " is back";
   }
   case 2:
      d.diskFull = !d.diskFull;
      return fmt::format( "fault: image loads find the disk full: {}", d.diskFull );
   default:
      d.startRefused = "no space left on device";
      return "fault: every start finds the disk full";
   }
}

String Driver::step() {
   struct Kind {
      int weight;
      String ( Driver::*act )();
   };
   static Kind const kinds[] = {
      { 20, &Driver::editContainer },
      { 7, &Driver::editProfile },
      { 5, &Driver::editRegistry },
      { 10, &Driver::editQuy },
      { 8, &Driver::editContainerz },
      { 6, &Driver::editVrf },
      { 4, &Driver::editImages },
      { 22, &Driver::fault },
      { 3, nullptr }, // a restart, done by the scenario, which checks what is left
      { 6, &Driver::exit },
      { 2, &Driver::events },
      { 2, &Driver::fieldFault },
      { 2, &Driver::startsAndRemovals },
      { 3, &Driver::fieldFaults },
      { 2, &Driver::daemonSpeed },
      { 3, &Driver::database },
      { 5, &Driver::idle },
      { 4, &Driver::faultInFlight },
   };
   // Without the faults in flight, the other kinds draw as they always did.
   auto const weight = [ this ]( Kind const & k ) {
      return k.act == &Driver::faultInFlight && !faultsInFlight_ ? 0 : k.weight;
   };
   int total = 0;
   for ( auto const & k : kinds ) {
      total += weight( k );
   }
   int roll = std::uniform_int_distribution< int >( 0, total - 1 )( rng_ );
   for ( auto const & k : kinds ) {
      if ( roll < weight( k ) ) {
         return k.act ? ( this->*k.act )() : String( "restart" );
      }
      roll -= weight( k );
   }
   return idle();
}

namespace {
void add( std::vector< Violation > & to, std::vector< Violation > const & from ) {
   to.insert( to.end(), from.begin(), from.end() );
}

std::vector< Violation > leftovers( std::vector< String > const & found ) {
   std::vector< Violation > out;
   for ( auto const & f : found ) {
      out.push_back( { "AgentLeavesNothingBehind", f } );
   }
   return out;
}

// A failed run is logged once: as many QUAYD_CONTAINER_START_FAILED of a
// container as the daemon saw failed runs of it since `before`.
std::vector< Violation > failedRunsLoggedOnce( World & world,
                                               std::map< String, uint32_t > const & before ) {
   std::map< String, uint32_t > failed;
   for ( auto const & [ name, n ] : world.daemon->failedRuns() ) {
      auto const was = before.find( name );
      if ( uint32_t const now = n - ( was == before.end() ? 0 : was->second ) ) {
         failed[ name ] = now;
      }
   }
   std::map< String, uint32_t > said;
   for ( auto const & m : world.logs.messages ) {
      if ( m.id == "QUAYD_CONTAINER_START_FAILED" ) {
         auto const name = m.text.substr( 10, m.text.find( " failed to run" ) - 10 );
         ++said[ name ];
      }
   }
   std::vector< Violation > out;
   if ( said != failed ) {
      out.push_back( { "EachCauseIsLoggedOnce",
                       fmt::format( "failed runs said {} for {} failed", fmt::join( said, ", " ),
                                    fmt::join( failed, ", " ) ) } );
   }
   return out;
}
} // namespace

ScenarioResult runScenario( uint64_t seed, size_t steps,
                            std::function< void( size_t ) > const & stepStarted, TraceSink * trace,
                            bool faultsInFlight ) {
   ScenarioResult r;
   World world;
   world.trace = trace;
   Driver driver( seed, world, faultsInFlight );
   std::mt19937_64 pace( seed ^ 0x9e3779b97f4a7c15ull );
   auto alive = [ & ]( auto && f ) {
      try {
         f();
      } catch ( std::exception const & e ) {
         r.violations.push_back( { "AgentIsAlive", e.what() } );
      }
      return r.violations.empty();
   };
   auto settle = [ & ]( Duration d ) {
      if ( !world.run( d ) ) {
         r.violations.push_back( { "TimersSettle", "timers kept firing without end" } );
      }
   };
   if ( !alive( [ & ] {
           world.startAgent();
           settle( 1s );
        } ) ) {
      return r;
   }
   for ( size_t i = 1; i <= steps; ++i ) {
      String what;
      if ( stepStarted ) {
         stepStarted( i );
      }
      // What Redis has surely written: a lost tail goes back to here.
      if ( i % 10 == 1 ) {
         world.checkpoint();
      }
      bool const ok = alive( [ & ] {
         what = driver.step();
         if ( what == "restart" || what.find( "restart with" ) != String::npos ) {
            add( r.violations, leftovers( world.restartAgent() ) );
         }
         if ( what.starts_with( "power cut" ) ) {
            // Everything stops at once; the loop mount is gone at boot.
            world.daemon->die();
            world.flashMounted = false;
            if ( what == "power cut, /mnt/flash mounted late" ) {
               world.time.files.mountPoints.erase( World::kFlash );
            }
            add( r.violations, leftovers( world.restartAgent(
                                  what == "power cut, Redis lost its last writes" ) ) );
            // The runtime's record of its runs lived in /run.
            world.daemon->runRecordLost();
            world.daemon->revive();
         }
         settle( std::chrono::seconds( std::uniform_int_distribution< int >( 0, 40 )( pace ) ) );
      } );
      r.steps.push_back( what );
      if ( ok ) {
         add( r.violations, checkStep( world ) );
      }
      if ( !r.violations.empty() ) {
         r.failedStep = i;
         return r;
      }
   }
   auto const atRest = [ & ]( char const * when ) {
      for ( auto v : checkAtRest( world, driver.op().deleted() ) ) {
         v.detail = fmt::format( "{} ({})", v.detail, when );
         r.violations.push_back( v );
      }
      return r.violations.empty();
   };
   if ( stepStarted ) {
      stepStarted( 0 );
   }
   driver.clearFaults();
   // At rest each cause is said once.
   world.logs.messages.clear();
   auto const failedBefore = world.daemon->failedRuns();
   if ( !alive( [ & ] { settle( 10min ); } ) || !atRest( "at rest" ) ) {
      return r;
   }
   add( r.violations, failedRunsLoggedOnce( world, failedBefore ) );
   std::map< std::pair< String, String >, size_t > said;
   for ( auto const & m : world.logs.messages ) {
      // Said once per failed run and per overrunning run of a startup
      // condition: each is a cause of its own, and the back-off and the poll
      // interval bound how often. The failed runs are counted below.
      if ( m.id == "QUAYD_CONTAINER_START_FAILED" ||
           m.id == "QUAYD_CONTAINER_STARTUP_CONDITION_BASH_TIMEOUT" ) {
         continue;
      }
      if ( ++said[ { m.id, m.text } ] == 2 ) {
         r.violations.push_back(
            { "EachCauseIsLoggedOnce", fmt::format( "{} again at rest: {}", m.id, m.text ) } );
      }
   }
   if ( !r.violations.empty() ) {
      return r;
   }
   auto const runs = world.daemon->runs();
   auto const before = world.daemon->containers();
   auto const starts = world.daemon->starts();
   if ( !alive( [ & ] {
           add( r.violations, leftovers( world.restartAgent() ) );
           settle( 5min );
        } ) ||
        !atRest( "after a restart" ) ) {
      return r;
   }
   // What ran stays as it was; one that waited for what it lacked (an
   // image removed behind the agent's back, loaded again at its start) may
   // start now.
   std::vector< String > changed;
   auto const after = world.daemon->containers();
   for ( auto const & [ name, c ] : before ) {
      auto it = after.find( name );
      if ( c.running && ( it == after.end() || it->second != c ||
                          world.daemon->runs().at( name ) != runs.at( name ) ) ) {
         changed.push_back( name );
      }
   }
   if ( !changed.empty() ) {
      r.violations.push_back(
         { "RestartKeepsContainersRunning",
           fmt::format( "a restart of the agent ran again: {}", fmt::join( changed, ", " ) ) } );
      return r;
   }
   // Either sub-agent's daemon, up at rest, is taken on as it runs.
   if ( world.daemon->starts() != starts ) {
      r.violations.push_back(
         { "RestartKeepsTheDaemonRunning", "a restart of the agent restarted the daemon" } );
      return r;
   }
   // The daemon restarts, as on a switch that lost power: what it does not
   // restart by itself, the agent runs again once the daemon is back.
   if ( alive( [ & ] {
           world.daemon->die();
           settle( 10s );
           world.daemon->revive();
           settle( 5min );
        } ) ) {
      atRest( "after a restart of the daemon" );
   }
   return r;
}

} // namespace Quayd::Sim
