// The agent with the QuaydAgent toggle off: Containerz only.
#include <gtest/gtest.h>

#include "agent/SubAgentCandidateSm.h"
#include "agent/SubAgentSm.h"
#include "platform/testing/FakeProcessRunner.h"
#include "platform/testing/FakeRuntime.h"
#include "platform/testing/VirtualTime.h"

namespace Quayd {
namespace {

Toggles const kQuyOff{ false, true };

TEST( QuaydToggleOff, NeverConfiguresQuyAndReadsTheGlobalStatus ) {
   auto config = makePtr< QuaydConfig >();
   auto status = makePtr< QuaydStatus >();
   auto global = makePtr< QuaydStatus >();
   auto gnoi = makePtr< Gnoi::Config >();
   auto crt = makePtr< Gnoi::Containerz::ContainerRuntimeStatus >();
   auto candidate = makePtr< SubAgentCandidate >();
   config->enabledIs( true );
   global->stateIs( SmState::started_ );
   auto sm =
      subAgentCandidateSmFactory( config, status, global, gnoi, crt, candidate, {}, kQuyOff );
   sm->notificationsIs( true );
   EXPECT_EQ( candidate->subAgentConfigured().subAgentType, SubAgentType::subAgentNone );
   EXPECT_EQ( candidate->subAgentRunning().subAgentType, SubAgentType::subAgentQuy );
   global->stateIs( SmState::stopped_ );
   EXPECT_EQ( candidate->subAgentRunning().subAgentType, SubAgentType::subAgentNone );
}

TEST( QuaydToggleOff, TheSwitcherNeverEnablesOrDisablesQuy ) {
   Testing::FakeProcessRunner processes;
   Testing::VirtualTime time;
   auto runtime = makePtr< Testing::FakeRuntime >( time.scheduler() );
   auto config = makePtr< QuaydConfig >();
   auto status = makePtr< QuaydStatus >();
   auto global = makePtr< QuaydStatus >();
   auto subAgents = makePtr< SubAgents >( time.files, processes, Sinks{} );
   subAgents->quySmIs( { config, status, global, makePtr< PersistentPathConfig >(),
                         makePtr< PersistentPathStatus >(), makePtr< ImageLoadConfigDir >(),
                         makePtr< ImageLoadStatusDir >(), makePtr< RegistryConfigDir >(),
                         makePtr< RegistryStatusDir >(), makePtr< ContainerProfileConfigDir >(),
                         makePtr< ContainerConfigDir >(), makePtr< ContainerStatusDir >(), runtime,
                         time.scheduler(), &time.files, &processes, nullptr, FlashSettings{} } );
   auto candidate = makePtr< SubAgentCandidate >();
   candidate->subAgentConfiguredIs( { SubAgentType::subAgentQuy, 0 } );
   candidate->subAgentRunningIs( { SubAgentType::subAgentQuy, 0 } );
   status->stateIs( SmState::started_ );
   auto sm = SubAgentSmIs( candidate, subAgents, makePtr< Gnoi::Config >(), config, status, global,
                           makePtr< Gnoi::Containerz::ContainerRuntimeStatus >(), runtime,
                           makePtr< Ip::AllVrfStatusLocal >(), time.scheduler(), {}, kQuyOff );
   sm->notificationsIs( true );
   candidate->subAgentConfiguredIs( { SubAgentType::subAgentNone, 0 } );
   EXPECT_FALSE( sm->maybeDisableQuySubAgent() );
   EXPECT_EQ( runtime->count( "enableRuntime" ), 0u );
   EXPECT_EQ( runtime->count( "disableRuntime" ), 0u );
   EXPECT_EQ( status->state(), SmState::started_ );
}

} // namespace
} // namespace Quayd
