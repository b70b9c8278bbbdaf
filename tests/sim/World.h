#pragma once
// Everything the agent lives in, in one process and in virtual time: the
// loop and its clock, child processes, the file system with its flash, the
// container daemon and the state database. The agent in it is the real one,
// with every state machine; a restart destroys it as a crash would (nothing
// it does while going down reaches the daemon or the database) and builds a
// new one on what the database held.
#include <optional>

#include "agent/QuaydAgent.h"
#include "platform/ProfileEntityManager.h"
#include "platform/testing/FakeProcessRunner.h"
#include "platform/testing/VirtualTime.h"
#include "tests/sim/SimDaemon.h"

namespace Quayd::Sim {

class World {
 public:
   static constexpr char const * kFlash = "/mnt/flash";
   static constexpr char const * kFlashRoot = "/mnt/flash/.quy";

   World();
   ~World();

   // A first start on an empty database.
   void startAgent();
   // A crash and a new start. Returns what the old agent left behind:
   // subscriptions, references, timers or children that outlived it.
   std::vector< String > restartAgent();

   // Runs the loop for `d` of virtual time; children end as the world says
   // as soon as they run. False when timers keep firing without end.
   bool run( Duration d );

   template < typename T >
   Ptr< T > at( String const & path ) const {
      return getEntityAs< T >( *db_, path );
   }
   ProfileEntityManager const & db() const { return *db_; }
   Agent & agent() const { return *agent_; }

   Testing::FakeProcessRunner processes;
   Testing::VirtualTime time;
   Ptr< SimDaemon > daemon;

   // The loop-mounted data root on flash, and the faults of its tool.
   bool flashMounted = false;
   bool mountToolFails = false;
   // Children: no server answers, or no child ever ends.
   bool networkDown = false;
   bool childrenHang = false;

   // Called after each operator edit: a container whose configuration (its
   // profile's included) changed must pass its startup condition again
   // before it runs.
   void noteEdit();
   // An operator edit is being applied, field by field as the database
   // delivers it: nothing may run before it is whole.
   bool editing = false;

   // How a child of `argv` ends now in this world; none: it keeps running.
   std::optional< int32_t > outcome( std::vector< String > const & argv ) const;
   // Whether a syslog server at `host` answers when the network is up.
   static bool answers( String const & host ) { return host != "unreachable"; }

 private:
   void resolveChildren();
   ToolRun mountTool( std::vector< String > const & argv );
   Ptr< ProfileEntityManager > newDb() const;
   // Why running `p` now is unsafe; none: it is not.
   std::optional< String > unsafeRun( RunContainerParams const & p );

   // Per container, the configuration last seen and the number of startup
   // conditions passed by then.
   struct Seen {
      ContainerParams params;
      std::map< String, BindMountEntry > binds;
      bool enabled = false;
      uint64_t passesBefore = 0;
      bool operator==( Seen const & o ) const {
         return params.isEq( o.params ) && binds == o.binds && enabled == o.enabled;
      }
   };
   std::optional< Seen > seen( String const & name ) const;
   std::map< String, Seen > seen_;
   std::map< String, uint64_t > edits_;
   uint64_t conditionPasses_ = 0;

   Ptr< ProfileEntityManager > db_;
   Ptr< Agent > agent_;
};

} // namespace Quayd::Sim
