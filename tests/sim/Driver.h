#pragma once
// The seeded driver: from one seed, a sequence of operator actions and
// faults with time passing between them, the same sequence every time.
#include <random>

#include "tests/sim/Invariants.h"
#include "tests/sim/Operator.h"

namespace Quayd::Sim {

class Driver {
 public:
   // `faultsInFlight`: faults also land deliberately with runtime calls out
   // (without, the seeds found before they did replay as they were).
   Driver( uint64_t seed, World & world, bool faultsInFlight = true );

   // One operator action or fault, done; returns what it was.
   String step();
   // Clears every fault the driver set.
   void clearFaults();
   Operator & op() { return op_; }

 private:
   // The names the operator gives containers.
   static inline std::vector< String > const kContainers{ "a", "b", "c", "d" };

   template < typename T >
   T const & pick( std::vector< T > const & from ) {
      return from[ std::uniform_int_distribution< size_t >( 0, from.size() - 1 )( rng_ ) ];
   }
   bool chance( double p ) { return std::bernoulli_distribution( p )( rng_ ); }

   String editContainer();
   String editProfile();
   String editRegistry();
   String editQuy();
   String editContainerz();
   String editVrf();
   String editImages();
   String fault();
   // A container ends by itself; the event stream breaks or starts again.
   String exit();
   String events();
   // A daemon that hangs, a registry that keeps refusing.
   String fieldFault();
   // Starts that fail after the create, removals that fail.
   String startsAndRemovals();
   // A power cut (flash maybe mounted after the agent starts), a namespace
   // gone, a full disk.
   String fieldFaults();
   // A daemon that hangs or answers slowly, and one that answers at once.
   String daemonSpeed();
   // Redis restarts, losing the tail of its append-only file; its status
   // writes are refused or lost; a power cut takes its tail too.
   String database();
   String idle() { return "time passes"; }
   // An agent restart, the daemon's death or the quy sub-agent disabled,
   // landed while the agent has runtime calls out (a container edited to
   // send some when none are), most often between a run's create and its
   // start.
   String faultInFlight();
   ContainerEdit containerEdit( bool isProfile );

   std::mt19937_64 rng_;
   World & world_;
   Operator op_;
   bool faultsInFlight_;
};

struct ScenarioResult {
   std::vector< Violation > violations;
   std::vector< String > steps; // what each step did
   size_t failedStep = 0;       // 0: at rest
};

// Runs scenario `seed`: `steps` random steps with the invariants checked
// after each, then every fault cleared, time to settle, the invariants at
// rest, a restart that must recover without restarting the daemon or a
// container, and a restart of the daemon after which every container that
// should run runs.
// `stepStarted` is told the number of each step as it begins (0: the end);
// the agent traces to `trace`. `faultsInFlight` as for the driver.
ScenarioResult runScenario( uint64_t seed, size_t steps,
                            std::function< void( size_t ) > const & stepStarted = {},
                            TraceSink * trace = nullptr, bool faultsInFlight = true );

} // namespace Quayd::Sim
