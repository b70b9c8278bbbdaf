#include "platform/docker/DockerRuntime.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "platform/Codec.h"
#include "platform/Credentials.h"
#include "platform/Files.h"
#include "platform/Trace.h"
#include "platform/docker/ContainerCreateBody.h"
#include "platform/docker/DaemonService.h"
#include "platform/docker/RegistryAuth.h"
#include "platform/docker/Subprocess.h"

namespace fs = std::filesystem;
using nlohmann::json;

namespace Quayd {

namespace {

TraceHandle const trace( "DockerRuntime" );

String envOr( char const * name, char const * dflt ) {
   char const * v = getenv( name );
   return v && *v ? String( v ) : String( dflt );
}

long startTimeoutSec() {
   String v = envOr( "QUAYD_DOCKERD_START_TIMEOUT", "60" );
   long n = strtol( v.c_str(), nullptr, 10 );
   return n > 0 ? n : 60;
}

String tailOf( String const & path, size_t n ) {
   String const s = readFile( path ).value_or( "" );
   return s.size() > n ? s.substr( s.size() - n ) : s;
}

} // namespace

DockerRuntime::DockerRuntime( EventLoop * loop )
    : runtimeDir_( envOr( "QUAYD_RUNTIME_DIR", "/run/quayd/docker" ) ),
      service_( daemonServiceFor( "/run/systemd/system",
                                  envOr( "QUAYD_SYSTEMCTL", "/usr/bin/systemctl" ),
                                  supervisorPidFile() ) ),
      loop_( loop ) {}

DockerApiClient & DockerRuntime::api() {
   String sock = socketPath();
   if ( !api_ ) {
      api_ = std::make_unique< DockerApiClient >( sock );
   }
   api_->socketPathIs( sock );
   return *api_;
}

json DockerRuntime::readConfig() const {
   std::ifstream in( configFile() );
   if ( !in ) {
      return json::object();
   }
   json j = json::parse( in, nullptr, false );
   return j.is_object() ? j : json::object();
}

String DockerRuntime::socketPath() const {
   json c = readConfig();
   if ( c.contains( "hosts" ) && c[ "hosts" ].is_array() && !c[ "hosts" ].empty() ) {
      String h = c[ "hosts" ][ 0 ].get< String >();
      if ( h.rfind( "unix://", 0 ) == 0 ) {
         return h.substr( 7 );
      }
   }
   return "/var/run/docker.sock";
}

pid_t DockerRuntime::dockerdPid() const {
   json c = readConfig();
   String pf = c.value( "pidfile", String( "/var/run/docker.pid" ) );
   return livePidFromFile( pf );
}

pid_t DockerRuntime::supervisorPid() const { return livePidFromFile( supervisorPidFile() ); }

bool DockerRuntime::runtimeInstalled() {
   String p = envOr( "QUAYD_DOCKERD", "/usr/sbin/dockerd" );
   struct stat st;
   return stat( p.c_str(), &st ) == 0 && S_ISREG( st.st_mode ) && access( p.c_str(), X_OK ) == 0;
}

bool DockerRuntime::runtimeActive() {
   try {
      auto r = api().request( "GET", "/_ping", "", nullptr, 5 );
      if ( r.status != 200 || r.body != "OK" ) {
         return false;
      }
   } catch ( RuntimeException const & ) {
      return false;
   }
   finishInterruptedRun();
   followEvents();
   return true;
}

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
   String const pending = pendingRunFile();
   auto name = readFile( pending );
   if ( !name ) {
      return;
   }
   try {
      removeOwnContainer( *name );
      ::unlink( pending.c_str() );
   } catch ( RuntimeException const & ) {
      // The daemon went away in between; the next call tries again.
   }
}

