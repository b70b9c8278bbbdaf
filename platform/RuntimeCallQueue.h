#pragma once
// Asynchronous runtime calls, bounded and one container's at a time. A call
// for a container with one still out waits for it, so the daemon takes a
// container's calls in the order they were made (the later configuration
// wins); at most `maxInFlight` calls are out at once, the rest wait their
// turn in order. Each call ends in one `done`, from a task of the loop and
// never from within push; a cancelled one never calls back.
#include <map>
#include <memory>
#include <set>

#include "platform/ContainerRuntimeInterface.h"
#include "platform/Task.h"

namespace Quayd {

class RuntimeCallQueue {
 public:
   // Ends a call: called once, from within its start or later.
   using Finish = std::function< void( std::exception_ptr failure ) >;
   // Sends a call out; what it returns abandons it while it is out.
   using Start = std::function< std::function< void() >( Finish finish ) >;

   RuntimeCallQueue( Ptr< TaskScheduler > const & scheduler, size_t maxInFlight );
   ~RuntimeCallQueue();
   RuntimeCallQueue( RuntimeCallQueue const & ) = delete;
   RuntimeCallQueue & operator=( RuntimeCallQueue const & ) = delete;

   void maxInFlightIs( size_t n );
   Ptr< RuntimeCall > push( String const & container, Start start, RuntimeCallDone done );
   // Abandons every call, none calling back.
   void cancelAll();

   size_t inFlight() const { return out_; }
   size_t waiting() const;

 private:
   struct Call {
      String container;
      Start start;
      RuntimeCallDone done;
      std::function< void() > abandon;
      bool out = false;
      bool ended = false;
      std::exception_ptr failure;
   };
   void launch();
   void finished( uint64_t id, std::exception_ptr failure );
   void cancel( uint64_t id );
   void deliver();

   size_t maxInFlight_;
   uint64_t next_ = 1;
   std::map< uint64_t, Call > calls_; // in the order made
   std::set< String > busy_;          // containers with a call out
   size_t out_ = 0;
   bool launching_ = false;
   bool relaunch_ = false;
   Ptr< Task > deliverTask_;
   std::shared_ptr< bool > alive_ = std::make_shared< bool >( true );
};

} // namespace Quayd
