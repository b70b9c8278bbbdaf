// The runtime manager on the fake runtime, fake child processes, the
// in-memory file system and the virtual clock: the fixture of its tests.
#pragma once

#include <gtest/gtest.h>

#include "agent/QuaydSm.h"
#include "platform/testing/Capture.h"
#include "platform/testing/FakeProcessRunner.h"
#include "platform/testing/FakeRuntime.h"
#include "platform/testing/VirtualTime.h"

namespace Quayd {

class QuaydSmTest : public ::testing::Test {
 protected:
   QuaydSmTest() {
      flashIs( 10000 );
      time.files.makeDirs( "/var/lib/docker" );
      config = makePtr< QuaydConfig >();
      status = makePtr< QuaydStatus >();
      globalStatus = makePtr< QuaydStatus >();
      persistentPathStatus = makePtr< PersistentPathStatus >();
      registryStatus = makePtr< RegistryStatusDir >();
      containerConfig = makePtr< ContainerConfigDir >();
      containerStatus = makePtr< ContainerStatusDir >();
   }
   // Gives /mnt/flash `mb` megabytes of free space.
   void flashIs( uint32_t mb ) { time.files.freeMb = mb; }

   // Every collaborator of the machine, the image load's status as given.
   QuaydSmParts
   parts( Ptr< ImageLoadStatusDir > imageLoadStatus = makePtr< ImageLoadStatusDir >() ) {
      return { config,
               status,
               globalStatus,
               makePtr< PersistentPathConfig >(),
               persistentPathStatus,
               imageLoadConfig,
               std::move( imageLoadStatus ),
               registryConfig,
               registryStatus,
               profiles,
               containerConfig,
               containerStatus,
               runtime,
               time.scheduler(),
               &time.files,
               &processes,
               nullptr,
               flash,
               ContainerSm::kDefaultStartupConditionTimeout,
               Sinks{ &traces, &logs } };
   }
   Ptr< QuaydSm > const & sm() {
      if ( !sm_ ) {
         sm_ = quaydSmFactory( parts() );
         sm_->notificationsIs( true );
      }
      return sm_;
   }
   // The states written, as "cell:<state>" and "global:<state>", in order.
   void recordStates() {
      subs.push_back( status->subscribe( [ this ]( AttrId a, String const * ) {
         if ( a == AttrId( QuaydStatus::Attr::state ) ) {
            states.push_back( fmt::format( "cell:{}", status->state() ) );
         }
      } ) );
      subs.push_back( globalStatus->subscribe( [ this ]( AttrId a, String const * ) {
         if ( a == AttrId( QuaydStatus::Attr::state ) ) {
            states.push_back( fmt::format( "global:{}", globalStatus->state() ) );
         }
      } ) );
   }
   void started() {
      sm()->enable();
      ASSERT_EQ( status->state(), SmState::started_ );
      runtime->clearCalls();
   }

   Testing::TraceCapture traces;
   Testing::LogCapture logs;
   Testing::FakeProcessRunner processes;
   Testing::VirtualTime time;
   Ptr< Testing::FakeRuntime > runtime = makePtr< Testing::FakeRuntime >( time.scheduler() );
   Ptr< QuaydConfig > config;
   Ptr< QuaydStatus > status, globalStatus;
   Ptr< PersistentPathStatus > persistentPathStatus;
   Ptr< RegistryStatusDir > registryStatus;
   Ptr< ImageLoadConfigDir > imageLoadConfig = makePtr< ImageLoadConfigDir >();
   Ptr< RegistryConfigDir > registryConfig = makePtr< RegistryConfigDir >();
   Ptr< ContainerProfileConfigDir > profiles = makePtr< ContainerProfileConfigDir >();
   Ptr< ContainerConfigDir > containerConfig;
   Ptr< ContainerStatusDir > containerStatus;
   std::vector< String > states;
   std::vector< Notifier::Subscription > subs;
   FlashSettings flash;
   Ptr< QuaydSm > sm_;
};

} // namespace Quayd
