#include <gtest/gtest.h>

#include "agent/QuaydAgent.h"
#include "platform/ProfileEntityManager.h"
#include "platform/Ringlog.h"
#include "platform/testing/Capture.h"
#include "platform/testing/FakeProcessRunner.h"
#include "platform/testing/FakeRuntime.h"
#include "platform/testing/VirtualTime.h"

namespace Quayd {
namespace {

using SAT = SubAgentType;

// The resolver on plain entities.
struct Resolver {
   Ptr< QuaydConfig > config = makePtr< QuaydConfig >();
   Ptr< QuaydStatus > status = makePtr< QuaydStatus >();
   Ptr< QuaydStatus > globalStatus = makePtr< QuaydStatus >();
   Ptr< Gnoi::Config > gnoi = makePtr< Gnoi::Config >();
   Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crt =
      makePtr< Gnoi::Containerz::ContainerRuntimeStatus >();
   Ptr< SubAgentCandidate > candidate = makePtr< SubAgentCandidate >();
   Ptr< SubAgentCandidateSm > sm;

   void start() {
      sm = subAgentCandidateSmFactory( config, status, globalStatus, gnoi, crt, candidate, {} );
      sm->notificationsIs( true );
   }
   SubAgentInstance configured() const { return candidate->subAgentConfigured(); }
   SubAgentInstance running() const { return candidate->subAgentRunning(); }
};

TEST( SubAgentCandidateSm, ResolvesTheConfiguredSubAgentFromConfiguration ) {
   struct {
      bool containerz, enabled, onFlash;
      uint64_t flashLimit;
      SubAgentInstance expected;
   } const cases[] = {
      { true, true, true, 5, { SAT::subAgentContainerz, 0 } },
      { true, false, false, 0, { SAT::subAgentContainerz, 0 } },
      { false, false, true, 7, { SAT::subAgentNone, 0 } },
      { false, true, false, 2147483648, { SAT::subAgentQuy, 0 } },
      { false, true, true, 2147483648, { SAT::subAgentQuyOnFlash, 2147483648 } },
   };
   for ( auto const & c : cases ) {
      Resolver r;
      r.config->enabledIs( c.enabled );
      r.config->onFlashIs( c.onFlash );
      r.config->flashLimitIs( c.flashLimit );
      if ( c.containerz ) {
         r.gnoi->memberIs( Gnoi::kContainerzMember );
      }
      r.start();
      EXPECT_EQ( r.configured(), c.expected ) << fmt::format( "{}", c.expected.subAgentType );
   }
}

// What runs comes from the status; while nothing runs, the configured
// sub-agent is named as running.
TEST( SubAgentCandidateSm, ResolvesTheRunningSubAgentFromStatusWithPendingStartUp ) {
   struct {
      bool containerzActive;
      SmState state;
      bool onFlash;
      SAT configured;
      SubAgentInstance expected;
   } const cases[] = {
      { true, SmState::started_, true, SAT::subAgentQuy, { SAT::subAgentContainerz, 0 } },
      { false, SmState::stopped_, false, SAT::subAgentNone, { SAT::subAgentNone, 0 } },
      { false, SmState::stopped_, false, SAT::subAgentQuy, { SAT::subAgentQuy, 0 } },
      { false, SmState::stopped_, false, SAT::subAgentContainerz, { SAT::subAgentContainerz, 0 } },
      { false, SmState::starting_, true, SAT::subAgentNone, { SAT::subAgentQuyOnFlash, 42 } },
      { false, SmState::started_, true, SAT::subAgentNone, { SAT::subAgentQuyOnFlash, 42 } },
      { false, SmState::inherited_, false, SAT::subAgentContainerz, { SAT::subAgentQuy, 0 } },
      { false, SmState::stopping_, false, SAT::subAgentNone, { SAT::subAgentQuy, 0 } },
   };
   for ( auto const & c : cases ) {
      Resolver r;
      r.crt->enabledIs( c.containerzActive );
      r.status->stateIs( c.state );
      r.status->runningOnFlashIs( c.onFlash );
      r.status->flashLimitIs( 42 );
      if ( c.configured == SAT::subAgentContainerz ) {
         r.gnoi->memberIs( Gnoi::kContainerzMember );
      } else if ( c.configured != SAT::subAgentNone ) {
         r.config->enabledIs( true );
         r.config->onFlashIs( c.configured == SAT::subAgentQuyOnFlash );
      }
      r.start();
      EXPECT_EQ( r.running().subAgentType, c.expected.subAgentType )
         << fmt::format( "{} {}", c.state, c.configured );
      if ( c.expected.subAgentType == SAT::subAgentQuyOnFlash ) {
         EXPECT_EQ( r.running().flashLimit, 42u ) << "the status's limit";
      }
   }
}

TEST( SubAgentCandidateSm, SwitchFromQuyToContainerzGoesThroughPendingStart ) {
   Resolver r;
   r.config->enabledIs( true );
   r.status->stateIs( SmState::started_ );
   r.start();
   ASSERT_EQ( r.running().subAgentType, SAT::subAgentQuy );

   std::vector< SAT > seen;
   auto sub = r.candidate->subscribe( [ & ]( AttrId a, String const * ) {
      if ( a == AttrId( SubAgentCandidate::Attr::subAgentRunning ) ) {
         seen.push_back( r.running().subAgentType );
      }
   } );
   r.gnoi->memberIs( Gnoi::kContainerzMember );
   EXPECT_EQ( r.configured().subAgentType, SAT::subAgentContainerz );
   EXPECT_TRUE( seen.empty() ); // quy still running while it stops
   r.status->stateIs( SmState::stopping_ );
   r.status->stateIs( SmState::stopped_ );
   EXPECT_EQ( seen, ( std::vector< SAT >{ SAT::subAgentNone, SAT::subAgentContainerz } ) );
   r.crt->enabledIs( true );
   EXPECT_EQ( r.running().subAgentType, SAT::subAgentContainerz );
}

TEST( SubAgentCandidateSm, FlashLimitChangeReresolves ) {
   Resolver r;
   r.config->enabledIs( true );
   r.config->onFlashIs( true );
   r.start();
   r.config->flashLimitIs( 4096 );
   EXPECT_EQ( r.configured(), ( SubAgentInstance{ SAT::subAgentQuyOnFlash, 4096 } ) );
}

TEST( SubAgentCandidateSm, EqualInstancesNotifyNobody ) {
   Resolver r;
   r.start();
   int changes = 0;
   auto sub = r.candidate->subscribe( [ & ]( AttrId, String const * ) { ++changes; } );
   r.sm->resolveConfiguredSubAgent();
   r.sm->resolveRunningSubAgent();
   r.status->stateIs( SmState::stopped_ );
   EXPECT_EQ( changes, 0 );
}

// ------------------------------------------------------------------ Agent

class AgentTest : public ::testing::Test {
 protected:
   void SetUp() override {
      em_ = makePtr< ProfileEntityManager >();
      em_->profileIs( quaydMountProfile() );
      host_.scheduler = vt_.scheduler();
      host_.files = &vt_.files;
      host_.processes = &processes_;
      host_.ringlog = [ this ]( Ringlog::Config const & c ) { ringlog_.push_back( c ); };
      agentIs();
      em_->mountDoneIs(
         [ this ]( MountStatus s, String const & ) { agent_->doMountsComplete( s, em_ ); } );
   }
   // A new agent on the host as the test has set it now.
   void agentIs() {
      agent_ = AgentIs( "Quayd", host_, [ this ]( auto const & ) { return runtime_; } );
      agent_->hostIs( em_, vt_.scheduler() );
   }
   template < typename T >
   Ptr< T > entity( String const & path ) {
      return getEntityAs< T >( *em_, path );
   }

