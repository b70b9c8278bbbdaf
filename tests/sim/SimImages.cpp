#include "tests/sim/SimDaemon.h"

#include <fmt/format.h>

#include "platform/Exception.h"

namespace Quayd::Sim {

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
   // Flash not mounted: the tarballs on it are not there.
   bool const unmounted =
      tarballPath.starts_with( "/mnt/flash/" ) && !files_.isMountPoint( "/mnt/flash" );
   if ( it == tarballs.end() || unmounted ) {
      throw RuntimeException( "open " + tarballPath + ": no such file or directory" );
   }
   if ( diskFull ) {
      throw RuntimeException( "Error response from daemon: write /var/lib/docker/tmp/" +
                              it->second.front() + ": no space left on device" );
   }
   images_.insert( it->second.begin(), it->second.end() );
   for ( auto const & tag : it->second ) {
      imagesLeft_.erase( { root_, tag } );
      removalsFailed_.erase( { root_, tag } );
   }
   return it->second;
}

void SimDaemon::removeImage( String const & nameOrTag ) {
   try {
      if ( !enter( "removeImage" ) ) {
         return;
      }
   } catch ( Exception const & ) {
      // A daemon down may come back on any data root.
      imagesByRoot_[ root_ ] = images_;
      for ( auto const & [ root, tags ] : imagesByRoot_ ) {
         if ( tags.count( nameOrTag ) ) {
            removalsFailed_.insert( { root, nameOrTag } );
         }
      }
      throw;
   }
   if ( !images_.count( nameOrTag ) ) {
      throw ApiRequestException( "No such image: " + nameOrTag );
   }
   for ( auto const & [ name, c ] : live() ) {
      if ( c.image == nameOrTag ) {
         // A removal refused as any other that failed: what the agent
         // cannot unload here stays if it moves to another data root.
         removalsFailed_.insert( { root_, nameOrTag } );
         throw ApiRequestException( "conflict: unable to remove repository reference \"" +
                                    nameOrTag + "\" (must force) - container " + name +
                                    " is using its referenced image" );
      }
   }
   images_.erase( nameOrTag );
   imagesLeft_.erase( { root_, nameOrTag } );
   removalsFailed_.erase( { root_, nameOrTag } );
}

bool SimDaemon::pullable( String const & image ) const {
   if ( !upstream.count( image ) ) {
      return false;
   }
   auto const slash = image.find( '/' );
   String const host = slash == String::npos ? String() : image.substr( 0, slash );
   return host.empty() || logins_.count( host );
}

void SimDaemon::removeImageBehind( String const & name ) {
   // As `docker rmi` does, an image in use stays.
   for ( auto const & [ root, all ] : byRoot_ ) {
      for ( auto const & [ n, c ] : all ) {
         if ( c.image == name && files_.exists( root + "/containers/" + n ) ) {
            return;
         }
      }
   }
   images_.erase( name );
}

void SimDaemon::login( String const & user, String const &, String const & server ) {
   if ( enter( "login" ) ) {
      if ( refusing.count( server ) ) {
         throw RuntimeException( "Error response from daemon: Get \"https://" + server +
                                 "/v2/\": unauthorized: incorrect username or password" );
      }
      logins_[ server ] = user;
      loginsLeft_.erase( server );
   }
}

void SimDaemon::imagesForgotten( std::set< String > const & tags ) {
   imagesLeft_.insert( removalsFailed_.begin(), removalsFailed_.end() );
   for ( auto const & tag : tags ) {
      if ( images_.count( tag ) ) {
         imagesLeft_.insert( { root_, tag } );
      }
   }
}

void SimDaemon::rootKept( String const & dataRoot ) {
   String const root = rootOf( dataRoot );
   for ( auto const & tag : root == root_ ? images_ : imagesByRoot_[ root ] ) {
      imagesLeft_.insert( { root, tag } );
   }
}

void SimDaemon::loginsForgotten() {
   for ( auto const & [ server, user ] : logins_ ) {
      loginsLeft_.insert( server );
   }
}

void SimDaemon::logout( String const & server ) {
   // The credentials are the runtime's own store: no daemon needed.
   try {
      if ( !enter( "logout", false ) ) {
         return;
      }
   } catch ( RuntimeException const & ) {
      if ( logins_.count( server ) ) {
         loginsLeft_.insert( server );
      }
      throw;
   }
   logins_.erase( server );
   loginsLeft_.erase( server );
}

} // namespace Quayd::Sim
