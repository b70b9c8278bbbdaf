#pragma once
// The gRPC Containerz service of the Containerz sub-agent: it runs while the
// sub-agent's runtime runs, with the listening configuration of the
// Containerz configuration, and its state is published in serverStatus.
// Its supervisor restarts it when it dies; this machine looks at it every
// kPollInterval, publishes what it finds, and starts it anew when the
// supervisor itself is gone.
#include "model/Model.h"
#include "platform/ContainerzServerInterface.h"
#include "platform/Reactor.h"
#include "platform/Sinks.h"
#include "platform/Task.h"

namespace Quayd {

class ContainerzServerSm : public PtrInterface {
 public:
   static constexpr Seconds kPollInterval{ 5 };

   ContainerzServerSm( Ptr< Gnoi::Containerz::Config const > config,
                       Ptr< Gnoi::Containerz::ServerStatus > status,
                       Ptr< ContainerzServerInterface > server, Ptr< TaskScheduler > taskScheduler,
                       String stagingDir, Sinks sinks );
   ~ContainerzServerSm() override;

   // The runtime runs in `netNsPath`: the server should too.
   void runtimeIs( String const & netNsPath );
   // The runtime is about to stop: the server stops first. Throws
   // RuntimeException when it does not.
   void runtimeDel();

 private:
   ContainerzServerParams params() const;
   void start();
   void poll();
   void handleGrpcConfig();

   Ptr< Gnoi::Containerz::Config const > config_;
   Ptr< Gnoi::Containerz::ServerStatus > status_;
   Ptr< ContainerzServerInterface > server_;
   String stagingDir_;
   // The runtime's namespace while it runs.
   std::optional< String > netNsPath_;
   // Restarts of the server under supervisors that are gone.
   uint32_t earlierRestarts_ = 0;
   Ptr< TimerTask > pollTask_;
   Reactor reactor_;
   TraceHandle trace_;
};

} // namespace Quayd
