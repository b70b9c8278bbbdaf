#include "platform/docker/DockerSettings.h"

#include <regex>

namespace Quayd {

DockerSettings
dockerSettingsFrom( std::function< char const *( char const * name ) > const & variable ) {
   auto const text = [ & ]( char const * name, String & into,
                            std::regex const & valid = std::regex( ".+" ) ) {
      char const * v = variable( name );
      if ( v && std::regex_match( v, valid ) ) {
         into = v;
      }
   };
   auto const positive = [ & ]( char const * name, auto & into ) {
      char const * v = variable( name );
      if ( v && std::regex_match( v, std::regex( "[1-9][0-9]{0,15}" ) ) ) {
         into = std::remove_reference_t< decltype( into ) >( std::stoll( v ) );
      }
   };
   DockerSettings s;
   text( "QUAYD_RUNTIME_DIR", s.runtimeDir );
   text( "QUAYD_DOCKERD", s.dockerd );
   text( "QUAYD_SYSTEMCTL", s.systemctl );
   text( "QUAYD_DOCKER_CLI", s.dockerCli );
   text( "QUAYD_DOCKER_CONFIG", s.clientConfigDir );
   text( "QUAYD_CONTAINERZ_SERVER", s.containerzServer );
   positive( "QUAYD_DOCKERD_START_TIMEOUT", s.startTimeout );
   positive( "QUAYD_DOCKERD_LOG_MAX", s.dockerdLogMax );
   positive( "QUAYD_RUNTIME_CALLS_IN_FLIGHT", s.callsInFlight );
   text( "QUAYD_CONTAINER_LOG_MAX_SIZE", s.daemon.logs.maxSize, std::regex( "[1-9][0-9]*[kmg]?" ) );
   text( "QUAYD_CONTAINER_LOG_MAX_FILE", s.daemon.logs.maxFile, std::regex( "[1-9][0-9]{0,2}" ) );
   text( "QUAYD_DOCKER_CGROUP_PARENT", s.daemon.cgroupParent,
         std::regex( "/?[A-Za-z0-9_.-]*[A-Za-z0-9_-](/[A-Za-z0-9_-]+)*" ) );
   return s;
}

} // namespace Quayd
