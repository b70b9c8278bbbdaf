#include "tests/sim/SimDaemon.h"

#include <fmt/format.h>

#include "platform/Exception.h"

namespace Quayd::Sim {

namespace {
bool restartsWithDaemon( SimContainer const & c ) {
   return c.restartPolicy == "always" || c.restartPolicy == "unless-stopped";
}
} // namespace

void SimDaemon::clearFaults() {
   failures_.clear();
   wontStop = false;
   installed = true;
   revive();
}

void SimDaemon::die() {
   dead = true;
   for ( auto & [ name, c ] : live() ) {
      c.running = false;
   }
}

void SimDaemon::revive() {
   if ( !dead ) {
      return;
   }
   // The supervisor starts the daemon again, with the configuration file
   // as it is now, and the daemon restarts what asks to be.
   dead = false;
   if ( active_ ) {
      start();
   }
}

void SimDaemon::start() {
   Config const c = config_.value_or( Config{} );
   active_ = true;
   root_ = rootOf( c.dataRoot );
   netNs_ = c.netNs;
   logAddress_ = c.logAddress;
   insecureLive_ = c.insecure;
   for ( auto & [ name, ctr ] : live() ) {
      ctr.running = restartsWithDaemon( ctr );
   }
}

bool SimDaemon::enter( String const & call, bool needsDaemon ) {
   ++calls_;
   if ( frozen ) {
      return false;
   }
   if ( auto it = failures_.find( call ); it != failures_.end() ) {
      Fault const f = it->second;
      failures_.erase( it );
      String const what = "simulated failure of " + call;
      switch ( f ) {
      case Fault::runtime:
         throw RuntimeException( what );
      case Fault::apiRequest:
         throw ApiRequestException( what );
      case Fault::serviceJob:
         throw Unitctl::SdbusJobException( what );
      }
   }
   if ( needsDaemon && ( dead || !active_ ) ) {
      throw RuntimeException( "cannot reach the daemon: connection refused" );
   }
   return true;
}

std::map< String, SimContainer > & SimDaemon::live() {
   auto & all = byRoot_[ root_ ];
   std::erase_if( all,
                  [ this ]( auto const & kv ) { return !files_.exists( marker( kv.first ) ); } );
   return all;
}

std::map< String, SimContainer > SimDaemon::containers() const {
   std::map< String, SimContainer > out;
   if ( auto it = byRoot_.find( root_ ); it != byRoot_.end() ) {
      for ( auto const & [ name, c ] : it->second ) {
         if ( files_.exists( marker( name ) ) ) {
            out.emplace( name, c );
         }
      }
   }
   return out;
}

std::map< String, std::vector< String > > SimDaemon::allContainers() const {
   std::map< String, std::vector< String > > out;
   for ( auto const & [ root, all ] : byRoot_ ) {
      for ( auto const & [ name, c ] : all ) {
         if ( files_.exists( root + "/containers/" + name ) ) {
            out[ root ].push_back( name );
         }
      }
   }
   return out;
}

bool SimDaemon::runtimeInstalled() {
   enter( "runtimeInstalled", false );
   return installed;
}

bool SimDaemon::runtimeActive() { return enter( "runtimeActive", false ) && active_ && !dead; }

void SimDaemon::enableRuntime() {
   if ( !enter( "enableRuntime", false ) ) {
      return;
   }
   if ( !installed || dead ) {
      throw Unitctl::SdbusJobException( "the daemon did not come up" );
   }
   if ( !active_ ) {
      start();
   }
}

void SimDaemon::disableRuntime() {
   if ( !enter( "disableRuntime", false ) || !active_ ) {
      return;
   }
   if ( wontStop ) {
      throw Unitctl::SdbusJobException( "the daemon did not stop within 30 s" );
   }
   for ( auto & [ name, c ] : live() ) {
      c.running = false;
   }
   active_ = false;
   dead = false;
}

void SimDaemon::reloadConfig() {
   if ( enter( "reloadConfig" ) ) {
      insecureLive_ = config_.value_or( Config{} ).insecure;
   }
}

ImageRecord SimDaemon::inspectImage( String const & name ) {
   if ( !enter( "inspectImage" ) ) {
      return {};
   }
   if ( !images_.count( name ) ) {
      throw ApiRequestException( "No such image: " + name );
   }
   return { name, "sha256:" + name, { name } };
}

std::vector< String > SimDaemon::listStaleImages() {
   enter( "listStaleImages" );
   return {};
}

std::vector< String > SimDaemon::loadImage( String const & tarballPath ) {
   if ( !enter( "loadImage" ) ) {
      return {};
   }
   auto it = tarballs.find( tarballPath );
   if ( it == tarballs.end() ) {
      throw RuntimeException( "open " + tarballPath + ": no such file or directory" );
   }
   images_.insert( it->second.begin(), it->second.end() );
   return it->second;
}

void SimDaemon::removeImage( String const & nameOrTag ) {
   if ( enter( "removeImage" ) && !images_.erase( nameOrTag ) ) {
      throw ApiRequestException( "No such image: " + nameOrTag );
   }
}

void SimDaemon::login( String const & user, String const &, String const & server ) {
   if ( enter( "login" ) ) {
      logins_[ server ] = user;
   }
}

void SimDaemon::logout( String const & server ) {
   if ( enter( "logout" ) ) {
      logins_.erase( server );
   }
}

ContainerRecord SimDaemon::inspectContainer( String const & name ) {
   if ( !enter( "inspectContainer" ) ) {
      return {};
   }
   auto & all = live();
   auto it = all.find( name );
   if ( it == all.end() ) {
      throw ApiRequestException( "No such container: " + name );
   }
   SimContainer const & c = it->second;
   return { c.id, name, c.image, c.running ? "running" : "exited", c.running, {} };
}

std::vector< String > SimDaemon::listOwnContainers() {
   std::vector< String > out;
   if ( enter( "listOwnContainers" ) ) {
      for ( auto const & [ name, c ] : live() ) {
         out.push_back( name );
      }
   }
   return out;
}

void SimDaemon::runContainer( Ptr< RunContainerParams > const & p ) {
   if ( !enter( "runContainer" ) ) {
      return;
   }
   // A leftover of ours under the same name is replaced, as the real run does.
   auto & all = live();
   SimContainer c;
   c.id = fmt::format( "{:012x}", nextId_++ );
   c.image = p->image;
   c.command = p->command();
   c.memory = p->setting( "memory" );
   c.restartPolicy = p->setting( "restart" );
   for ( auto const & [ path, b ] : p->binds() ) {
      c.binds[ path ] = b;
   }
   all[ p->name ] = c;
   files_.addFile( marker( p->name ) );
   ++runs_[ p->name ];
}

void SimDaemon::stopContainer( String const & name ) {
   if ( !enter( "stopContainer" ) ) {
      return;
   }
   auto & all = live();
   auto it = all.find( name );
   if ( it == all.end() ) {
      throw ApiRequestException( "No such container: " + name );
   }
   it->second.running = false;
}

void SimDaemon::removeContainer( String const & name, bool force ) {
   if ( !enter( "removeContainer" ) ) {
      return;
   }
   auto & all = live();
   auto it = all.find( name );
   if ( it == all.end() ) {
      throw ApiRequestException( "No such container: " + name );
   }
   if ( it->second.running && !force ) {
      throw ApiRequestException( "You cannot remove a running container " + name );
   }
   all.erase( it );
   files_.erase( marker( name ) );
}

void SimDaemon::applyConfig( String const & dataRoot, String const & netNsPath,
                             Ptr< SyslogDriver const > const & logDriver, bool,
                             Ptr< InsecureRegistries const > const & insecure ) {
   if ( !enter( "applyConfig", false ) ) {
      return;
   }
   Config c{ dataRoot, netNsPath, std::nullopt, {} };
   if ( logDriver ) {
      c.logAddress = logDriver->url();
   }
   if ( insecure ) {
      c.insecure = insecure->reg();
   }
   config_ = c;
}

void SimDaemon::resetConfig() {
   if ( enter( "resetConfig", false ) ) {
      config_.reset();
   }
}

} // namespace Quayd::Sim
