#include "platform/testing/FakeRuntime.h"

#include <algorithm>
#include <optional>

#include <fmt/format.h>
#include <fmt/ranges.h>

namespace Quayd::Testing {

void FakeRuntime::record( String const & name, String const & args ) {
   note( name, args );
   fail( name );
}

void FakeRuntime::note( String const & name, String const & args ) {
   calls_.push_back( name + "(" + args + ")" );
   if ( onCall ) {
      onCall( name );
   }
}

void FakeRuntime::fail( String const & name ) {
   if ( auto it = always_.find( name ); it != always_.end() ) {
      it->second();
   }
   if ( auto it = failures_.find( name ); it != failures_.end() && !it->second.empty() ) {
      auto fail = it->second.front();
      it->second.pop_front();
      fail();
   }
}

std::vector< String > FakeRuntime::callNames() const {
   std::vector< String > out;
   for ( auto const & c : calls_ ) {
      out.push_back( c.substr( 0, c.find( '(' ) ) );
   }
   return out;
}

std::vector< String > FakeRuntime::argsOf( String const & name ) const {
   std::vector< String > out;
   for ( auto const & c : calls_ ) {
      if ( c.compare( 0, name.size() + 1, name + "(" ) == 0 ) {
         out.push_back( c.substr( name.size() + 1, c.size() - name.size() - 2 ) );
      }
   }
   return out;
}

size_t FakeRuntime::count( String const & name ) const {
   auto names = callNames();
   return std::count( names.begin(), names.end(), name );
}

bool FakeRuntime::runtimeInstalled() {
   record( "runtimeInstalled", "" );
   return installed;
}

bool FakeRuntime::runtimeActive() {
   record( "runtimeActive", "" );
   return active;
}

bool FakeRuntime::runtimeGone() {
   record( "runtimeGone", "" );
   return !active && !stuck;
}

void FakeRuntime::enableRuntime() {
   record( "enableRuntime", "" );
   active = enableActivates;
}

void FakeRuntime::disableRuntime() {
   record( "disableRuntime", "" );
   active = false;
}

void FakeRuntime::reloadConfig() { record( "reloadConfig", "" ); }

ImageRecord FakeRuntime::inspectImage( String const & name ) {
   record( "inspectImage", name );
   if ( !images.count( name ) ) {
      throw ApiRequestException( "No such image: " + name );
   }
   auto const id = imageIds.find( name );
   return { name, id != imageIds.end() ? id->second : "sha256:" + name, { name } };
}

std::vector< String > FakeRuntime::listStaleImages() {
   record( "listStaleImages", "" );
   return staleImages;
}

std::vector< String > FakeRuntime::loadImage( String const & tarballPath ) {
   record( "loadImage", tarballPath );
   return loaded( tarballPath );
}

Ptr< RuntimeCall > FakeRuntime::loadImageAsync( String const & tarballPath, LoadDone done ) {
   note( "loadImage", tarballPath );
   return async( "loadImage(" + tarballPath + ")", [ this, tarballPath, done ] {
      std::vector< String > images;
      try {
         fail( "loadImage" );
         images = loaded( tarballPath );
      } catch ( ... ) {
         done( {}, std::current_exception() );
         return;
      }
      done( images, nullptr );
   } );
}

std::vector< String > FakeRuntime::loaded( String const & tarballPath ) {
   auto it = tarballImages.find( tarballPath );
   std::vector< String > loaded =
      it != tarballImages.end() ? it->second : std::vector< String >{ tarballPath + ":latest" };
   images.insert( loaded.begin(), loaded.end() );
   auto const ids = tarballIds.find( tarballPath );
   for ( size_t i = 0; ids != tarballIds.end() && i < loaded.size() && i < ids->second.size();
         ++i ) {
      imageIds[ loaded[ i ] ] = ids->second[ i ];
   }
   return loaded;
}

std::vector< String > FakeRuntime::tarballImageIds( String const & tarballPath ) {
   record( "tarballImageIds", tarballPath );
   auto const ids = tarballIds.find( tarballPath );
   return ids != tarballIds.end() ? ids->second : std::vector< String >{};
}

void FakeRuntime::removeImage( String const & nameOrTag ) {
   record( "removeImage", nameOrTag );
   images.erase( nameOrTag );
}

void FakeRuntime::login( String const & user, String const & password, String const & server ) {
   record( "login", user + ",***," + server );
   logins[ server ] = user;
   passwords[ server ] = password;
}

void FakeRuntime::logout( String const & server ) {
   record( "logout", server );
   logins.erase( server );
}

ContainerRecord FakeRuntime::inspectContainer( String const & name ) {
   record( "inspectContainer", name );
   if ( !containers.count( name ) ) {
      throw ApiRequestException( "No such container: " + name );
   }
   if ( auto it = records.find( name ); it != records.end() ) {
      return it->second;
   }
   ContainerRecord r;
   r.id = "id-" + name;
   r.name = name;
   r.status = "running";
   r.running = true;
   return r;
}

std::vector< String > FakeRuntime::listOwnContainers() {
   record( "listOwnContainers", "" );
   return { containers.begin(), containers.end() };
}

RunOutcome FakeRuntime::runContainer( Ptr< RunContainerParams > const & params ) {
   record( "runContainer", params ? params->name : "-" );
   return ran( params );
}

RunOutcome FakeRuntime::ran( Ptr< RunContainerParams > const & params ) {
   lastRun = params;
   containers.insert( params->name );
   records.erase( params->name );
   return { clientFlagOfRuns };
}

void FakeRuntime::stopContainer( String const & name ) { record( "stopContainer", name ); }

void FakeRuntime::startContainer( String const & name ) {
   record( "startContainer", name );
   if ( !containers.count( name ) ) {
      throw ApiRequestException( "No such container: " + name );
   }
}

void FakeRuntime::removeContainer( String const & name, bool force ) {
   record( "removeContainer", name + "," + ( force ? "true" : "false" ) );
   removed( name );
}

void FakeRuntime::removed( String const & name ) {
   containers.erase( name );
   records.erase( name );
}

Ptr< RuntimeCall > FakeRuntime::async( String const & call, std::function< void() > complete ) {
   uint64_t const id = nextHeld_++;
   held_.push_back( { id, call, std::move( complete ) } );
   if ( loop && !hold ) {
      if ( !completeTask_ ) {
         completeTask_ = makePtr< Task >( loop, TaskPriority( 3 ), "FakeRuntimeCalls",
                                          [ this ] { completeAll(); } );
      }
      completeTask_->scheduleTask();
   }
   return makePtr< RuntimeCall >( [ this, alive = alive_, id ] {
      if ( *alive ) {
         std::erase_if( held_, [ id ]( Held const & h ) { return h.id == id; } );
      }
   } );
}

size_t FakeRuntime::containerCallsPending() const {
   return std::count_if( held_.begin(), held_.end(),
                         []( Held const & h ) { return !h.call.starts_with( "inspect" ); } );
}

std::vector< String > FakeRuntime::held() const {
   std::vector< String > out;
   for ( auto const & h : held_ ) {
      out.push_back( h.call );
   }
   return out;
}

void FakeRuntime::complete( size_t i ) {
   QUAYD_ASSERT( i < held_.size() );
   auto const complete = std::move( held_[ i ].complete );
   held_.erase( held_.begin() + long( i ) );
   complete();
}

void FakeRuntime::completeAll() {
   while ( !held_.empty() ) {
      complete( 0 );
   }
}

Ptr< RuntimeCall > FakeRuntime::runContainerAsync( Ptr< RunContainerParams > const & params,
                                                   RunDone done ) {
   note( "runContainer", params->name );
   return async( "runContainer(" + params->name + ")", [ this, params, done ] {
      RunOutcome outcome;
      try {
         fail( "runContainer" );
         outcome = ran( params );
      } catch ( ... ) {
         done( outcome, std::current_exception() );
         return;
      }
      done( outcome, nullptr );
   } );
}

Ptr< RuntimeCall > FakeRuntime::stopContainerAsync( String const & name, RuntimeCallDone done ) {
   note( "stopContainer", name );
   return async( "stopContainer(" + name + ")", [ this, name, done ] {
      try {
         fail( "stopContainer" );
      } catch ( ... ) {
         done( std::current_exception() );
         return;
      }
      done( nullptr );
   } );
}

Ptr< RuntimeCall > FakeRuntime::removeContainerAsync( String const & name, bool force,
                                                      RuntimeCallDone done ) {
   note( "removeContainer", name + "," + ( force ? "true" : "false" ) );
   return async( "removeContainer(" + name + ")", [ this, name, done ] {
      try {
         fail( "removeContainer" );
         removed( name );
      } catch ( ... ) {
         done( std::current_exception() );
         return;
      }
      done( nullptr );
   } );
}

Ptr< RuntimeCall > FakeRuntime::inspectContainerAsync( String const & name, InspectDone done ) {
   return async( "inspectContainer(" + name + ")", [ this, name, done ] {
      ContainerRecord record;
      try {
         record = inspectContainer( name );
      } catch ( ... ) {
         done( {}, std::current_exception() );
         return;
      }
      done( record, nullptr );
   } );
}

void FakeRuntime::applyConfig( String const & dataRoot, String const & netNsPath,
                               Ptr< SyslogDriver const > const & logDriver, bool flag,
                               Ptr< InsecureRegistries const > const & insecure ) {
   std::set< String > regs = insecure ? insecure->reg() : std::set< String >{};
   record( "applyConfig",
           fmt::format( "{},{},{},{},[{}]", dataRoot, netNsPath, logDriver ? logDriver->url() : "-",
                        flag ? "true" : "false", fmt::join( regs, "," ) ) );
   appliedDataRoot = dataRoot;
   appliedNetNs = netNsPath;
   appliedLogDriver = logDriver;
   appliedInsecure = regs;
}

void FakeRuntime::resetConfig() { record( "resetConfig", "" ); }

bool FakeRuntime::runtimeRunsWith( String const & dataRoot, String const & netNsPath,
                                   Ptr< SyslogDriver const > const & logDriver,
                                   Ptr< InsecureRegistries const > const & insecure ) {
   std::set< String > regs = insecure ? insecure->reg() : std::set< String >{};
   record( "runtimeRunsWith",
           fmt::format( "{},{},{},[{}]", dataRoot, netNsPath, logDriver ? logDriver->url() : "-",
                        fmt::join( regs, "," ) ) );
   auto const url = []( Ptr< SyslogDriver const > const & d ) {
      return d ? std::optional< String >( d->url() ) : std::nullopt;
   };
   return active && appliedDataRoot == dataRoot && appliedNetNs == netNsPath &&
          url( appliedLogDriver ) == url( logDriver ) && appliedInsecure == regs;
}

uint64_t FakeRuntime::containerEventsSubscribe( ContainerEventHandler handler ) {
   return subscribers_.add( std::move( handler ) );
}

void FakeRuntime::containerEventsUnsubscribe( uint64_t id ) { subscribers_.del( id ); }

} // namespace Quayd::Testing
