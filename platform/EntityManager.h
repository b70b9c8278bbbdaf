#pragma once
// The state database as the agent sees it: entities at slash-separated paths,
// mounted by profile. Configuration paths are read-only to the agent and
// follow the database; status paths are written through to it.
#include <functional>
#include <map>
#include <vector>

#include "platform/Entity.h"

namespace Quayd {

enum class MountAccess { read, write };

struct MountEntry {
   String path; // already passed through Cell::path where cell-local
   MountAccess access;
   std::function< Ptr< Entity >() > factory;
};

struct MountProfile {
   String name;
   std::vector< MountEntry > entries;
};

enum class MountStatus { mountSuccess, mountFailed };

namespace Cell {
// The cell-local form of `path`: "cell/<cellId>/" + path.
String path( String const & path, int cellId );
} // namespace Cell

class MountGroup;

class EntityManager : public PtrInterface {
 public:
   // The entity mounted at `path`, or null.
   virtual Ptr< Entity > getEntity( String const & path ) const = 0;
   virtual Ptr< MountGroup > mountGroup() = 0;
   // Mounts `profile`; false (with `error` set) when the database cannot be
   // reached or the profile is unknown.
   virtual bool mount( String const & profile, String & error ) = 0;
};

// Collects profiles to mount; doClose() mounts them and reports the outcome
// to the handler given by the host.
class MountGroup : public PtrInterface {
 public:
   MountGroup( EntityManager & em, std::function< void( MountStatus, String const & ) > done )
       : em_( em ), done_( std::move( done ) ) {}
   void doMountProfile( String const & profile ) { profiles_.push_back( profile ); }
   void doClose( bool sync, String const & description, Duration timeout );
   std::vector< String > const & profiles() const { return profiles_; }

 private:
   EntityManager & em_;
   std::function< void( MountStatus, String const & ) > done_;
   std::vector< String > profiles_;
};

template < typename T >
Ptr< T > getEntityAs( EntityManager const & em, String const & path ) {
   return ptrCast< T >( em.getEntity( path ) );
}

} // namespace Quayd
