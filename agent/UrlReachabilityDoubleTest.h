#pragma once
// A stand-in for the URL reachability probe, decided by the URL text alone:
// "udp://reachable..." answers one loop turn after it is made,
// "udp://unreachable..." (or anything else) never does.
#include "agent/UrlReachability.h"

namespace Quayd::Testing {

class UrlReachabilityDouble : public UrlReachabilityBaseSm {
 public:
   UrlReachabilityDouble( String url, NamespaceName netNs, Ptr< UrlReachabilityStatus > status,
                          Ptr< TaskScheduler > taskScheduler )
       : UrlReachabilityBaseSm( std::move( url ), std::move( netNs ), std::move( status ),
                                std::move( taskScheduler ) ) {
      // A task, so that the answer never comes during construction.
      answer_ = makePtr< Task >( taskScheduler_, TaskPriority( 3 ), "UrlReachabilityDouble",
                                 [ this ] { status_->reachableIs( true ); } );
      if ( url_.starts_with( "udp://reachable" ) ) {
         answer_->scheduleTask();
      }
   }

 private:
   Ptr< Task > answer_;
};

// Makes the stand-in on `taskScheduler`, for ContainerzSm's constructor.
inline UrlReachabilityFactory urlReachabilityDoubles( Ptr< TaskScheduler > taskScheduler ) {
   return [ taskScheduler ]( String const & url, NamespaceName const & netNs,
                             Ptr< UrlReachabilityStatus > status ) -> Ptr< UrlReachabilityBaseSm > {
      return makePtr< UrlReachabilityDouble >( url, netNs, std::move( status ), taskScheduler );
   };
}

} // namespace Quayd::Testing
