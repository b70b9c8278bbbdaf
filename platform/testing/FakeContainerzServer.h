#pragma once
// The Containerz server in memory: what it was started with, and a
// supervisor that tests make restart it or die.
#include "platform/ContainerzServerInterface.h"
#include "platform/Exception.h"

namespace Quayd::Testing {

class FakeContainerzServer : public ContainerzServerInterface {
 public:
   void start( ContainerzServerParams const & params ) override {
      ++startCalls;
      if ( !startError.empty() ) {
         throw RuntimeException( startError );
      }
      if ( state_.supervised && params == params_ ) {
         return;
      }
      params_ = params;
      state_ = { true, nextPid_++, 0 };
   }
   void stop() override {
      ++stopCalls;
      state_ = {};
   }
   ContainerzServerState state() override { return state_; }

   // The supervisor brought the server back after it died.
   void serverRestarted() {
      state_.pid = nextPid_++;
      ++state_.restarts;
   }
   // The server and its supervisor are gone (killed together).
   void supervisorDied() { state_ = {}; }
   ContainerzServerParams const & params() const { return params_; }

   int startCalls = 0;
   int stopCalls = 0;
   String startError; // start throws this when set

 private:
   ContainerzServerParams params_;
   ContainerzServerState state_;
   pid_t nextPid_ = 100;
};

} // namespace Quayd::Testing
