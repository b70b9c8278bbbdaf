// A container run of DockerRuntime: its record while under way, and the
// Engine API launch or the docker client.
#include <sstream>

#include "platform/Codec.h"
#include "platform/FileSystem.h"
#include "platform/Trace.h"
#include "platform/docker/ClientRun.h"
#include "platform/docker/ContainerCreateBody.h"
#include "platform/docker/DockerRuntime.h"
#include "platform/docker/EngineAnswers.h"
#include "platform/docker/RegistryAuth.h"

using nlohmann::json;

namespace Quayd {

namespace {

// The names of the runs out together, one a line: a longer file is none of ours.
constexpr size_t kMaxPendingBytes = 1 << 20;

} // namespace

void DockerRuntime::removeOwnContainer( String const & name ) {
   try {
      auto const c = inspectContainer( name );
      auto it = c.labels.find( kAgentLabel );
      if ( it != c.labels.end() && it->second == kAgentLabelValue ) {
         deleteContainer( c.id, true );
      }
   } catch ( ApiRequestException const & ) {
      // None by that name: nothing to clear.
   }
}

void DockerRuntime::finishInterruptedRun() {
   auto const text = files_.readFile( pendingRunFile(), kMaxPendingBytes );
   if ( !text ) {
      return;
   }
   // The runs this process has out are not interrupted.
   std::istringstream lines( *text );
   try {
      for ( String name; std::getline( lines, name ); ) {
         if ( !name.empty() && !runsOut_.count( name ) ) {
            removeOwnContainer( name );
            runsAbandoned_.erase( name );
         }
      }
      writePendingRuns();
   } catch ( RuntimeException const & ) {
      // The daemon went away in between; the next call tries again.
   }
}

void DockerRuntime::writePendingRuns() {
   if ( runsOut_.empty() && runsAbandoned_.empty() ) {
      files_.removeAll( pendingRunFile() );
      return;
   }
   String text;
   for ( auto const * names : { &runsOut_, &runsAbandoned_ } ) {
      for ( auto const & name : *names ) {
         text += name + "\n";
      }
   }
   writeFileDurably( files_, pendingRunFile(), text, 0600 );
}

void DockerRuntime::runOutIs( String const & name ) {
   files_.makeDir( settings_.runtimeDir, 0700 );
   finishInterruptedRun();
   // A name on two lines is no container's: the daemon refuses it.
   if ( name.find( '\n' ) == String::npos ) {
      runsOut_.insert( name );
      writePendingRuns();
   }
}

RunOutcome DockerRuntime::runContainer( Ptr< RunContainerParams > const & p ) {
   QUAYD_ASSERT( p );
   ContainerCreateBody const create =
      containerCreateBody( *p, ownLabels(), { spawner_.environment(), &files_ } );
   runOutIs( p->name );
   try {
      if ( create.clientFlag.empty() ) {
         createAndStart( p->name, p->image, create.body );
      } else {
         runWithClient( *p, create.clientFlag );
      }
   } catch ( ... ) {
      dropPendingRun( p->name );
      throw;
   }
   dropPendingRun( p->name );
   return { create.clientFlag };
}

void DockerRuntime::dropPendingRun( String const & name ) {
   runsOut_.erase( name );
   try {
      writePendingRuns();
   } catch ( RuntimeException const & ) {
      // The run's own result is the one to report.
   }
}

RuntimeException DockerRuntime::launchFailure( String const & name, LaunchRefused const & e ) {
   return RuntimeException(
      String( e.step == LaunchRefused::Step::create ? "creating" : "starting" ) + " container " +
      name + ": " + e.what() );
}

void DockerRuntime::createAndStart( String const & name, String const & image, json const & body ) {
   LaunchOptions options;
   // The agent runs a container only when its status says none runs: one of
   // ours by that name is a leftover (a run cut short by a killed agent, a
   // status write lost with it).
   options.freeName = [ & ] {
      removeOwnContainer( name );
      return true;
   };
   // As `docker run` does: an image missing here is pulled, once.
   options.pullImage = [ & ] { pullImage( image ); };
   try {
      launchContainer( api(), name, jsonText( body ), options );
   } catch ( LaunchRefused const & e ) {
      throw launchFailure( name, e );
   }
}

void DockerRuntime::pullImage( String const & image ) {
   ImageName const n = parseImageName( image );
   std::vector< String > headers;
   if ( String auth = logins_.authHeaderFor( n.registry ); !auth.empty() ) {
      headers.push_back( auth );
   }
   auto r = api().stream( "POST",
                          "/images/create?fromImage=" + DockerApiClient::escape( n.repository ) +
                             "&tag=" + DockerApiClient::escape( n.tag ),
                          nullptr, headers );
   if ( r.status < 200 || r.status >= 300 ) {
      throw RuntimeException( "pulling " + image + ": " + DockerApiClient::errorMessage( r ) );
   }
   // Progress lines; a failure after the answer began is the last of them.
   checkPullProgress( r.body, image );
}

void DockerRuntime::runWithClient( RunContainerParams const & p, String const & flag ) {
   QTRACE( trace_, 5,
           "container {}: option {} is not in the option table; running it with the docker client",
           p.name, flag );
   removeOwnContainer( p.name );
   try {
      inspectImage( p.image );
   } catch ( ApiRequestException const & ) {
      // Pulled here, where a pull may take as long as bytes flow.
      pullImage( p.image );
   }
   // The client writes the new container's ID there once it is created, so
   // that a container whose start failed can be removed again.
   ClientRunOutcome const r =
      runWithDockerClient( spawner_, settings_.dockerCli, p, socketPath(), logins_.dir(),
                           settings_.runtimeDir + "/run.cid", ownLabels() );
   if ( r.status != 0 ) {
      if ( !r.containerId.empty() ) {
         try {
            deleteContainer( r.containerId, true );
         } catch ( RuntimeException const & ) {
            // The run's own failure is the one worth reporting.
         }
      }
      throw RuntimeException( "docker run " + p.name + " failed (status " +
                              std::to_string( r.status ) + "): " + r.error );
   }
}

} // namespace Quayd