void DockerRuntime::applyConfig( String const & dataRoot, String const & netNsPath,
                                 Ptr< SyslogDriver const > const & logDriver, bool,
                                 Ptr< InsecureRegistries const > const & insecure ) {
   makeDir( runtimeDir_, 0700 );
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
   }
   if ( netNsPath.empty() ) {
      c[ "hosts" ] = { "unix:///var/run/docker.sock" };
      c[ "pidfile" ] = "/var/run/docker.pid";
      c[ "exec-root" ] = "/var/run/docker";
   } else {
      // Named after the namespace so daemons of different namespaces never share.
      String base = fs::path( netNsPath ).filename().string();
      c[ "hosts" ] = { "unix://" + runtimeDir_ + "/" + base + ".sock" };
      c[ "pidfile" ] = runtimeDir_ + "/" + base + ".pid";
      c[ "exec-root" ] = runtimeDir_ + "/" + base + "-exec";
   }
   writeFileAtomically( configFile(), jsonText( c, 2 ) + "\n", 0600 );
   netNsPath_ = netNsPath;
}

void DockerRuntime::resetConfig() {
   std::error_code ec;
   fs::remove( configFile(), ec );
   netNsPath_.clear();
}

void DockerRuntime::enableRuntime() {
   long timeout = startTimeoutSec();
   if ( !service_->running() ) {
      makeDir( runtimeDir_, 0700 );
      if ( !fs::exists( configFile() ) ) {
         applyConfig( "", netNsPath_, nullptr, true, nullptr );
      }
      DockerSupervisorParams p{ envOr( "QUAYD_DOCKERD", "/usr/sbin/dockerd" ), configFile(),
                                netNsPath_, logFile(), supervisorPidFile() };
      try {
         service_->start( p );
      } catch ( RuntimeException const & e ) {
         throw Unitctl::SdbusJobException( e.what() );
      }
   }
   if ( !pollUntil( std::chrono::seconds( timeout ), [ this ] { return runtimeActive(); } ) ) {
      // A daemon that never answered is stopped rather than left retrying.
      disableRuntime();
      throw Unitctl::SdbusJobException( "dockerd did not come up within " +
                                        std::to_string( timeout ) +
                                        " s: " + tailOf( logFile(), 1000 ) );
   }
}

void DockerRuntime::disableRuntime() {
   events_ = nullptr;
   if ( !service_->running() ) {
      return;
   }
   pid_t const daemon = dockerdPid();
   try {
      service_->stop();
   } catch ( RuntimeException const & e ) {
      throw Unitctl::SdbusJobException( e.what() );
   }
   if ( !pollUntil( std::chrono::seconds( 30 ), [ & ] { return !processAlive( daemon ); } ) ) {
      throw Unitctl::SdbusJobException( "dockerd " + std::to_string( daemon ) +
                                        " did not stop within 30 s" );
   }
}

void DockerRuntime::reloadConfig() {
   pid_t pid = dockerdPid();
   if ( pid == 0 ) {
      throw RuntimeException( "cannot reload the dockerd configuration: dockerd is not running" );
   }
   if ( kill( pid, SIGHUP ) != 0 ) {
      throw RuntimeException( "cannot signal dockerd " + std::to_string( pid ) + ": " +
                              strerror( errno ) );
   }
}

ImageRecord DockerRuntime::inspectImage( String const & name ) {
   json j = api().call( "GET", "/images/" + name + "/json" );
   ImageRecord r;
   r.id = j.value( "Id", String() );
   if ( j.contains( "RepoTags" ) && j[ "RepoTags" ].is_array() ) {
      for ( auto const & t : j[ "RepoTags" ] ) {
         if ( t.is_string() ) {
            r.repoTags.push_back( t.get< String >() );
         }
      }
   }
   // The name asked for when it is one of the tags, so that removing the
   // reference undoes exactly the load that produced it.
   if ( std::find( r.repoTags.begin(), r.repoTags.end(), name ) != r.repoTags.end() ) {
      r.ref = name;
   } else {
      r.ref = r.repoTags.empty() ? r.id : r.repoTags.front();
   }
   return r;
}

std::vector< String > DockerRuntime::listOwnContainers() {
   String const filter = fmt::format( R"({{"label":["{}={}"]}})", kAgentLabel, kAgentLabelValue );
   json j =
      api().call( "GET", "/containers/json?all=1&filters=" + DockerApiClient::escape( filter ) );
   std::vector< String > out;
   for ( auto const & c : j ) {
      // Names come with the daemon's leading slash.
      if ( c.contains( "Names" ) && c[ "Names" ].is_array() && !c[ "Names" ].empty() &&
           c[ "Names" ][ 0 ].is_string() ) {
         String name = c[ "Names" ][ 0 ].get< String >();
         out.push_back( name.starts_with( "/" ) ? name.substr( 1 ) : name );
      }
   }
   return out;
}

