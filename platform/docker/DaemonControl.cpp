#include "platform/docker/DaemonControl.h"

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

#include "platform/Exception.h"
#include "platform/docker/Subprocess.h"
#include "platform/posix/Files.h"

namespace Quayd {

namespace {

String tailOf( String const & path, size_t n ) {
   String const s = readFile( path ).value_or( "" );
   return s.size() > n ? s.substr( s.size() - n ) : s;
}

// Whether something accepts connections on the unix socket `path`.
bool socketAnswers( String const & path ) {
   sockaddr_un addr{};
   if ( path.size() >= sizeof addr.sun_path ) {
      return false;
   }
   addr.sun_family = AF_UNIX;
   std::memcpy( addr.sun_path, path.c_str(), path.size() );
   int const fd = ::socket( AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0 );
   if ( fd < 0 ) {
      return true; // cannot tell: not confirmed gone
   }
   bool const answers = ::connect( fd, reinterpret_cast< sockaddr * >( &addr ), sizeof addr ) == 0;
   ::close( fd );
   return answers;
}

// Whether a containerd shim whose command line names `execRoot` runs: the
// shims of this daemon's containers outlive the daemon itself.
bool shimRuns( String const & execRoot ) {
   std::error_code ec;
   for ( auto const & e : std::filesystem::directory_iterator( "/proc", ec ) ) {
      String const pid = e.path().filename().string();
      if ( pid.find_first_not_of( "0123456789" ) != String::npos ) {
         continue;
      }
      if ( !readFile( "/proc/" + pid + "/comm" ).value_or( "" ).starts_with( "containerd-shim" ) ) {
         continue;
      }
      if ( readFile( "/proc/" + pid + "/cmdline" ).value_or( "" ).find( execRoot + "/" ) !=
           String::npos ) {
         return true;
      }
   }
   return false;
}

// How long a stopped daemon may take to end; its supervisor gives it 20 s.
constexpr auto kStopLimit = std::chrono::seconds( 30 );

} // namespace

DaemonControl::DaemonControl( DockerSettings const & settings, FileSystem & files,
                              Spawner const & spawner )
    : settings_( settings ), files_( files ), config_( settings.runtimeDir, files ),
      service_( daemonServiceFor( spawner, "/run/systemd/system", settings.systemctl,
                                  supervisorPidFile() ) ) {}

bool DaemonControl::installed() const {
   String const & p = settings_.dockerd;
   struct stat st;
   return stat( p.c_str(), &st ) == 0 && S_ISREG( st.st_mode ) && access( p.c_str(), X_OK ) == 0;
}

pid_t DaemonControl::dockerdPid() const { return livePidFromFile( config_.pidFile() ); }

pid_t DaemonControl::supervisorPid() const { return livePidFromFile( supervisorPidFile() ); }

void DaemonControl::start( String const & netNsPath, std::function< bool() > const & answers ) {
   long const timeout = long( settings_.startTimeout.count() );
   if ( !service_->running() ) {
      files_.makeDir( config_.runtimeDir(), 0700 );
      if ( !config_.exists() ) {
         config_.write( config_.build( "", netNsPath, nullptr, nullptr, settings_.daemon ) );
      }
      DockerSupervisorParams p{ settings_.dockerd, config_.file(),      netNsPath,
                                logFile(),         supervisorPidFile(), settings_.dockerdLogMax };
      try {
         service_->start( p );
      } catch ( RuntimeException const & e ) {
         throw Unitctl::SdbusJobException( e.what() );
      }
   }
   if ( !pollUntil( std::chrono::seconds( timeout ), answers ) ) {
      // A daemon that never answered is stopped rather than left retrying.
      stop();
      throw Unitctl::SdbusJobException( "dockerd did not come up within " +
                                        std::to_string( timeout ) +
                                        " s: " + tailOf( logFile(), 1000 ) );
   }
}

void DaemonControl::stop() {
   if ( !service_->running() ) {
      return;
   }
   pid_t const daemon = dockerdPid();
   try {
      service_->stop();
   } catch ( RuntimeException const & e ) {
      throw Unitctl::SdbusJobException( e.what() );
   }
   if ( !pollUntil( kStopLimit, [ & ] { return !processAlive( daemon ); } ) ) {
      throw Unitctl::SdbusJobException( "dockerd " + std::to_string( daemon ) +
                                        " did not stop within 30 s" );
   }
}

bool DaemonControl::gone() const {
   auto const config = config_.read();
   String execRoot = "/var/run/docker";
   if ( config.contains( "exec-root" ) && config[ "exec-root" ].is_string() ) {
      execRoot = config[ "exec-root" ].get< String >();
   }
   return dockerdPid() == 0 && !socketAnswers( config_.socketPath() ) && !shimRuns( execRoot );
}

void DaemonControl::reload() {
   pid_t const pid = dockerdPid();
   if ( pid == 0 ) {
      throw RuntimeException( "cannot reload the dockerd configuration: dockerd is not running" );
   }
   if ( kill( pid, SIGHUP ) != 0 ) {
      throw RuntimeException( "cannot signal dockerd " + std::to_string( pid ) + ": " +
                              strerror( errno ) );
   }
}

} // namespace Quayd
