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
#include "platform/testing/Capture.h"
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
   // With `lostTail`, the database comes back as of the last checkpoint,
   // as Redis's append-only file does when a power cut took its tail.
   std::vector< String > restartAgent( bool lostTail = false );

   // The database of Redis: it keeps what was written up to a checkpoint
   // for sure, what came after only until its tail is lost.
   void checkpoint();
   // Redis restarts and its append-only file lost its tail: the
   // configuration goes back to the last checkpoint, each difference told
   // to the agent as a change, as the agent's resynchronisation does; the
   // status the agent writes again in full. Returns the configuration
   // elements that went.
   std::vector< Ptr< Entity > > redisRestart();
   // Redis refuses or loses the status writes: an agent restarted
   // meanwhile finds the status as it was when they began.
   void statusWritesLostIs( bool lost );
   bool statusWritesLost() const { return bool( statusAtLoss_ ); }
   // Whether the containers' status is still the one an agent found on a
   // database older than what it wrote: until it starts them again (which
   // asks the daemon what it holds), it may record what is gone and miss
   // what is there.
   bool statusRestored() const { return restoredState_.has_value(); }

   // Runs the loop for `d` of virtual time; children end as the world says
   // as soon as they run. False when timers keep firing without end.
   bool run( Duration d );
   // Runs the loop a turn at a time for at most `d`, until `until` holds
   // after a turn; whether it did.
   bool runUntil( Duration d, std::function< bool() > const & until );

   template < typename T >
   Ptr< T > at( String const & path ) const {
      return getEntityAs< T >( *db_, path );
   }
   ProfileEntityManager const & db() const { return *db_; }
   Agent & agent() const { return *agent_; }

   Testing::FakeProcessRunner processes;
   Testing::VirtualTime time;
   Ptr< SimDaemon > daemon;
   // Where the agent traces (none: nowhere), and what it says to syslog.
   TraceSink * trace = nullptr;
   Testing::LogCapture logs;

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
   // A copy of the database as it is now.
   Ptr< ProfileEntityManager > copyDb() const;
   bool isConfiguration( String const & path ) const;
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
   // As last seen while the containers ran.
   std::map< String, Seen > watched_;
   std::map< String, uint64_t > edits_;
   // As they were at the last checkpoint.
   std::map< String, Seen > seenAtCheckpoint_, watchedAtCheckpoint_;
   // The containers' state an agent found restored, until it started them
   // (none); and whether it has written its own since.
   std::optional< SmState > restoredState_;
   bool stateWritten_ = false;
   SmState containersState() const;
   void noteContainersState();
   uint64_t conditionPasses_ = 0;
   // Containers whose startup condition passed as far as the status an
   // agent found on an older database says, until their next change.
   std::set< String > conditionRecorded_;

   Ptr< ProfileEntityManager > db_;
   std::set< String > configurationPaths_;
   // The database as of the last checkpoint.
   Ptr< ProfileEntityManager > checkpoint_;
   // The database when the status writes began to be lost.
   Ptr< ProfileEntityManager > statusAtLoss_;
   Ptr< Agent > agent_;
};

} // namespace Quayd::Sim
