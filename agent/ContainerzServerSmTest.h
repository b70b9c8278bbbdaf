#pragma once
// A Containerz machine with its gRPC service, on the fake runtime, the fake
// server and the virtual clock.
#include "agent/ContainerzSm.h"
#include "platform/testing/FakeContainerzServer.h"
#include "platform/testing/FakeProcessRunner.h"
#include "platform/testing/FakeRuntime.h"
#include "platform/testing/VirtualTime.h"

namespace Quayd {

struct ContainerzWithServer {
   void start( Gnoi::Containerz::CrtConfig c = {} ) {
      config->crtConfigIs( std::move( c ) );
      sm = containerzSmFactory( config, vrfs, crt, runtime, time.scheduler(), time.files, processes,
                                nullptr, status, server );
   }
   void vrfIs( String const & name, uint8_t state, bool ready ) {
      auto v = vrfs->vrfIs( name );
      v->vrfStateIs( state );
      v->vrfReadyIs( ready );
   }

   Testing::FakeProcessRunner processes;
   Testing::VirtualTime time;
   Ptr< Testing::FakeRuntime > runtime = makePtr< Testing::FakeRuntime >();
   Ptr< Testing::FakeContainerzServer > server = makePtr< Testing::FakeContainerzServer >();
   Ptr< Gnoi::Containerz::Config > config = makePtr< Gnoi::Containerz::Config >();
   Ptr< Ip::AllVrfStatusLocal > vrfs = makePtr< Ip::AllVrfStatusLocal >();
   Ptr< Gnoi::Containerz::ContainerRuntimeStatus > crt =
      makePtr< Gnoi::Containerz::ContainerRuntimeStatus >();
   Ptr< Gnoi::Containerz::ServerStatus > status = makePtr< Gnoi::Containerz::ServerStatus >();
   Ptr< ContainerzSm > sm;
};

} // namespace Quayd