std::vector< String > DockerRuntime::listStaleImages() {
   json j = api().call( "GET", "/images/json?filters=" +
                                  DockerApiClient::escape( R"({"dangling":["true"]})" ) );
   std::vector< String > out;
   for ( auto const & img : j ) {
      out.push_back( img.value( "Id", String() ) );
   }
   return out;
}

std::vector< String > DockerRuntime::loadImage( String const & tarballPath ) {
   FILE * f = fopen( tarballPath.c_str(), "rb" );
   if ( !f ) {
      throw RuntimeException( "cannot open " + tarballPath + ": " + strerror( errno ) );
   }
   DockerApiClient::Response r;
   try {
      r = api().request( "POST", "/images/load?quiet=1", "", f );
   } catch ( ... ) {
      fclose( f );
      throw;
   }
   fclose( f );
   if ( r.status < 200 || r.status >= 300 ) {
      throw RuntimeException( "loading " + tarballPath + ": " +
                              DockerApiClient::errorMessage( r ) );
   }
   std::vector< String > names;
   std::istringstream lines( r.body );
   String line;
   while ( std::getline( lines, line ) ) {
      json j = json::parse( line, nullptr, false );
      if ( !j.is_object() ) {
         continue;
      }
      if ( j.contains( "error" ) ) {
         throw RuntimeException( "loading " + tarballPath + ": " + j[ "error" ].get< String >() );
      }
      String s = j.value( "stream", String() );
      for ( String prefix : { "Loaded image: ", "Loaded image ID: " } ) {
         if ( s.rfind( prefix, 0 ) == 0 ) {
            String n = s.substr( prefix.size() );
            while ( !n.empty() && ( n.back() == '\n' || n.back() == ' ' ) ) {
               n.pop_back();
            }
            names.push_back( n );
         }
      }
   }
   if ( names.empty() ) {
      throw RuntimeException( "loading " + tarballPath + ": no image in the answer" );
   }
   return names;
}

void DockerRuntime::removeImage( String const & nameOrTag ) {
   api().call( "DELETE", "/images/" + nameOrTag );
}

String DockerRuntime::clientConfigDir() const {
   return envOr( "QUAYD_DOCKER_CONFIG",
                 ( String( CredentialStore::kDefaultDir ) + "/docker" ).c_str() );
}

void DockerRuntime::login( String const & user, String const & password, String const & server ) {
   api().call( "POST", "/auth",
               json{
                  { "username", user }, { "password", password }, { "serveraddress", server } } );
   String dir = clientConfigDir();
   makeDir( dir, 0700 );
   String file = dir + "/config.json";
   json c = json::object();
   if ( std::ifstream in( file ); in ) {
      c = json::parse( in, nullptr, false );
      if ( !c.is_object() ) {
         c = json::object();
      }
   }
   c[ "auths" ][ server ] = { { "auth", base64Encode( user + ":" + password ) } };
   writeFileAtomically( file, jsonText( c, 2 ) + "\n", 0600 );
}

void DockerRuntime::logout( String const & server ) {
   String file = clientConfigDir() + "/config.json";
   std::ifstream in( file );
   if ( !in ) {
      return;
   }
   json c = json::parse( in, nullptr, false );
   if ( !c.is_object() || !c.contains( "auths" ) || !c[ "auths" ].contains( server ) ) {
      return;
   }
   c[ "auths" ].erase( server );
   writeFileAtomically( file, jsonText( c, 2 ) + "\n", 0600 );
}

