#include "platform/docker/DaemonConfig.h"

#include <filesystem>

#include "platform/Codec.h"
#include "platform/Exception.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace Quayd {

namespace {
// Far beyond any configuration the agent writes.
constexpr size_t kMaxConfigBytes = 1 << 20;
} // namespace

bool DaemonConfig::exists() const { return files_.exists( file() ); }

json DaemonConfig::read() const {
   auto const text = files_.readFile( file(), kMaxConfigBytes );
   if ( !text ) {
      return json::object();
   }
   json j = json::parse( *text, nullptr, false );
   return j.is_object() ? j : json::object();
}

String DaemonConfig::socketPath() const {
   json const c = read();
   auto const it = c.find( "hosts" );
   if ( it != c.end() && it->is_array() && !it->empty() && ( *it )[ 0 ].is_string() ) {
      String const h = ( *it )[ 0 ].get< String >();
      if ( h.rfind( "unix://", 0 ) == 0 ) {
         return h.substr( 7 );
      }
   }
   return "/var/run/docker.sock";
}

String DaemonConfig::pidFile() const {
   json const c = read();
   auto const it = c.find( "pidfile" );
   return it != c.end() && it->is_string() ? it->get< String >() : String( "/var/run/docker.pid" );
}

json DaemonConfig::build( String const & dataRoot, String const & netNsPath,
                          Ptr< SyslogDriver const > const & logDriver,
                          Ptr< InsecureRegistries const > const & insecure,
                          DaemonSettings const & settings ) const {
   ContainerLogLimits const & logLimits = settings.logs;
   json c = json::object();
   if ( !dataRoot.empty() ) {
      c[ "data-root" ] = dataRoot;
   }
   json regs = json::array();
   if ( insecure ) {
      for ( auto const & r : insecure->reg() ) {
         regs.push_back( r );
      }
   }
   c[ "insecure-registries" ] = regs;
   if ( logDriver ) {
      c[ "log-driver" ] = "syslog";
      c[ "log-opts" ] = logDriver->logOpts();
   } else {
      // The default driver keeps every line on the data root unless told not to.
      c[ "log-driver" ] = "json-file";
      c[ "log-opts" ] = { { "max-size", logLimits.maxSize }, { "max-file", logLimits.maxFile } };
   }
   if ( !settings.cgroupParent.empty() ) {
      c[ "cgroup-parent" ] = settings.cgroupParent;
   }
   if ( netNsPath.empty() ) {
      c[ "hosts" ] = { "unix:///var/run/docker.sock" };
      c[ "pidfile" ] = "/var/run/docker.pid";
      c[ "exec-root" ] = "/var/run/docker";
   } else {
      // Named after the namespace so daemons of different namespaces never share.
      String const base = fs::path( netNsPath ).filename().string();
      c[ "hosts" ] = { "unix://" + runtimeDir_ + "/" + base + ".sock" };
      c[ "pidfile" ] = runtimeDir_ + "/" + base + ".pid";
      c[ "exec-root" ] = runtimeDir_ + "/" + base + "-exec";
   }
   return c;
}

void DaemonConfig::write( json const & config ) const {
   files_.makeDir( runtimeDir_, 0700 );
   writeFileDurably( files_, file(), jsonText( config, 2 ) + "\n", 0600 );
}

void DaemonConfig::remove() const {
   try {
      files_.removeAll( file() );
   } catch ( RuntimeException const & ) {
      // Left behind, it is written over by the next applyConfig.
   }
}

} // namespace Quayd
