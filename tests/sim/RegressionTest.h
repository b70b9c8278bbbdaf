#pragma once
// What the simulator's regression stories share: a world with the agent up,
// and the checks at rest.
#include <gtest/gtest.h>

#include "tests/sim/Driver.h"

namespace Quayd::Sim {

using namespace std::chrono_literals;

inline String describe( std::vector< Violation > const & violations ) {
   String out;
   for ( auto const & v : violations ) {
      out += v.invariant + ": " + v.detail + "\n";
   }
   return out;
}

inline ContainerEdit runs( String image ) {
   ContainerEdit e;
   e.params.image = std::move( image );
   e.params.command = "sleep 1d";
   return e;
}

class Regression : public ::testing::Test {
 protected:
   Regression() {
      world.startAgent();
      world.run( 1s );
   }
   // Time passes with no fault left; then everything must hold.
   void expectAtRest() {
      world.daemon->clearFaults();
      ASSERT_TRUE( world.run( 10min ) );
      auto const v = checkAtRest( world, op.deleted() );
      EXPECT_TRUE( v.empty() ) << describe( v );
   }
   void quyWith( String const & name ) {
      op.quy( true, false, 0 );
      op.container( name, runs( "img1:1" ) );
      world.run( 1min );
      ASSERT_EQ( world.daemon->containers().count( name ), 1u );
   }
   Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crt() const {
      return world.at< Gnoi::Containerz::ContainerRuntimeStatus >(
         "mgmt/gnoi/containerz/crtStatus" );
   }

   World world;
   Operator op{ world };
};

} // namespace Quayd::Sim