namespace {

String containerPath( String const & name ) {
   // Escaped: a configured name must not reach another endpoint.
   return "/containers/" + DockerApiClient::escape( name );
}

// A text field of a JSON object; empty when absent or not text.
String textOf( json const & j, char const * key ) {
   if ( !j.is_object() ) {
      return {};
   }
   auto it = j.find( key );
   return it != j.end() && it->is_string() ? it->get< String >() : String();
}

json const & memberOf( json const & j, char const * key ) {
   static json const none;
   if ( !j.is_object() ) {
      return none;
   }
   auto it = j.find( key );
   return it != j.end() ? *it : none;
}

} // namespace

json DockerRuntime::containerJson( String const & ref ) {
   json j = api().call( "GET", containerPath( ref ) + "/json" );
   if ( !j.is_object() ) {
      throw RuntimeException( "inspecting container " + ref + ": unexpected answer" );
   }
   // The daemon takes a reference as an ID, a name or an ID prefix; a name
   // such as "cafe" must not reach another container whose ID begins so.
   if ( textOf( j, "Name" ) != "/" + ref && textOf( j, "Id" ) != ref ) {
      throw ApiRequestException( "No such container: " + ref );
   }
   return j;
}

ContainerRecord DockerRuntime::inspectContainer( String const & name ) {
   json const j = containerJson( name );
   ContainerRecord r;
   r.id = textOf( j, "Id" );
   r.name = textOf( j, "Name" );
   if ( !r.name.empty() && r.name[ 0 ] == '/' ) {
      r.name.erase( 0, 1 );
   }
   json const & cfg = memberOf( j, "Config" );
   r.image = textOf( cfg, "Image" );
   json const & labels = memberOf( cfg, "Labels" );
   if ( labels.is_object() ) {
      for ( auto const & [ k, v ] : labels.items() ) {
         if ( v.is_string() ) {
            r.labels[ k ] = v.get< String >();
         }
      }
   }
   json const & state = memberOf( j, "State" );
   r.status = textOf( state, "Status" );
   json const & running = memberOf( state, "Running" );
   r.running = running.is_boolean() && running.get< bool >();
   json const & exitCode = memberOf( state, "ExitCode" );
   r.exitCode = exitCode.is_number_integer() ? exitCode.get< int32_t >() : 0;
   r.startedAt = textOf( state, "StartedAt" );
   r.finishedAt = textOf( state, "FinishedAt" );
   json const & restarts = memberOf( j, "RestartCount" );
   r.restartCount = restarts.is_number_unsigned() ? restarts.get< uint32_t >() : 0;
   r.imageId = textOf( j, "Image" );
   return r;
}

std::map< String, String > DockerRuntime::ownLabels() {
   return { { kAgentLabel, kAgentLabelValue } };
}

void DockerRuntime::runContainer( Ptr< RunContainerParams > const & p ) {
   QUAYD_ASSERT( p );
   makeDir( runtimeDir_, 0700 );
   finishInterruptedRun();
   ContainerCreateBody const create = containerCreateBody( *p, ownLabels() );
   p->clientFlag = create.clientFlag;
   writeFileAtomically( pendingRunFile(), p->name, 0600 );
   try {
      if ( create.clientFlag.empty() ) {
         createAndStart( p->name, p->image, create.body );
      } else {
         QTRACE( trace, 5,
                 "container {}: option {} is not in the option table; "
                 "running it with the docker client",
                 p->name, create.clientFlag );
         removeOwnContainer( p->name );
         runWithClient( *p );
      }
   } catch ( ... ) {
      ::unlink( pendingRunFile().c_str() );
      throw;
   }
   ::unlink( pendingRunFile().c_str() );
}

void DockerRuntime::createAndStart( String const & name, String const & image, json const & body ) {
   String const create = "/containers/create?name=" + DockerApiClient::escape( name );
   String const text = jsonText( body );
   auto r = api().request( "POST", create, text );
   if ( r.status == 409 ) {
      // The agent runs a container only when its status says none runs: one
      // of ours by that name is a leftover (a run cut short by a killed
      // agent, a status write lost with it). Looked for only now, so that
      // the usual run costs no lookup.
      removeOwnContainer( name );
      r = api().request( "POST", create, text );
   }
   if ( r.status == 404 ) {
      // As `docker run` does: an image missing here is pulled, once.
      pullImage( image );
      r = api().request( "POST", create, text );
   }
   if ( r.status != 201 ) {
      throw RuntimeException( "creating container " + name + ": " +
                              DockerApiClient::errorMessage( r ) );
   }
   String const id = textOf( json::parse( r.body, nullptr, false ), "Id" );
   auto s = api().request( "POST", containerPath( id ) + "/start" );
   if ( s.status != 204 && s.status != 304 ) {
      try {
         // Otherwise every retry would fail on its name.
         deleteContainer( id, true );
      } catch ( RuntimeException const & ) {
         // The start's own failure is the one worth reporting.
      }
      throw RuntimeException( "starting container " + name + ": " +
                              DockerApiClient::errorMessage( s ) );
   }
}

