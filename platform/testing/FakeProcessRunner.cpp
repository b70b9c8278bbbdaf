#include "platform/testing/FakeProcessRunner.h"

#include <unistd.h>

#include <csignal>

#include "platform/Exception.h"

namespace Quayd::Testing {

Ptr< ChildSiginfo > FakeProcessRunner::run( std::vector< String > const & argv, int, int, int fd2,
                                            int ) {
   started.push_back( argv );
   if ( fd2 >= 0 && !stderrText.empty() ) {
      QUAYD_ASSERT( ::write( fd2, stderrText.data(), stderrText.size() ) ==
                    ssize_t( stderrText.size() ) );
   }
   if ( failRun ) {
      return nullptr;
   }
   Ptr< ChildSiginfo > c( new ChildSiginfo );
   int32_t const pid = nextPid_++;
   c->pidIs( pid );
   children_[ pid ] = { c, argv };
   if ( exitAtOnce ) {
      exit( pid, *exitAtOnce );
   }
   return c;
}

Spawned FakeProcessRunner::runIn( NamespaceName const & netNs,
                                  std::vector< String > const & argv ) {
   String const ns = netNs.isDefault() ? String() : netNs.str();
   namespaces.push_back( ns );
   if ( badNamespaces.count( ns ) ) {
      return { nullptr, SpawnFailure::namespaceSwitch };
   }
   auto child = run( argv, -1, -1, -1, -1 );
   return { child, child ? SpawnFailure::none : SpawnFailure::spawn };
}

ToolRun FakeProcessRunner::runTool( std::vector< String > const & argv ) {
   if ( tool ) {
      started.push_back( argv );
      return tool( argv );
   }
   std::optional< int32_t > const atOnce = std::exchange( exitAtOnce, std::nullopt );
   auto c = run( argv, -1, -1, -1, -1 );
   exitAtOnce = atOnce;
   if ( !c ) {
      return {};
   }
   wait( c );
   return { c, stderrText };
}

std::map< int32_t, std::vector< String > > FakeProcessRunner::runningArgv() const {
   std::map< int32_t, std::vector< String > > out;
   for ( auto const & [ pid, c ] : children_ ) {
      out[ pid ] = c.argv;
   }
   return out;
}

void FakeProcessRunner::exit( int32_t pid, int32_t status ) {
   auto it = children_.find( pid );
   QUAYD_ASSERT( it != children_.end() );
   Ptr< ChildSiginfo > c = it->second.info;
   children_.erase( it );
   c->exitStatusIs( status );
   c->signalCodeIs( kChildExited );
}

void FakeProcessRunner::killNow( int32_t pid, int32_t signal ) {
   auto it = children_.find( pid );
   if ( it == children_.end() ) {
      return;
   }
   Ptr< ChildSiginfo > c = it->second.info;
   children_.erase( it );
   c->signalIs( signal );
   c->signalCodeIs( kChildSignaled );
}

void FakeProcessRunner::kill( int32_t pid, int signal ) {
   signalsSent.push_back( { pid, signal } );
   pending_.push_back( { pid, signal } );
}

void FakeProcessRunner::reapSignaled() {
   auto pending = std::move( pending_ );
   pending_.clear();
   for ( auto [ pid, sig ] : pending ) {
      killNow( pid, sig );
   }
}

void FakeProcessRunner::wait( Ptr< ChildSiginfo > const & child ) {
   if ( child->signalCode() != kChildRunning ) {
      return;
   }
   // A test that lets the agent wait must say how the child ends.
   QUAYD_ASSERT( !endsOnWait.empty() );
   End e = endsOnWait.front();
   endsOnWait.pop_front();
   if ( e.signaled ) {
      killNow( child->pid(), e.value );
   } else {
      exit( child->pid(), e.value );
   }
}

bool FakeProcessRunner::running( int32_t pid ) const { return children_.count( pid ) != 0; }

size_t FakeProcessRunner::runningCount() const { return children_.size(); }

} // namespace Quayd::Testing
