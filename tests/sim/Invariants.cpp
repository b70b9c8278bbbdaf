#include "tests/sim/Invariants.h"

#include <boost/program_options/parsers.hpp>

#include "agent/ContainerPlan.h"
#include "agent/UrlReachability.h"
#include "platform/Exception.h"

namespace Quayd::Sim {

namespace {

using Checks = std::vector< Violation >;

// A configured container as it should run: its own fields, and the
// profile's where it leaves one at the default.
struct Wanted {
   ContainerParams params;
   std::map< String, BindMountEntry > binds;
   bool enabled = false;
};

Wanted merged( ContainerConfig const & c, ContainerProfileConfigDir const & profiles ) {
   auto const p = c.profile().empty() ? nullptr : profiles.profile( c.profile() );
   MergedConfig m = mergedConfig( c, p.get() );
   return { std::move( m.params ), std::move( m.bindMounts ), c.enabled() };
}

std::optional< std::vector< String > > words( String const & text ) {
   try {
      return boost::program_options::split_unix( text );
   } catch ( std::exception const & ) {
      return std::nullopt;
   }
}

// Whether the container can run at all once faults are gone; a startup
// condition that fails or never ends keeps it waiting.
bool runs( Wanted const & w ) {
   String const & cond = w.params.startupConditionBash;
   return w.enabled && !w.params.image.empty() && words( w.params.command ) &&
          words( w.params.options ) && ( cond.empty() || cond == "true" );
}

struct Expected {
   bool containerz = false;
   bool quyWanted = false;
   bool flashFits = true;
   bool quyUp() const { return quyWanted && flashFits; }
};

Expected expected( World const & w ) {
   Expected e;
   auto gnoi = w.at< Gnoi::Config >( "mgmt/gnoi/config" );
   auto cfg = w.at< QuaydConfig >( "quayd/config" );
   e.containerz = bool( Gnoi::containerzConfig( *gnoi ) );
   e.quyWanted = !e.containerz && cfg->enabled();
   if ( cfg->onFlash() ) {
      uint64_t const free = w.time.files.freeMb;
      uint64_t const size = cfg->flashLimit() ? cfg->flashLimit() >> 20 : free * 12 / 100;
      e.flashFits = size > 0 && size <= free;
   }
   return e;
}

void expect( Checks & out, bool ok, char const * invariant, String detail ) {
   if ( !ok ) {
      out.push_back( { invariant, std::move( detail ) } );
   }
}

void checkQuyStates( World const & w, Expected const & e, Checks & out ) {
   SmState const want = e.quyUp() ? SmState::started_ : SmState::stopped_;
   auto status = w.at< QuaydStatus >( Cell::path( "quayd/status", 0 ) );
   std::pair< char const *, SmState > const states[] = {
      { "quayd status", status->state() },
      { "persistent path",
        w.at< PersistentPathStatus >( Cell::path( "quayd/image/persistentPathStatus", 0 ) )
           ->state() },
      { "image loading",
        w.at< ImageLoadStatusDir >( Cell::path( "quayd/image/status", 0 ) )->state() },
      { "registries",
        w.at< RegistryStatusDir >( Cell::path( "quayd/registry/status", 0 ) )->state() },
      { "containers",
        w.at< ContainerStatusDir >( Cell::path( "quayd/container/status", 0 ) )->state() }
   };
   for ( auto const & [ what, s ] : states ) {
      expect( out, s == want, "ChainStateAtRest",
              fmt::format( "{} is {}, want {}", what, s, want ) );
   }
   if ( e.quyUp() ) {
      auto global = w.at< QuaydStatus >( "quayd/status" );
      expect( out, global->state() == want, "ChainStateAtRest",
              fmt::format( "global quayd status is {}, want {}", global->state(), want ) );
   }
   bool const onFlash = e.quyUp() && w.at< QuaydConfig >( "quayd/config" )->onFlash();
   expect( out, status->runningOnFlash() == onFlash, "FlashFollowsTheSubAgent",
           fmt::format( "runningOnFlash {}, want {}", status->runningOnFlash(), onFlash ) );
   expect( out, w.flashMounted == onFlash, "FlashFollowsTheSubAgent",
           fmt::format( "flash data root mounted {}, want {}", w.flashMounted, onFlash ) );
}

void checkDaemon( World const & w, Expected const & e, Checks & out ) {
   SimDaemon const & d = *w.daemon;
   auto crt = w.at< Gnoi::Containerz::ContainerRuntimeStatus >( "mgmt/gnoi/containerz/crtStatus" );
   expect( out, crt->enabled() == e.containerz, "ContainerzStatusFollowsConfiguration",
           fmt::format( "crtStatus.enabled {}, want {}", crt->enabled(), e.containerz ) );
   if ( e.quyUp() ) {
      bool const onFlash = w.at< QuaydConfig >( "quayd/config" )->onFlash();
      String const root = onFlash ? "/mnt/flash/.quy/data-root" : "/var/lib/docker";
      std::set< String > insecure;
      for ( auto const & [ name, r ] :
            w.at< RegistryConfigDir >( "quayd/registry/config" )->registry() ) {
         if ( r->params().insecure && !r->params().server.empty() ) {
            insecure.insert( r->params().server );
         }
      }
      expect( out,
              d.active() && d.dataRoot() == root && d.netNs().empty() && !d.logAddress() &&
                 d.insecure() == insecure,
              "DaemonRunsAsTheSubAgentSays",
              fmt::format( "active {} root '{}' netns '{}' log {} insecure [{}], want root '{}' "
                           "insecure [{}]",
                           d.active(), d.dataRoot(), d.netNs(), bool( d.logAddress() ),
                           fmt::join( d.insecure(), "," ), root, fmt::join( insecure, "," ) ) );
      return;
   }
   if ( !e.containerz ) {
      expect( out, !d.active(), "DaemonRunsAsTheSubAgentSays",
              "the daemon runs with no sub-agent configured" );
      return;
   }
   auto c = Gnoi::containerzConfig( *w.at< Gnoi::Config >( "mgmt/gnoi/config" ) )->crtConfig();
   bool vrfUp = c.vrfName.isDefault();
   if ( auto v = w.at< Ip::AllVrfStatusLocal >( Cell::path( "ip/vrf/status/local", 0 ) )
                    ->vrf( c.vrfName.str() ) ) {
      vrfUp = vrfUp || ( v->vrfState() == Ip::kVrfStateActive && v->vrfReady() );
   }
   String const url = c.logDriver == 1 ? c.syslogServer : String();
   bool urlUsable = true, urlAnswers = true;
   if ( !url.empty() ) {
      try {
         urlAnswers = World::answers( UrlInfo::urlInfo( url ).host() );
      } catch ( std::invalid_argument const & ) {
         urlUsable = false;
      }
   }
   bool const up = vrfUp && urlUsable && urlAnswers;
   String const netNs = c.vrfName.isDefault() ? String() : "/run/netns/" + c.vrfName.nsName();
   std::optional< String > const log =
      c.logDriver == 1 ? std::optional< String >( url ) : std::nullopt;
   if ( up ) {
      expect( out,
              d.active() && d.dataRoot() == "/mnt/flash/.containerz/data-root" &&
                 d.netNs() == netNs && d.logAddress() == log,
              "DaemonRunsAsTheSubAgentSays",
              fmt::format( "Containerz: active {} root '{}' netns '{}', want netns '{}'",
                           d.active(), d.dataRoot(), d.netNs(), netNs ) );
   } else {
      expect( out, !d.active(), "DaemonRunsAsTheSubAgentSays",
              fmt::format( "Containerz: the daemon runs though vrf up {} url usable {} "
                           "answers {}",
                           vrfUp, urlUsable, urlAnswers ) );
   }
   expect( out, !vrfUp || urlUsable || !crt->lastError().empty(), "ConfigurationErrorsAreSaid",
           "a syslog server URL that cannot be used left no lastError" );
}

void checkContainers( World const & w, Expected const & e, Checks & out ) {
   auto configs = w.at< ContainerConfigDir >( "quayd/container/config" );
   auto profiles = w.at< ContainerProfileConfigDir >( "quayd/container/profileConfig" );
   auto statuses = w.at< ContainerStatusDir >( Cell::path( "quayd/container/status", 0 ) );
   auto const held = w.daemon->allContainers();
   if ( !e.quyUp() ) {
      // Only containers that could not be removed may stay, recorded as
      // still there, or in a data root not in use; the next start removes
      // them. One removed behind the agent's back while its events were
      // lost may stay recorded: only a start can ask the daemon again; so
      // may any an agent found on a database older than what it wrote, and
      // any whose run it abandoned and could not look for since.
      std::set< String > left = w.daemon->removedUnseen();
      left.insert( w.daemon->abandonedUnseen().begin(), w.daemon->abandonedUnseen().end() );
      for ( auto const & [ root, names ] : held ) {
         left.insert( names.begin(), names.end() );
      }
      for ( auto const & [ name, s ] : statuses->container() ) {
         expect( out,
                 w.statusRestored() ||
                    ( left.count( name ) && s->state() == ContainerRunState::containerRunning_ ),
                 "StatusAgreesWithDaemon",
                 fmt::format( "status of {} ({}) left with the sub-agent down", name,
                              s->state() ) );
      }
      return;
   }
   auto const running = w.daemon->containers();
   for ( auto const & [ name, c ] : configs->container() ) {
      Wanted const want = merged( *c, *profiles );
      auto it = running.find( name );
      auto status = statuses->container( name );
      if ( !status ) {
         out.push_back( { "StatusAgreesWithDaemon", "no status for container " + name } );
         continue;
      }
      expect( out, status->params() == want.params, "StatusAgreesWithDaemon",
              "status parameters of " + name + " differ from its configuration" );
      // An image neither here nor to be pulled leaves it waiting.
      bool const image =
         w.daemon->images().count( want.params.image ) || w.daemon->pullable( want.params.image );
      if ( !runs( want ) || !image ) {
         expect( out, it == running.end(), "ContainersFollowConfiguration",
                 "container " + name + " runs though it cannot or should not" );
         expect( out, status->state() != ContainerRunState::containerRunning_,
                 "StatusAgreesWithDaemon", "container " + name + " shown running" );
         continue;
      }
      if ( it == running.end() ) {
         out.push_back( { "ContainersFollowConfiguration",
                          fmt::format( "container {} is not in the daemon (state {}, {})", name,
                                       status->state(), status->lastError() ) } );
         continue;
      }
      SimContainer const & got = it->second;
      expect( out,
              got.image == want.params.image && got.memory == want.params.memory &&
                 got.restartPolicy == want.params.restartPolicy &&
                 got.command == *words( want.params.command ) && got.binds == want.binds,
              "ContainersRunAsConfigured",
              fmt::format( "container {} runs image '{}' memory '{}' restart '{}', want '{}' "
                           "'{}' '{}'",
                           name, got.image, got.memory, got.restartPolicy, want.params.image,
                           want.params.memory, want.params.restartPolicy ) );
      // Whatever ended it (the daemon restarting, a switch losing power),
      // the agent's next look at it runs it again. One that ended by itself
      // and that its restart policy leaves so (`no`, an `on-failure` count
      // spent, a zero exit under `on-failure`) stays exited until its
      // configuration changes or the daemon restarts.
      expect( out, got.running || got.exitedByItself, "EnabledContainersRun",
              fmt::format( "container {} is held but {} (restart '{}')", name,
                           got.restarting ? "restarting" : "exited", got.restartPolicy ) );
      expect( out, status->state() == ContainerRunState::containerRunning_,
              "StatusAgreesWithDaemon",
              fmt::format( "container {} runs but its status is {}", name, status->state() ) );
      String const daemonState = got.running ? "running" : "exited";
      int32_t const exitCode = got.exitCode;
      expect( out,
              status->daemonState() == daemonState && status->imageId() == "sha256:" + got.image &&
                 status->exitCode() == exitCode && status->restartCount() == got.restarts,
              "StatusShowsTheDaemonsWord",
              fmt::format( "container {} is {} (code {}, {} restarts) in the daemon, its status "
                           "says '{}' (code {}, {} restarts) image '{}'",
                           name, daemonState, exitCode, got.restarts, status->daemonState(),
                           status->exitCode(), status->restartCount(), status->imageId() ) );
   }
   for ( auto const & [ name, c ] : running ) {
      expect( out, c.foreign || configs->container( name ), "ContainersFollowConfiguration",
              "container " + name + " runs but is not configured" );
   }
   for ( auto const & [ name, s ] : statuses->container() ) {
      expect( out, bool( configs->container( name ) ), "StatusAgreesWithDaemon",
              "status of unconfigured container " + name );
   }
}

void checkRegistries( World const & w, Expected const & e, Checks & out ) {
   if ( !e.quyUp() ) {
      return;
   }
   auto statuses = w.at< RegistryStatusDir >( Cell::path( "quayd/registry/status", 0 ) );
   for ( auto const & [ name, r ] :
         w.at< RegistryConfigDir >( "quayd/registry/config" )->registry() ) {
      RegistryParams const & p = r->params();
      if ( p.insecure || p.server.empty() || p.username.empty() || p.password.empty() ) {
         continue;
      }
      auto s = statuses->registry( name );
      expect( out,
              s && s->state() == RegistryState::loggedIn && w.daemon->logins().count( p.server ),
              "RegistriesLoggedIn", "registry " + name + " is not logged in" );
   }
}

// A configured tarball's images are in the daemon and its status says so;
// one that cannot load says why. The images of a tarball no longer
// configured are gone from the data root in use, unless a container there
// still uses them, a configured tarball holds them too, or their removal
// failed there and the agent ran on another data root since. (The
// persistent path's own tarballs are the persistent path's to keep.)
void checkImages( World const & w, Expected const & e, Checks & out ) {
   if ( !e.quyUp() ) {
      return;
   }
   SimDaemon const & d = *w.daemon;
   auto statuses = w.at< ImageLoadStatusDir >( Cell::path( "quayd/image/status", 0 ) );
   auto const & configured = w.at< ImageLoadConfigDir >( "quayd/image/config" )->tarball();
   for ( auto const & path : configured ) {
      auto s = statuses->status( path );
      auto it = d.tarballs.find( path );
      if ( it == d.tarballs.end() ) {
         expect( out, s && !s->error().empty(), "ImagesFollowConfiguration",
                 "the failed load of " + path + " is not reported" );
         continue;
      }
      std::vector< String > missing;
      for ( auto const & tag : it->second ) {
         if ( !d.images().count( tag ) ) {
            missing.push_back( tag );
         }
      }
      expect( out, missing.empty() && s && s->error().empty(), "ImagesFollowConfiguration",
              fmt::format( "tarball {}: [{}] not in the daemon, status error '{}'", path,
                           fmt::join( missing, "," ), s ? s->error() : String( "(none)" ) ) );
   }
   std::set< String > kept;
   for ( auto const & path : configured ) {
      if ( auto it = d.tarballs.find( path ); it != d.tarballs.end() ) {
         kept.insert( it->second.begin(), it->second.end() );
      }
   }
   for ( auto const & [ name, c ] : d.containers() ) {
      kept.insert( c.image );
   }
   for ( auto const & [ path, tags ] : d.tarballs ) {
      if ( path.starts_with( "/mnt/flash/.quayd/" ) ||
           std::find( configured.begin(), configured.end(), path ) != configured.end() ) {
         continue;
      }
      for ( auto const & tag : tags ) {
         expect( out, kept.count( tag ) || !d.images().count( tag ) || d.imageLeft( tag ),
                 "ImagesFollowConfiguration",
                 fmt::format( "image {} of {}, no longer configured, is still in {}", tag, path,
                              d.dataRoot() ) );
      }
   }
}

// Once their cause is gone, the errors the status shows go with it; and
// the runtime holds no login of a registry that is no longer configured
// (but one whose logout failed, which the agent gives up).
void checkErrorsCleared( World const & w, Expected const & e, Checks & out ) {
   if ( e.quyUp() ) {
      auto status = w.at< QuaydStatus >( Cell::path( "quayd/status", 0 ) );
      expect( out, status->runtimeError().empty() && status->mountError().empty(),
              "ErrorsGoWithTheirCause",
              fmt::format( "the runtime is up, yet runtimeError '{}' mountError '{}'",
                           status->runtimeError(), status->mountError() ) );
      std::set< String > servers;
      for ( auto const & [ name, r ] :
            w.at< RegistryConfigDir >( "quayd/registry/config" )->registry() ) {
         servers.insert( r->params().server );
      }
      for ( auto const & [ server, user ] : w.daemon->logins() ) {
         expect( out, servers.count( server ) || w.daemon->loginsLeft().count( server ),
                 "RegistriesLoggedOut",
                 fmt::format( "{} is still logged in as {}, configured by no registry", server,
                              user ) );
      }
   }
   if ( e.quyUp() ) {
      auto const running = w.daemon->containers();
      auto statuses = w.at< ContainerStatusDir >( Cell::path( "quayd/container/status", 0 ) );
      for ( auto const & [ name, s ] : statuses->container() ) {
         auto it = running.find( name );
         bool const runs = it != running.end() && !it->second.foreign && it->second.running;
         expect( out, !runs || s->lastError().empty(), "ErrorsGoWithTheirCause",
                 fmt::format( "container {} runs, yet its lastError is '{}'", name,
                              s->lastError() ) );
      }
   }
   auto crt = w.at< Gnoi::Containerz::ContainerRuntimeStatus >( "mgmt/gnoi/containerz/crtStatus" );
   expect( out, !e.containerz || !w.daemon->active() || crt->lastError().empty(),
           "ErrorsGoWithTheirCause",
           "Containerz's runtime is up, yet its lastError is '" + crt->lastError() + "'" );
}

void checkLeaks( World const & w, std::vector< Ptr< Entity > > const & deleted, Checks & out ) {
   for ( auto const & [ pid, argv ] : w.processes.runningArgv() ) {
      // Only a condition that never ends may be caught running.
      expect( out, !w.outcome( argv ), "NoChildLeaks",
              fmt::format( "child {} ({}) runs though it ended", pid, fmt::join( argv, " " ) ) );
   }
   for ( auto const & e : deleted ) {
      expect( out, e->slotCount() == 0, "NoDeletedEntityWatched",
              fmt::format( "deleted {} still has {} subscriptions", e->path(), e->slotCount() ) );
   }
}

// While the containers run, the daemon holds none that an agent killed now
// could not find again. (Containers in a data root not in use are found when
// it is; those of a sub-agent that stopped, when it starts again; one a
// failed start left while the events were lost, when they start again;
// those of a status found on an older database, when the agent lists them;
// one an abandoned run created, at the runtime's next look at the daemon.)
void checkRecorded( World const & world, Checks & out ) {
   auto statuses = world.at< ContainerStatusDir >( Cell::path( "quayd/container/status", 0 ) );
   if ( !world.daemon->active() || statuses->state() != SmState::started_ ||
        world.daemon->listingFailed() || world.statusRestored() ) {
      return;
   }
   for ( auto const & [ name, c ] : world.daemon->containers() ) {
      bool const unseen = world.daemon->createdUnseen().count( name );
      expect( out,
              c.foreign || unseen || world.daemon->runPending( name ) ||
                 statuses->container( name ) != nullptr,
              "EveryContainerIsRecorded",
              fmt::format( "container {} in {} has no status", name, world.daemon->dataRoot() ) );
   }
}

void checkRuns( World const & world, Checks & out ) {
   for ( auto const & why : world.daemon->unsafeRuns() ) {
      out.push_back( { "RunsOnlyWhatMayRun", why } );
   }
}

} // namespace

std::vector< Violation > checkStep( World const & world ) {
   Checks out;
   checkRuns( world, out );
   checkRecorded( world, out );
   // A daemon down for want of its data root (the loop mount on flash) is
   // being started again, not running; but while the agent does not know
   // the runtime installed (not installed, or the check failed) it looks at
   // nothing, and its status stays as found.
   auto quy = world.at< QuaydStatus >( Cell::path( "quayd/status", 0 ) );
   expect( out,
           !world.daemon->waitsForRoot() || !world.daemon->installedSaid() ||
              quy->state() != SmState::started_,
           "StatusAgreesWithDaemon",
           fmt::format( "the daemon cannot start on {}, yet the quy sub-agent is {}",
                        World::kFlashRoot, quy->state() ) );
   auto statuses = world.at< ContainerStatusDir >( Cell::path( "quayd/container/status", 0 ) );
   // A child per probe at most: a container's startup condition, and the
   // syslog server's.
   size_t const children = world.processes.runningCount();
   expect( out, children <= statuses->container().size() + 1, "NoChildLeaks",
           fmt::format( "{} children run for {} containers", children,
                        statuses->container().size() ) );
   return out;
}

std::vector< Violation > checkAtRest( World const & world,
                                      std::vector< Ptr< Entity > > const & deleted ) {
   Checks out;
   Expected const e = expected( world );
   checkRuns( world, out );
   checkRecorded( world, out );
   checkQuyStates( world, e, out );
   checkDaemon( world, e, out );
   checkContainers( world, e, out );
   checkRegistries( world, e, out );
   checkImages( world, e, out );
   checkErrorsCleared( world, e, out );
   checkLeaks( world, deleted, out );
   return out;
}

} // namespace Quayd::Sim
