#include "platform/docker/DockerRuntime.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>

#include "platform/Codec.h"
#include "platform/TarballManifest.h"
#include "platform/docker/ContainerLaunch.h"
#include "platform/docker/EngineAnswers.h"
#include "platform/docker/ImageLoad.h"

using nlohmann::json;

namespace Quayd {

namespace {

// Limits of the calls that change something and may take their time.
constexpr long kLoginLimitSec = 30;

// Escaped whole, slashes too, as a container's name is: the daemon decodes
// it back into the image reference. "." and ".." alone would be dot segments
// of the path, so they are no image.
String imagePath( String const & name ) {
   if ( name.empty() || name == "." || name == ".." ) {
      throw ApiRequestException( "'" + name + "' is not an image reference" );
   }
   return "/images/" + DockerApiClient::escape( name );
}

} // namespace

DockerRuntime::DockerRuntime( DockerSettings settings, FileSystem & files, Spawner const & spawner,
                              EventLoop * loop, Sinks sinks )
    : settings_( std::move( settings ) ), files_( files ), spawner_( spawner ),
      daemon_( settings_, files, spawner ), logins_( settings_.clientConfigDir, files ),
      loop_( loop ), sinks_( sinks ), trace_( sinks.trace, "DockerRuntime" ) {}

DockerApiClient & DockerRuntime::api() {
   String sock = socketPath();
   if ( !api_ ) {
      api_ = std::make_unique< DockerApiClient >( sock, spawner_.serviceManager() );
      api_->answerObserverIs( [ this ]( String const & why ) {
         if ( answerObserver_ ) {
            answerObserver_( why );
         }
      } );
   }
   api_->socketPathIs( sock );
   return *api_;
}

String DockerRuntime::socketPath() const { return daemon_.config().socketPath(); }

pid_t DockerRuntime::dockerdPid() const { return daemon_.dockerdPid(); }

pid_t DockerRuntime::supervisorPid() const { return daemon_.supervisorPid(); }

void DockerRuntime::answerObserverIs( std::function< void( String const & ) > observer ) {
   answerObserver_ = std::move( observer );
}

bool DockerRuntime::runtimeInstalled() { return daemon_.installed(); }

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

void DockerRuntime::applyConfig( String const & dataRoot, String const & netNsPath,
                                 Ptr< SyslogDriver const > const & logDriver, bool,
                                 Ptr< InsecureRegistries const > const & insecure ) {
   DaemonConfig const & c = daemon_.config();
   c.write( c.build( dataRoot, netNsPath, logDriver, insecure, settings_.daemon ) );
   netNsPath_ = netNsPath;
}

void DockerRuntime::resetConfig() {
   daemon_.config().remove();
   netNsPath_.clear();
}

namespace {
bool sameFile( String const & a, String const & b ) {
   struct stat sa, sb;
   return ::stat( a.c_str(), &sa ) == 0 && ::stat( b.c_str(), &sb ) == 0 &&
          sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
}
} // namespace

bool DockerRuntime::runtimeRunsWith( String const & dataRoot, String const & netNsPath,
                                     Ptr< SyslogDriver const > const & logDriver,
                                     Ptr< InsecureRegistries const > const & insecure ) {
   DaemonConfig const & c = daemon_.config();
   if ( !c.exists() ||
        c.read() != c.build( dataRoot, netNsPath, logDriver, insecure, settings_.daemon ) ) {
      return false;
   }
   pid_t const pid = dockerdPid();
   String const ns = netNsPath.empty() ? String( "/proc/self/ns/net" ) : netNsPath;
   if ( !pid || !sameFile( ns, "/proc/" + std::to_string( pid ) + "/ns/net" ) ||
        !runtimeActive() ) {
      return false;
   }
   netNsPath_ = netNsPath;
   return true;
}

void DockerRuntime::enableRuntime() {
   daemon_.start( netNsPath_, [ this ] { return runtimeActive(); } );
}

void DockerRuntime::disableRuntime() {
   events_ = nullptr;
   daemon_.stop();
}

bool DockerRuntime::runtimeGone() { return daemon_.gone(); }

void DockerRuntime::reloadConfig() { daemon_.reload(); }

ImageRecord DockerRuntime::inspectImage( String const & name ) {
   return imageRecordOf( api().call( "GET", imagePath( name ) + "/json" ), name );
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

namespace {

// Opens a tarball for reading. A FIFO or a device would block the loop or
// never end: only a regular file (or a link to one) is taken, and it is
// opened without waiting, so a file swapped for a FIFO meanwhile cannot block.
FILE * openTarball( String const & path ) {
   struct stat st;
   if ( ::stat( path.c_str(), &st ) != 0 ) {
      throw RuntimeException( "cannot open " + path + ": " + strerror( errno ) );
   }
   if ( !S_ISREG( st.st_mode ) ) {
      throw RuntimeException( path + " is not a regular file" );
   }
   int fd = ::open( path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC );
   if ( fd < 0 ) {
      throw RuntimeException( "cannot open " + path + ": " + strerror( errno ) );
   }
   if ( ::fstat( fd, &st ) != 0 || !S_ISREG( st.st_mode ) ) {
      ::close( fd );
      throw RuntimeException( path + " is not a regular file" );
   }
   FILE * f = ::fdopen( fd, "rb" );
   if ( !f ) {
      ::close( fd );
      throw RuntimeException( "cannot open " + path + ": " + strerror( errno ) );
   }
   return f;
}

} // namespace

std::vector< String > DockerRuntime::loadImage( String const & tarballPath ) {
   FILE * f = openTarball( tarballPath );
   ImageLoadAnswer a;
   try {
      a = loadImages( api(), f );
   } catch ( ... ) {
      fclose( f );
      throw;
   }
   fclose( f );
   return loadedImages( tarballPath, a );
}

std::vector< String > DockerRuntime::tarballImageIds( String const & tarballPath ) {
   FILE * f = openTarball( tarballPath );
   int const fd = ::fileno( f );
   auto const read = [ & ]( uint64_t offset, size_t size ) {
      String out( size, '\0' );
      size_t got = 0;
      while ( got < size ) {
         ssize_t const n =
            ::pread( fd, out.data() + got, size - got, static_cast< off_t >( offset + got ) );
         if ( n < 0 && errno == EINTR ) {
            continue;
         }
         if ( n < 0 ) {
            throw RuntimeException( "reading " + tarballPath + ": " + strerror( errno ) );
         }
         if ( n == 0 ) {
            break;
         }
         got += static_cast< size_t >( n );
      }
      out.resize( got );
      return out;
   };
   try {
      auto ids = Quayd::tarballImageIds( read );
      fclose( f );
      return ids;
   } catch ( RuntimeException const & e ) {
      fclose( f );
      throw RuntimeException( tarballPath + ": " + e.what() );
   }
}

void DockerRuntime::removeImage( String const & nameOrTag ) {
   api().call( "DELETE", imagePath( nameOrTag ) );
}

void DockerRuntime::login( String const & user, String const & password, String const & server ) {
   api().call( "POST", "/auth",
               json{ { "username", user }, { "password", password }, { "serveraddress", server } },
               kLoginLimitSec );
   logins_.loggedIn( server, user, password );
}

void DockerRuntime::logout( String const & server ) { logins_.loggedOut( server ); }

json DockerRuntime::containerJson( String const & ref ) {
   return checkedContainer( ref, api().call( "GET", containerPath( ref ) + "/json" ) );
}

json DockerRuntime::checkedContainer( String const & ref, json j ) {
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
   return containerRecord( containerJson( name ) );
}

ContainerRecord DockerRuntime::containerRecord( json const & j ) {
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
   auto const own = r.labels.find( kAgentLabel );
   r.foreign = own == r.labels.end() || own->second != kAgentLabelValue;
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
   healthOf( state, r );
   return r;
}

std::map< String, String > DockerRuntime::ownLabels() {
   return { { kAgentLabel, kAgentLabelValue } };
}

void DockerRuntime::stopContainer( String const & name ) {
   json const j = containerJson( name );
   checkStopped( api().request( "POST", containerPath( textOf( j, "Id" ) ) + "/stop", "", nullptr,
                                stopLimitSec( j ) ) );
}

long DockerRuntime::stopLimitSec( json const & container ) {
   // Beyond the container's own stop time, which the daemon waits before
   // killing it.
   constexpr long kStopMarginSec = 10;
   constexpr long kDefaultStopSec = 10;
   json const & stopTime = memberOf( memberOf( container, "Config" ), "StopTimeout" );
   return ( stopTime.is_number_integer() && stopTime.get< long >() >= 0 ? stopTime.get< long >()
                                                                        : kDefaultStopSec ) +
          kStopMarginSec;
}

void DockerRuntime::checkStopped( DockerApiClient::Response const & r ) {
   // 304: already stopped, which is what the caller wants.
   if ( r.status != 304 && ( r.status < 200 || r.status >= 300 ) ) {
      throw ApiRequestException( DockerApiClient::errorMessage( r ) );
   }
}

void DockerRuntime::startContainer( String const & name ) {
   auto r =
      api().request( "POST", containerPath( textOf( containerJson( name ), "Id" ) ) + "/start" );
   if ( !startAccepted( r ) ) {
      throw RuntimeException( "starting container " + name + ": " +
                              DockerApiClient::errorMessage( r ) );
   }
}

void DockerRuntime::removeContainer( String const & name, bool force ) {
   deleteContainer( textOf( containerJson( name ), "Id" ), force );
}

void DockerRuntime::deleteContainer( String const & id, bool force ) {
   Quayd::deleteContainer( api(), id, force );
}

} // namespace Quayd
