#pragma once
// Child processes that a test ends by hand.
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <set>

#include "platform/Process.h"

namespace Quayd::Testing {

class FakeProcessRunner : public ProcessRunner {
 public:
   Ptr< ChildSiginfo > run( std::vector< String > const & argv, int fd0, int fd1, int fd2,
                            int fd3 ) override;

   // Ends child `pid` with an exit status or a signal; notifies its handle.
   void exit( int32_t pid, int32_t status );
   void killNow( int32_t pid, int32_t signal );
   // Records the signal; the child ends when the test calls reapSignaled().
   void kill( int32_t pid, int signal ) override;
   void reapSignaled();
   // wait() on a running child ends it with the next of these: an exit
   // status, or a signal when `signaled`.
   struct End {
      int32_t value;
      bool signaled = false;
   };
   std::deque< End > endsOnWait;
   void wait( Ptr< ChildSiginfo > const & child ) override;
   // Written to the child's standard error descriptor when it is started.
   String stderrText;
   std::vector< std::pair< int32_t, int > > signalsSent;
   // Ends the most recent child.
   void exitLast( int32_t status ) { exit( lastPid(), status ); }

   int32_t lastPid() const { return nextPid_ - 1; }
   bool running( int32_t pid ) const;
   size_t runningCount() const;

   std::vector< std::vector< String > > started; // argv of every run, in order
   // When set, run() ends the child with this status before returning.
   std::optional< int32_t > exitAtOnce;
   // When set, run() fails (returns null): the machine cannot spawn.
   bool failRun = false;
   // Namespaces that runIn() cannot enter.
   std::set< String > badNamespaces;
   // The namespace of every runIn, in order ("" for the agent's own).
   std::vector< String > namespaces;
   Spawned runIn( NamespaceName const & netNs, std::vector< String > const & argv ) override;
   // Runs the child and waits for it (see endsOnWait); its standard error
   // is stderrText. With `tool` set, that decides instead.
   ToolRun runTool( std::vector< String > const & argv ) override;
   std::function< ToolRun( std::vector< String > const & argv ) > tool;
   // The children still running, with their argv.
   std::map< int32_t, std::vector< String > > runningArgv() const;

 private:
   int32_t nextPid_ = 1000;
   std::vector< std::pair< int32_t, int > > pending_;
   struct Child {
      Ptr< ChildSiginfo > info;
      std::vector< String > argv;
   };
   std::map< int32_t, Child > children_;
};

} // namespace Quayd::Testing