   Testing::FakeProcessRunner processes_;
   Testing::VirtualTime vt_;
   Ptr< Testing::FakeRuntime > runtime_ = makePtr< Testing::FakeRuntime >( vt_.scheduler() );
   Ptr< ProfileEntityManager > em_;
   Host host_;
   Ptr< Agent > agent_;
   std::vector< Ringlog::Config > ringlog_;
};

TEST_F( AgentTest, InitMountsTheProfileAndBuildsTheResolver ) {
   EXPECT_TRUE( agent_->subAgentCandidate() );
   EXPECT_FALSE( agent_->subAgentCandidateSm() );
   agent_->doInit();
   ASSERT_TRUE( agent_->subAgentCandidateSm() );
   EXPECT_EQ( agent_->quaydStatus(), entity< QuaydStatus >( "cell/0/quayd/status" ) );
   EXPECT_EQ( agent_->quaydGlobalStatus(), entity< QuaydStatus >( "quayd/status" ) );
   EXPECT_NE( agent_->quaydStatus(), agent_->quaydGlobalStatus() );
   // The candidate the operator sees is the one the resolver writes.
   EXPECT_EQ( agent_->subAgentCandidate(), entity< SubAgentCandidate >( kSubAgentCandidatePath ) );

   ASSERT_TRUE( agent_->subAgents()->quySm() );
   ASSERT_TRUE( agent_->subAgentSm() );
   EXPECT_EQ( agent_->subAgents()->quySm()->containerConfig().get(),
              entity< ContainerConfigDir >( "quayd/container/config" ).get() );
   EXPECT_EQ( agent_->subAgents()->quySm()->containerStatus(),
              entity< ContainerStatusDir >( "cell/0/quayd/container/status" ) );

   // Configuration now reaches the runtime through resolver and switcher.
   auto config = entity< QuaydConfig >( "quayd/config" );
   config->enabledIs( true );
   EXPECT_EQ( agent_->subAgentCandidate()->subAgentRunning().subAgentType, SAT::subAgentQuy );
   EXPECT_EQ( agent_->quaydStatus()->state(), SmState::started_ );
   EXPECT_EQ( agent_->quaydGlobalStatus()->state(), SmState::started_ );
   config->enabledIs( false );
   EXPECT_EQ( agent_->quaydStatus()->state(), SmState::stopped_ );
}

TEST_F( AgentTest, RemountReusesCandidateAndResolver ) {
   agent_->doInit();
   auto candidate = agent_->subAgentCandidate();
   auto sm = agent_->subAgentCandidateSm();
   auto quySm = agent_->subAgents()->quySm();
   auto switcher = agent_->subAgentSm();
   auto runtime = agent_->runtime();
   agent_->doMountsComplete( MountStatus::mountSuccess, em_ );
   EXPECT_EQ( agent_->subAgentCandidate(), candidate );
   EXPECT_EQ( agent_->subAgentCandidateSm(), sm );
   EXPECT_EQ( agent_->subAgents()->quySm(), quySm );
   EXPECT_EQ( agent_->subAgentSm(), switcher );
   EXPECT_EQ( agent_->runtime(), runtime );
}

TEST_F( AgentTest, FailedMountBuildsNothing ) {
   agent_->doMountsComplete( MountStatus::mountFailed, em_ );
   EXPECT_FALSE( agent_->subAgentCandidateSm() );
   EXPECT_FALSE( agent_->quaydConfig() );
}

TEST_F( AgentTest, UnknownProfileReportsAFailedMount ) {
   auto em = makePtr< ProfileEntityManager >(); // no profile registered
   std::vector< MountStatus > outcomes;
   em->mountDoneIs( [ & ]( MountStatus s, String const & ) { outcomes.push_back( s ); } );
   agent_->hostIs( em, vt_.scheduler() );
   agent_->doInit();
   EXPECT_EQ( outcomes, ( std::vector< MountStatus >{ MountStatus::mountFailed } ) );
   EXPECT_FALSE( agent_->subAgentCandidateSm() );
}

// The ring is named with the PID placeholder unless its directory is fixed,
// and left out when disabled, without keeping the agent from starting.
TEST_F( AgentTest, TheRinglogFollowsItsSettings ) {
   struct {
      bool fixed, enabled;
      std::optional< String > fileName;
   } const cases[] = { { false, true, "Quayd-%d.rlog" },
                       { true, true, "Quayd.rlog" },
                       { false, false, std::nullopt } };
   for ( auto const & c : cases ) {
      host_.settings.ringlogDirFixed = c.fixed;
      host_.settings.ringlogEnabled = c.enabled;
      ringlog_.clear();
      agentIs();
      agent_->doInit();
      EXPECT_TRUE( agent_->subAgentCandidateSm() );
      ASSERT_EQ( ringlog_.size(), c.fileName ? 1u : 0u ) << c.fixed << c.enabled;
      if ( c.fileName ) {
         EXPECT_EQ( ringlog_[ 0 ].fileName, *c.fileName );
      }
   }
}

} // namespace
} // namespace Quayd