void DockerRuntime::pullImage( String const & image ) {
   ImageName const n = parseImageName( image );
   std::vector< String > headers;
   json config = json::object();
   if ( std::ifstream in( clientConfigDir() + "/config.json" ); in ) {
      config = json::parse( in, nullptr, false );
   }
   if ( String auth = registryAuth( config, n.registry ); !auth.empty() ) {
      headers.push_back( "X-Registry-Auth: " + auth );
   }
   auto r = api().request( "POST",
                           "/images/create?fromImage=" + DockerApiClient::escape( n.repository ) +
                              "&tag=" + DockerApiClient::escape( n.tag ),
                           "", nullptr, 0, headers );
   if ( r.status < 200 || r.status >= 300 ) {
      throw RuntimeException( "pulling " + image + ": " + DockerApiClient::errorMessage( r ) );
   }
   // Progress lines; a failure after the answer began is the last of them.
   std::istringstream lines( r.body );
   for ( String line; std::getline( lines, line ); ) {
      json j = json::parse( line, nullptr, false );
      if ( j.is_object() && j.contains( "error" ) ) {
         throw RuntimeException( "pulling " + image + ": " + textOf( j, "error" ) );
      }
   }
}

void DockerRuntime::runWithClient( RunContainerParams const & p ) {
   // The client writes the new container's ID here once it is created, so
   // that a container whose start failed can be removed again.
   String const cidFile = runtimeDir_ + "/run.cid";
   ::unlink( cidFile.c_str() );
   std::vector< String > w = { envOr( "QUAYD_DOCKER_CLI", "/usr/bin/docker" ),
                               "--host",
                               "unix://" + socketPath(),
                               "run",
                               "--detach",
                               "--name",
                               p.name,
                               "--cidfile",
                               cidFile };
   for ( auto & word : clientRunArgs( p, ownLabels() ) ) {
      w.push_back( std::move( word ) );
   }
   auto const [ rc, err ] = runProgram( w, { "DOCKER_CONFIG=" + clientConfigDir() } );
   String cid;
   if ( std::ifstream in( cidFile ); in ) {
      std::getline( in, cid );
   }
   ::unlink( cidFile.c_str() );
   if ( rc != 0 ) {
      if ( !cid.empty() ) {
         try {
            deleteContainer( cid, true );
         } catch ( RuntimeException const & ) {
            // The run's own failure is the one worth reporting.
         }
      }
      throw RuntimeException( "docker run " + p.name + " failed (status " + std::to_string( rc ) +
                              "): " + err );
   }
}

void DockerRuntime::stopContainer( String const & name ) {
   String const id = textOf( containerJson( name ), "Id" );
   auto r = api().request( "POST", containerPath( id ) + "/stop" );
   // 304: already stopped, which is what the caller wants.
   if ( r.status != 304 && ( r.status < 200 || r.status >= 300 ) ) {
      throw ApiRequestException( DockerApiClient::errorMessage( r ) );
   }
}

void DockerRuntime::removeContainer( String const & name, bool force ) {
   deleteContainer( textOf( containerJson( name ), "Id" ), force );
}

void DockerRuntime::deleteContainer( String const & id, bool force ) {
   // Anonymous volumes go with the container: a new container never gets
   // them back. Named volumes and bind mounts stay.
   api().call( "DELETE", containerPath( id ) + "?v=1" + ( force ? "&force=1" : "" ) );
}

} // namespace Quayd
