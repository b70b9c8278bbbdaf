// The container directory on the fake runtime, fake child processes and the
// virtual clock; the registry state that starts it is written by the test.
#pragma once

#include <gtest/gtest.h>

#include "agent/ContainerDirSm.h"
#include "platform/testing/Capture.h"
#include "platform/testing/FakeProcessRunner.h"
#include "platform/testing/FakeRuntime.h"
#include "platform/testing/VirtualTime.h"

namespace Quayd {

class ContainerDirTest : public ::testing::Test {
 protected:
   void create() {
      dir = containerDirSmFactory( registry, configs, statuses, runtime, time.scheduler(),
                                   processes, Sinks{ &traces, &logs } );
   }
   // Configures `name` to run busybox:1.
   void configure( String const & name ) {
      configs->containerIs( name, []( ContainerConfig & c ) {
         c.paramsIs( ContainerParams{ .image = "busybox:1" } );
         c.enabledIs( true );
      } );
   }
   // A status entry left running by an earlier run of the agent.
   void leftRunning( String const & name ) {
      auto s = statuses->containerIs( name );
      s->nameIs( name );
      s->stateIs( ContainerRunState::containerRunning_ );
      runtime->containers.insert( name );
   }

   Testing::FakeProcessRunner processes;
   Testing::VirtualTime time;
   Testing::LogCapture logs;
   Testing::TraceCapture traces;
   Ptr< Testing::FakeRuntime > runtime = makePtr< Testing::FakeRuntime >( time.scheduler() );
   Ptr< RegistryStatusDir > registry = makePtr< RegistryStatusDir >();
   Ptr< ContainerConfigDir > configs = makePtr< ContainerConfigDir >();
   Ptr< ContainerStatusDir > statuses = makePtr< ContainerStatusDir >();
   Ptr< ContainerDirSm > dir;
};

} // namespace Quayd
