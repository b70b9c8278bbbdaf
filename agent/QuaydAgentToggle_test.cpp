// Runs in a process of its own: the toggles are read once per process.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "agent/QuaydAgent.h"

namespace Quayd {
namespace {

class QuaydToggleOff : public ::testing::Environment {
 public:
   void SetUp() override {
      dir_ = std::filesystem::temp_directory_path() /
             ( "quayd-toggle-off-" + std::to_string( ::getpid() ) );
      std::filesystem::create_directories( dir_ );
      std::ofstream( dir_ / "Quayd.json" ) << R"({"QuaydAgent": false})";
      ::setenv( "QUAYD_TOGGLE_DIR", dir_.c_str(), 1 );
   }
   void TearDown() override { std::filesystem::remove_all( dir_ ); }
   std::filesystem::path dir_;
};
auto * const env = ::testing::AddGlobalTestEnvironment( new QuaydToggleOff );

TEST( QuaydToggleOff, NeverConfiguresQuyAndReadsTheGlobalStatus ) {
   ASSERT_FALSE( toggleQuaydAgentEnabled() );
   EXPECT_TRUE( toggleOCGNOIContainerzEnabled() );
   auto config = makePtr< QuaydConfig >();
   auto status = makePtr< QuaydStatus >();
   auto global = makePtr< QuaydStatus >();
   auto gnoi = makePtr< Gnoi::Config >();
   auto crt = makePtr< Gnoi::Containerz::ContainerRuntimeStatus >();
   auto candidate = makePtr< SubAgentCandidate >();
   config->enabledIs( true );
   global->stateIs( SmState::started_ );
   auto sm = subAgentCandidateSmFactory( config, status, global, gnoi, crt, candidate );
   sm->notificationsIs( true );
   EXPECT_EQ( candidate->subAgentConfigured().subAgentType, SubAgentType::subAgentNone );
   EXPECT_EQ( candidate->subAgentRunning().subAgentType, SubAgentType::subAgentQuy );
   global->stateIs( SmState::stopped_ );
   EXPECT_EQ( candidate->subAgentRunning().subAgentType, SubAgentType::subAgentNone );
}

} // namespace
} // namespace Quayd
