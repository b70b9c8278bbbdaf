#pragma once
// Running helper programs (the docker client, systemctl) to completion, and
// waiting on the daemon with a deadline.
#include <chrono>
#include <thread>
#include <vector>

#include "platform/Exception.h"
#include "platform/Types.h"
#include "platform/posix/Termination.h"

namespace Quayd {

class Spawner;

struct ProgramResult {
   int status = 0; // exit status, or 128 + signal
   String output;  // stderr, and stdout too when asked for; trailing newlines cut
};

// Runs argv (no shell) through `spawner`, with `extraEnv` added, and waits
// for its end. The program is killed if the agent dies while it runs.
// Throws RuntimeException when it cannot be started, or when it has not
// ended within `limit` or the agent is told to stop (it is killed then).
ProgramResult runProgram( Spawner const & spawner, std::vector< String > const & argv,
                          std::vector< String > const & extraEnv = {}, bool withStdout = false,
                          std::chrono::milliseconds limit = std::chrono::seconds( 60 ) );

// Polls `done` every 100 ms until it holds or `limit` passes. Throws
// RuntimeException when the agent is told to stop meanwhile.
template < typename F >
bool pollUntil( std::chrono::milliseconds limit, F done ) {
   auto const deadline = std::chrono::steady_clock::now() + limit;
   for ( ;; ) {
      if ( done() ) {
         return true;
      }
      if ( terminationPending() ) {
         throw RuntimeException( "stopped waiting: the agent is stopping" );
      }
      if ( std::chrono::steady_clock::now() >= deadline ) {
         return false;
      }
      std::this_thread::sleep_for( std::chrono::milliseconds( 100 ) );
   }
}

} // namespace Quayd
