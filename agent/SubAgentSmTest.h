// The switcher with the real resolver, runtime manager and Containerz
// machine, on the fake runtime, fake child processes, the in-memory file
// system and the virtual clock: the fixture of its tests.
#pragma once

#include <gtest/gtest.h>

#include "agent/SubAgentCandidateSm.h"
#include "agent/SubAgentSm.h"
#include "platform/testing/Capture.h"
#include "platform/testing/FakeProcessRunner.h"
#include "platform/testing/FakeRuntime.h"
#include "platform/testing/VirtualTime.h"

namespace Quayd {

class SwitchingTest : public ::testing::Test {
 protected:
   SwitchingTest() { time.files.makeDirs( "/mnt/flash" ); }
   ~SwitchingTest() override {
      switcher = nullptr;
      resolver = nullptr;
   }
   // Registers the quy sub-agent, on flash as `flash` says.
   void quyIs( FlashSettings flash ) {
      subAgents->quySmIs( { config,
                            status,
                            globalStatus,
                            makePtr< PersistentPathConfig >(),
                            makePtr< PersistentPathStatus >(),
                            makePtr< ImageLoadConfigDir >(),
                            makePtr< ImageLoadStatusDir >(),
                            makePtr< RegistryConfigDir >(),
                            makePtr< RegistryStatusDir >(),
                            makePtr< ContainerProfileConfigDir >(),
                            makePtr< ContainerConfigDir >(),
                            containerStatus,
                            runtime,
                            time.scheduler(),
                            &time.files,
                            &processes,
                            nullptr,
                            flash,
                            ContainerSm::kDefaultStartupConditionTimeout,
                            Sinks{ &traces, &logs } } );
   }
   // The agent's order: resolver first, then the switcher.
   void start() {
      resolver = subAgentCandidateSmFactory( config, status, globalStatus, gnoi, crt, candidate,
                                             Sinks{ &traces, &logs } );
      resolver->notificationsIs( true );
      switcher =
         SubAgentSmIs( candidate, subAgents, gnoi, config, status, globalStatus, crt, runtime, vrfs,
                       time.scheduler(), Sinks{ &traces, &logs }, Toggles{} );
      switcher->notificationsIs( true );
   }

   Testing::TraceCapture traces;
   Testing::LogCapture logs;
   Testing::FakeProcessRunner processes;
   Testing::VirtualTime time;
   Ptr< Testing::FakeRuntime > runtime = makePtr< Testing::FakeRuntime >( time.scheduler() );
   Ptr< QuaydConfig > config = makePtr< QuaydConfig >();
   Ptr< QuaydStatus > status = makePtr< QuaydStatus >();
   Ptr< QuaydStatus > globalStatus = makePtr< QuaydStatus >();
   Ptr< ContainerStatusDir > containerStatus = makePtr< ContainerStatusDir >();
   Ptr< Gnoi::Config > gnoi = makePtr< Gnoi::Config >();
   Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crt =
      makePtr< Gnoi::Containerz::ContainerRuntimeStatus >();
   Ptr< Ip::AllVrfStatusLocal > vrfs = makePtr< Ip::AllVrfStatusLocal >();
   Ptr< SubAgentCandidate > candidate = makePtr< SubAgentCandidate >();
   Ptr< SubAgents > subAgents =
      makePtr< SubAgents >( time.files, processes, Sinks{ &traces, &logs } );
   Ptr< SubAgentCandidateSm > resolver;
   Ptr< SubAgentSm > switcher;
};

} // namespace Quayd
