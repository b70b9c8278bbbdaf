// quayd: the agent host. Mounts the state database on Redis for the agent,
// runs its event loop, and leaves everything running when told to stop.
#include <sys/prctl.h>
#include <unistd.h>

#include <boost/program_options.hpp>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "agent/QuaydAgent.h"
#include "model/Model.h"
#include "platform/docker/ContainerzServerControl.h"
#include "platform/docker/DockerRuntime.h"
#include "platform/posix/Credentials.h"
#include "platform/posix/PosixEventLoop.h"
#include "platform/posix/PosixFileSystem.h"
#include "platform/posix/PosixProcessRunner.h"
#include "platform/posix/Sinks.h"
#include "platform/posix/SystemdNotify.h"
#include "platform/posix/Toggle.h"
#include "platform/redis/RedisEntityManager.h"

namespace po = boost::program_options;
using namespace Quayd;

namespace {

// Redis may come up after the agent (at boot): it is waited for.
constexpr Seconds kMountRetry{ 10 };

LogHandle const QUAYD_STATE_DB_WAIT(
   { "QUAYD_STATE_DB_WAIT", "Waiting for the state database: %s; trying again every %lld seconds.",
     "The agent cannot mount its configuration from Redis yet; it starts once Redis answers.",
     "Check that redis-server runs.", 4 } );

struct Options {
   String redis;
   String name;
   String logFile;
   String traceDir;
   unsigned mountToolLimit = 0; // seconds
};

// Parses the command line; exits for --help, --dump-trace and bad input.
Options parse( int argc, char ** argv ) {
   Options o;
   String dump;
   po::options_description desc( "Usage: quayd [options]" );
   desc.add_options()( "help,h", "this text" )(
      "redis",
      po::value( &o.redis )->default_value( Redis::defaultAddress( std::getenv( "QUAYD_REDIS" ) ) ),
      "state database: a unix socket path, or host:port on this machine ($QUAYD_REDIS)" )(
      "name", po::value( &o.name )->default_value( "Quayd" ), "the agent's name" )(
      "log-file", po::value( &o.logFile )->default_value( "/var/log/quayd/quayd.log" ),
      "the agent's own log, kept as two files of 4 MiB (syslog gets the same messages)" )(
      "trace-dir", po::value( &o.traceDir )->default_value( "/var/log/quayd" ),
      "where the trace ring file goes ($RINGLOGDIR overrides)" )(
      "dump-trace", po::value( &dump ), "print the records of a trace ring file and exit" )(
      "mount-tool-limit",
      po::value( &o.mountToolLimit )
         ->default_value( unsigned(
            std::chrono::duration_cast< Seconds >( PosixProcessRunner::kToolLimit ).count() ) ),
      "seconds quylbmount (and the e2fsck it runs) may take before it is killed" );
   po::variables_map vm;
   try {
      po::store( po::parse_command_line( argc, argv, desc ), vm );
      po::notify( vm );
      Redis::Address::parse( o.redis );
   } catch ( std::exception const & e ) {
      std::cerr << "quayd: " << e.what() << "\n" << desc;
      std::exit( 2 );
   }
   if ( vm.count( "help" ) ) {
      std::cout << desc;
      std::exit( 0 );
   }
   if ( !dump.empty() ) {
      for ( auto const & line : RingFile::dump( dump ) ) {
         std::cout << line << "\n";
      }
      std::exit( 0 );
   }
   return o;
}

// What the environment and the toggle files say to the agent; nothing
// below main reads either.
HostSettings hostSettings() {
   HostSettings s = settingsFromEnvironment( environmentOf( environ ) );
   char const * toggles = std::getenv( "QUAYD_TOGGLE_DIR" );
   s.toggles = readToggles( toggles && *toggles ? toggles : kToggleDirectory );
   return s;
}

} // namespace

