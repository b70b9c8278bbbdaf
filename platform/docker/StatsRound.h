#pragma once
// One round of resource samples: a one-shot stats request per container, all
// sent together through the asynchronous client (so its bound applies), and
// one call back once every container has answered or failed.
#include <map>
#include <optional>
#include <vector>

#include "platform/ContainerStats.h"
#include "platform/docker/AsyncApiClient.h"

namespace Quayd {

class StatsRound {
 public:
   // A container that is gone or did not answer has no sample.
   using Samples = std::map< String, std::optional< StatsSample > >;
   using Done = std::function< void( Samples ) >;
   static constexpr long kLimitSec = 5;

   explicit StatsRound( AsyncApiClient & client ) : client_( client ) {}
   // Gives up a round in progress without calling back.
   ~StatsRound() { cancel(); }
   StatsRound( StatsRound const & ) = delete;
   StatsRound & operator=( StatsRound const & ) = delete;

   // Starts a round; one still in progress is given up first.
   void sample( std::vector< String > const & names, Done done );
   void cancel();
   bool inProgress() const { return !pending_.empty(); }

 private:
   AsyncApiClient & client_;
   std::map< String, AsyncApiClient::Id > pending_; // by container
   Samples samples_;
   Done done_;
};

} // namespace Quayd
