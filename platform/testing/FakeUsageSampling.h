#pragma once
// Usage rounds a test answers by hand: each round's names are recorded and
// its call back waits for answer(); restarts are recorded and answered with
// restartDone().
#include <deque>

#include "platform/UsageSampling.h"

namespace Quayd::Testing {

class FakeUsageSampling : public UsageSampling {
 public:
   void sample( std::vector< String > const & names, Done done ) override {
      rounds.push_back( names );
      done_ = std::move( done );
   }
   bool inProgress() const override { return static_cast< bool >( done_ ); }
   void cancel() override { done_ = nullptr; }
   void restart( String const & name, std::function< void( String const & ) > done ) override {
      restarts.push_back( name );
      restartDone_.push_back( std::move( done ) );
   }

   // Ends the round in progress with `samples`.
   void answer( Samples samples ) {
      auto done = std::exchange( done_, nullptr );
      done( std::move( samples ) );
   }
   // Ends the oldest restart in progress with `error` ("" for success).
   void restartDone( String const & error = "" ) {
      auto done = std::move( restartDone_.front() );
      restartDone_.pop_front();
      done( error );
   }

   std::vector< std::vector< String > > rounds;
   std::vector< String > restarts;

 private:
   Done done_;
   std::deque< std::function< void( String const & ) > > restartDone_;
};

} // namespace Quayd::Testing
