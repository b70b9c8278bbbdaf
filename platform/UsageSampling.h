#pragma once
// How the agent asks the runtime for its containers' resources: rounds of
// one sample per container, answered on the agent's loop, and the restart of
// a container that went over its memory ceiling. Neither blocks the loop.
#include <functional>
#include <map>
#include <optional>
#include <vector>

#include "platform/ContainerStats.h"
#include "platform/Ptr.h"
#include "platform/Types.h"

namespace Quayd {

class UsageSampling : public PtrInterface {
 public:
   // A container that is gone or did not answer has no sample.
   using Samples = std::map< String, std::optional< StatsSample > >;
   using Done = std::function< void( Samples ) >;

   // Starts a round over `names`; `done` is called once, when each has
   // answered or failed. One still in progress is given up first.
   virtual void sample( std::vector< String > const & names, Done done ) = 0;
   virtual bool inProgress() const = 0;
   // Gives up the round in progress without calling back.
   virtual void cancel() = 0;
   // Stops `name` with its own stop timeout, then starts it; `done` gets ""
   // or why the runtime refused.
   virtual void restart( String const & name, std::function< void( String const & ) > done ) = 0;
};

} // namespace Quayd
