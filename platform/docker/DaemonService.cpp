#include "platform/docker/DaemonService.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include <fmt/format.h>
#include <fmt/ranges.h>

#include "platform/Exception.h"
#include "platform/docker/Subprocess.h"
#include "platform/posix/Files.h"
#include "platform/posix/Spawn.h"

namespace Quayd {

namespace {

class SupervisedService : public DaemonService {
 public:
   SupervisedService( Spawner const & spawner, String pidFile )
       : spawner_( spawner ), pidFile_( std::move( pidFile ) ) {}

   bool running() override { return livePidFromFile( pidFile_ ) != 0; }

   void start( DockerSupervisorParams const & p ) override { startDockerSupervisor( spawner_, p ); }

   void stop() override {
      pid_t const sup = livePidFromFile( pidFile_ );
      if ( sup == 0 ) {
         return;
      }
      kill( sup, SIGTERM );
      // The supervisor allows dockerd 20 s before SIGKILL; leave it a margin.
      if ( !pollUntil( std::chrono::seconds( 30 ), [ & ] { return !processAlive( sup ); } ) ) {
         throw RuntimeException( "dockerd supervisor " + std::to_string( sup ) +
                                 " did not stop within 30 s" );
      }
   }

 private:
   Spawner const & spawner_;
   String pidFile_;
};

class SystemdService : public DaemonService {
 public:
   SystemdService( Spawner const & spawner, String unitDir, String systemctl )
       : spawner_( spawner ), unitFile_( unitDir + "/" + kDockerdUnit ),
         systemctl_( std::move( systemctl ) ) {}

   bool running() override {
      // "activating" covers a daemon that died and is being restarted.
      auto const r = runProgram( spawner_, { systemctl_, "is-active", kDockerdUnit }, {}, true );
      return r.output == "active" || r.output == "activating" || r.output == "reloading";
   }

   void start( DockerSupervisorParams const & p ) override {
      writeFileAtomically( unitFile_, systemdUnitText( p ), 0644 );
      systemctl( { "daemon-reload" } );
      systemctl( { "start", kDockerdUnit } );
   }

   void stop() override {
      systemctl( { "stop", kDockerdUnit } );
      // The unit is the agent's to write; gone with the daemon, so a daemon
      // the agent did not start is never left to systemd.
      if ( ::unlink( unitFile_.c_str() ) != 0 && errno != ENOENT ) {
         throw RuntimeException( "cannot remove " + unitFile_ + ": " + strerror( errno ) );
      }
      systemctl( { "daemon-reload" } );
   }

 private:
   void systemctl( std::vector< String > args ) {
      args.insert( args.begin(), systemctl_ );
      // A start waits for dockerd to say it is ready, which systemd allows 90 s.
      auto const r = runProgram( spawner_, args, {}, true, std::chrono::seconds( 120 ) );
      if ( r.status != 0 ) {
         throw RuntimeException( fmt::format( "{} failed (status {}){}{}", fmt::join( args, " " ),
                                              r.status, r.output.empty() ? "" : ": ", r.output ) );
      }
   }

   Spawner const & spawner_;
   String unitFile_;
   String systemctl_;
};

// An ExecStart= word, quoted so that systemd takes it whole and expands
// neither specifiers (%) nor variables ($).
String unitWord( String const & w ) {
   String out = "\"";
   for ( char c : w ) {
      if ( c == '"' || c == '\\' ) {
         out += '\\';
      } else if ( c == '%' || c == '$' ) {
         out += c;
      }
      out += c;
   }
   return out + "\"";
}

} // namespace

std::unique_ptr< DaemonService > daemonServiceFor( Spawner const & spawner, String const & unitDir,
                                                   String const & systemctl,
                                                   String const & supervisorPidFile ) {
   std::error_code ec;
   if ( std::filesystem::is_directory( unitDir, ec ) ) {
      return std::make_unique< SystemdService >( spawner, unitDir, systemctl );
   }
   return std::make_unique< SupervisedService >( spawner, supervisorPidFile );
}

String systemdUnitText( DockerSupervisorParams const & p ) {
   String t = "# Written by quayd, which starts and stops this daemon; not to be enabled.\n"
              "[Unit]\n"
              "Description=Docker daemon run by quayd\n"
              "After=network-online.target\n"
              "Wants=network-online.target\n"
              // One daemon owns the data root and the socket.
              "Conflicts=docker.service docker.socket\n"
              "\n"
              "[Service]\n"
              "Type=notify\n"
              "ExecStart=" +
              unitWord( p.dockerd ) + " --config-file " + unitWord( p.configFile ) +
              "\n"
              "ExecReload=/bin/kill -s HUP $MAINPID\n";
   if ( !p.netNsPath.empty() ) {
      t += "NetworkNamespacePath=" + p.netNsPath + "\n";
   }
   t += "StandardOutput=append:" + p.logFile +
        "\n"
        "StandardError=inherit\n"
        "Restart=always\n"
        "RestartSec=2\n"
        "TimeoutStopSec=20\n"
        // dockerd stops its own children; the containers' shims outlive it.
        "KillMode=process\n"
        "Delegate=yes\n"
        "LimitNOFILE=infinity\n"
        "LimitNPROC=infinity\n"
        "LimitCORE=infinity\n"
        "TasksMax=infinity\n"
        "OOMScoreAdjust=-500\n";
   return t;
}

} // namespace Quayd