int main( int argc, char ** argv ) {
   // Passwords pass through its memory: no core file, no ptrace by others.
   ::prctl( PR_SET_DUMPABLE, 0 );
   Options const opt = parse( argc, argv );
   HostSettings const settings = hostSettings();

   SyslogSink syslogSink( opt.logFile );
   logSinkIs( &syslogSink );
   RinglogTraceSink traceSink( std::getenv( "TRACE" ) );
   char const * const ringlogDir = std::getenv( "RINGLOGDIR" );
   String const traceDir = ringlogDir && *ringlogDir ? String( ringlogDir ) : opt.traceDir;
   traceSinkIs( &traceSink );
   // Registry passwords: in root-only files, never in the database.
   CredentialStore credentials;
   // What a crash left half-written is never read: gone before anything starts.
   for ( String const & f : credentials.sweepTemporaries() ) {
      std::fprintf( stderr, "quayd: removed %s, left half-written by an earlier run\n", f.c_str() );
   }

   // systemd hears when the loop runs, what the agent waits for, and from
   // every turn (and every long wait) that it is alive.
   SteadyClock clock;
   std::unique_ptr< ServiceManager > const manager = systemdServiceManager( clock );
   PosixEventLoop loop( manager.get() );
   loop.stopOnSignals();
   // Every child starts with the agent's environment and every long wait
   // keeps systemd told.
   Spawner const spawner( settings.environment, manager.get() );
   PosixProcessRunner processes( loop, spawner, Seconds( std::max( opt.mountToolLimit, 1u ) ) );
   PosixFileSystem files;

   auto em = makePtr< RedisEntityManager >( Redis::Address::parse( opt.redis ), loop );
   em->profileIs( quaydMountProfile() );
   // Where the runtime's daemon and files are, from the environment for now.
   DockerSettings const dockerSettings =
      dockerSettingsFrom( []( char const * name ) { return std::getenv( name ); } );
   auto const docker = makePtr< DockerRuntime >( dockerSettings, files, spawner, &loop );
   Ptr< ContainerRuntimeInterface > const runtime = docker;
   Host host{ loop.scheduler(), &processes, &files,     &credentials,
              manager.get(),    &traceSink, &syslogSink };
   host.ringlog = [ &traceSink, traceDir ]( Ringlog::Config const & c ) {
      traceSink.ringIs( traceDir, c );
   };
   host.settings = settings;
   Ptr< CAgent > agent = agentFactory(
      opt.name, host,
      [ runtime ]( Ptr< KernelRoutingOverrideStatus const > const & ) { return runtime; },
      [ docker, &spawner,
        program = dockerSettings.containerzServer ]() -> Ptr< ContainerzServerInterface > {
         return makePtr< ContainerzServerControl >(
            spawner, "/run/quayd/containerz", [ docker ] { return docker->socketPath(); },
            program );
      } );
   agent->hostIs( em, loop.scheduler() );

   // A failed mount is retried; the agent only ever sees a complete one.
   Ptr< TimerTask > retry;
   retry = makePtr< TimerTask >( loop.scheduler(), TaskPriority( 5 ), "MountRetry", [ & ] {
      String error;
      if ( em->mount( "Quayd", error ) ) {
         std::fprintf( stderr, "quayd: state database mounted\n" );
         manager->statusIs( "Running on the state database at " + opt.redis );
         agent->doMountsComplete( MountStatus::mountSuccess, em );
      } else {
         retry->scheduleTaskDelay( kMountRetry );
      }
   } );
   em->mountDoneIs( [ & ]( MountStatus status, String const & error ) {
      if ( status == MountStatus::mountSuccess ) {
         manager->statusIs( "Running on the state database at " + opt.redis );
         agent->doMountsComplete( status, em );
         return;
      }
      std::fprintf( stderr, "quayd: cannot mount the state database: %s; retrying every %llds\n",
                    error.c_str(), static_cast< long long >( kMountRetry.count() ) );
      log( QUAYD_STATE_DB_WAIT, error, static_cast< long long >( kMountRetry.count() ) );
      manager->statusIs( "Waiting for the state database at " + opt.redis + ": " + error );
      retry->scheduleTaskDelay( kMountRetry );
   } );

   manager->statusIs( "Mounting the state database at " + opt.redis );
   auto const ready = makePtr< Task >( loop.scheduler(), TaskPriority( 5 ), "Ready",
                                       [ & ] { manager->readyIs(); } );
   ready->scheduleTask();
   agent->doInit();
   loop.run();
   // Stopping is not a shutdown of what the agent manages: dockerd, the
   // containers and the status in Redis stay for the next start.
   std::fflush( nullptr );
   _exit( 0 );
}
