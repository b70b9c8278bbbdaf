#pragma once
// Whether the agent was told to stop while it waits in a blocking call. The
// agent blocks SIGTERM and SIGINT for its event loop's signalfd, so a signal
// that arrives during a call stays pending until the loop reads it: a call
// that sees one gives up at once, and the loop then ends.
namespace Quayd {

// SIGTERM or SIGINT is pending.
bool terminationPending();

// A descriptor that turns readable while SIGTERM or SIGINT is pending, for
// poll() beside the descriptor a call waits on. Polling it consumes nothing.
// fd() is -1 when none could be had; a wait then sees the signal at its
// next turn instead.
class TerminationFd {
 public:
   TerminationFd();
   ~TerminationFd();
   TerminationFd( TerminationFd const & ) = delete;
   TerminationFd & operator=( TerminationFd const & ) = delete;
   int fd() const { return fd_; }

 private:
   int fd_;
};

} // namespace Quayd
