// One container's state machine on the fake runtime, fake child processes
// (for startup conditions) and the virtual clock: the fixture of its tests.
#pragma once

#include <gtest/gtest.h>

#include "agent/ContainerSm.h"
#include "platform/testing/Capture.h"
#include "platform/testing/FakeProcessRunner.h"
#include "platform/testing/FakeRuntime.h"
#include "platform/testing/VirtualTime.h"

namespace Quayd {

class ContainerSmTest : public ::testing::Test {
 protected:
   ContainerSmTest() {
      status->nameIs( "web" );
      ContainerParams p;
      p.image = "busybox:1";
      config->paramsIs( p );
      config->enabledIs( true );
   }
   // The machine built, and its start ended unless the runtime holds it.
   void start() {
      sm = containerSmFactory( config, status, runtime, time.scheduler(), processes,
                               Sinks{ &traces, &logs }, conditionTimeout );
      time.runReady();
   }
   void paramsIs( std::function< void( ContainerParams & ) > const & edit ) {
      ContainerParams p = config->params();
      edit( p );
      config->paramsIs( p );
      time.runReady();
   }
   // A configuration change, taken up as the loop comes round.
   void edit( std::function< void( ContainerConfig & ) > const & change ) {
      change( *config );
      time.runReady();
   }
   // A status entry as an earlier run of the agent left it: running with
   // the configured parameters.
   void runningBefore() {
      status->paramsIs( config->params() );
      for ( auto const & [ k, b ] : config->bindMount() ) {
         status->bindMountIs( k, b );
      }
      status->stateIs( ContainerRunState::containerRunning_ );
      runtime->containers.insert( "web" );
   }
   ContainerRunState state() const { return status->state(); }

   Testing::FakeProcessRunner processes;
   Testing::VirtualTime time;
   Testing::LogCapture logs;
   Testing::TraceCapture traces;
   Ptr< Testing::FakeRuntime > runtime = makePtr< Testing::FakeRuntime >( time.scheduler() );
   Ptr< ContainerConfig > config = makePtr< ContainerConfig >();
   Ptr< ContainerStatus > status = makePtr< ContainerStatus >();
   Seconds conditionTimeout = ContainerSm::kDefaultStartupConditionTimeout;
   Ptr< ContainerSm > sm;
};

} // namespace Quayd
