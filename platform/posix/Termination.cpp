#include "platform/posix/Termination.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

namespace Quayd {

namespace {
sigset_t stopSignals() {
   sigset_t set;
   sigemptyset( &set );
   sigaddset( &set, SIGTERM );
   sigaddset( &set, SIGINT );
   return set;
}
} // namespace

bool terminationPending() {
   sigset_t pending;
   sigemptyset( &pending );
   ::sigpending( &pending );
   return sigismember( &pending, SIGTERM ) == 1 || sigismember( &pending, SIGINT ) == 1;
}

TerminationFd::TerminationFd() {
   sigset_t const set = stopSignals();
   fd_ = ::signalfd( -1, &set, SFD_CLOEXEC | SFD_NONBLOCK );
}

TerminationFd::~TerminationFd() {
   if ( fd_ >= 0 ) {
      ::close( fd_ );
   }
}

} // namespace Quayd
