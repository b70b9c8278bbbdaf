#pragma once
// SIGTERM blocked, as the agent has it, for the life of the object; a
// SIGTERM a test left pending is taken before the old mask comes back.
#include <signal.h>
#include <time.h>

namespace Quayd::Testing {

class SigtermBlocked {
 public:
   SigtermBlocked() {
      sigemptyset( &term_ );
      sigaddset( &term_, SIGTERM );
      ::sigprocmask( SIG_BLOCK, &term_, &old_ );
   }
   ~SigtermBlocked() {
      struct timespec none = { 0, 0 };
      while ( ::sigtimedwait( &term_, nullptr, &none ) == SIGTERM ) {
      }
      ::sigprocmask( SIG_SETMASK, &old_, nullptr );
   }
   SigtermBlocked( SigtermBlocked const & ) = delete;
   SigtermBlocked & operator=( SigtermBlocked const & ) = delete;

 private:
   sigset_t term_;
   sigset_t old_;
};

} // namespace Quayd::Testing
