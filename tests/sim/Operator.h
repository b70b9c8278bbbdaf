#pragma once
// The configuration layer's writes, as Redis delivers them to the agent: an
// element arrives complete, with its fields set, before anyone is told.
// Scripted scenarios and the random driver both edit through these.
#include "tests/sim/World.h"

namespace Quayd::Sim {

struct ContainerEdit {
   ContainerParams params;
   std::map< String, BindMountEntry > binds;
   bool enabled = true;
   String profile;
};

class Operator {
 public:
   explicit Operator( World & world ) : world_( world ) {}

   void quy( bool enabled, bool onFlash, uint64_t flashLimit );
   void containerz( std::optional< Gnoi::Containerz::CrtConfig > const & config );
   void vrf( String const & name, std::optional< std::pair< uint8_t, bool > > const & status );
   void container( String const & name, ContainerEdit const & edit );
   void containerDel( String const & name );
   void profile( String const & name, ContainerEdit const & edit );
   void profileDel( String const & name );
   void registry( String const & name, RegistryParams const & params );
   void registryDel( String const & name );
   void tarball( String const & path, bool configured );
   void persistentPath( String const & path );

   // Configuration elements removed so far: nobody may watch them any more.
   std::vector< Ptr< Entity > > const & deleted() const { return deleted_; }
   // Elements the database took away by itself.
   void removedAre( std::vector< Ptr< Entity > > const & gone ) {
      deleted_.insert( deleted_.end(), gone.begin(), gone.end() );
   }

 private:
   template < typename Dir >
   void removed( Ptr< Dir > const & dir, String const & key );

   World & world_;
   std::vector< Ptr< Entity > > deleted_;
};

} // namespace Quayd::Sim
