#pragma once
// Running helper programs (the docker client, systemctl) to completion, and
// waiting on the daemon with a deadline.
#include <chrono>
#include <thread>
#include <vector>

#include "platform/Types.h"

namespace Quayd {

struct ProgramResult {
   int status = 0; // exit status, or 128 + signal
   String output;  // stderr, and stdout too when asked for; trailing newlines cut
};

// Runs argv (no shell) with the default signal mask and `extraEnv` added,
// and waits. The program is killed if the agent dies while it runs.
// Throws RuntimeException when it cannot be started at all.
ProgramResult runProgram( std::vector< String > const & argv,
                          std::vector< String > const & extraEnv = {}, bool withStdout = false );

// Polls `done` every 100 ms until it holds or `limit` passes.
template < typename F >
bool pollUntil( std::chrono::milliseconds limit, F done ) {
   auto const deadline = std::chrono::steady_clock::now() + limit;
   for ( ;; ) {
      if ( done() ) {
         return true;
      }
      if ( std::chrono::steady_clock::now() >= deadline ) {
         return false;
      }
      std::this_thread::sleep_for( std::chrono::milliseconds( 100 ) );
   }
}

} // namespace Quayd
