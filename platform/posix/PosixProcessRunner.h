#pragma once
// Child processes on the event loop: each child is watched through a pidfd
// and reaped when it ends; its handle then reports how. A tool run to its
// end (runTool) is waited for with a limit, and killed with everything it
// started (its own process group) when the limit passes or the agent is
// told to stop.
#include <signal.h>

#include <chrono>
#include <map>

#include "platform/EventLoop.h"
#include "platform/Process.h"
#include "platform/posix/Spawn.h"

namespace Quayd {

class PosixProcessRunner : public ProcessRunner {
 public:
   // The mount tool may run e2fsck -f over the largest image flash holds:
   // on a 64 GiB image with 200,000 files it took 1.3 s on a server's SSD
   // (2026-12); a switch's eMMC reads metadata some 50 times slower and a
   // full image holds up to 20 times the inodes, about 22 minutes at worst.
   // The watchdog is fed meanwhile.
   static constexpr std::chrono::milliseconds kToolLimit = std::chrono::minutes( 30 );
   // Children start through `spawner`; a tool run longer than `toolLimit`
   // is killed.
   PosixProcessRunner( EventLoop & loop, Spawner const & spawner,
                       std::chrono::milliseconds toolLimit = kToolLimit )
       : loop_( loop ), spawner_( spawner ), toolLimit_( toolLimit ) {}
   ~PosixProcessRunner() override;
   Ptr< ChildSiginfo > run( std::vector< String > const & argv, int fd0, int fd1, int fd2,
                            int fd3 ) override;
   void kill( int32_t pid, int signal ) override;
   void wait( Ptr< ChildSiginfo > const & child ) override;
   Spawned runIn( NamespaceName const & netNs, std::vector< String > const & argv ) override;
   ToolRun runTool( std::vector< String > const & argv ) override;
   size_t childCount() const { return children_.size(); }

 private:
   struct Child {
      Ptr< ChildSiginfo > info;
      int pidfd;
   };
   void reap( int32_t pid );
   void forget( int32_t pid );
   // Publishes how the child ended and forgets it.
   void ended( int32_t pid, Ptr< ChildSiginfo > const & info, siginfo_t const & si );
   EventLoop & loop_;
   Spawner const & spawner_;
   std::chrono::milliseconds toolLimit_;
   std::map< int32_t, Child > children_;
};

} // namespace Quayd
