#include "platform/posix/PosixProcessRunner.h"

#include <fcntl.h>
#include <sched.h>
#include <signal.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "platform/Exception.h"
#include "platform/posix/NamespaceSwitch.h"
#include "platform/posix/Spawn.h"

namespace Quayd {

PosixProcessRunner::~PosixProcessRunner() {
   for ( auto & [ pid, c ] : children_ ) {
      loop_.fdDel( c.pidfd );
      ::close( c.pidfd );
   }
}

Ptr< ChildSiginfo > PosixProcessRunner::run( std::vector< String > const & argv, int fd0, int fd1,
                                             int fd2, int fd3 ) {
   // A probe or tool has no business outliving the agent.
   pid_t const pid =
      spawner_.spawnChild( { .argv = argv, .fds = { fd0, fd1, fd2, fd3 }, .searchPath = true } );
   if ( pid < 0 ) {
      return nullptr;
   }
   int pidfd = int( ::syscall( SYS_pidfd_open, pid, 0 ) );
   Ptr< ChildSiginfo > info( new ChildSiginfo );
   info->pidIs( pid );
   if ( pidfd < 0 ) {
      return info; // cannot watch it; the caller may still wait for it
   }
   ::fcntl( pidfd, F_SETFD, FD_CLOEXEC );
   children_[ pid ] = { info, pidfd };
   loop_.fdIs( pidfd, [ this, pid ] { reap( pid ); } );
   return info;
}

void PosixProcessRunner::reap( int32_t pid ) {
   auto it = children_.find( pid );
   if ( it == children_.end() ) {
      return;
   }
   Child c = it->second;
   siginfo_t si{};
   int rc = ::waitid( P_PID, id_t( pid ), &si, WEXITED | WNOHANG );
   if ( rc == 0 && si.si_pid == 0 ) {
      return; // not ended yet
   }
   if ( rc != 0 ) {
      forget( pid );
      return; // the caller waited for it already
   }
   ended( pid, c.info, si );
}

void PosixProcessRunner::forget( int32_t pid ) {
   auto it = children_.find( pid );
   if ( it != children_.end() ) {
      loop_.fdDel( it->second.pidfd );
      ::close( it->second.pidfd );
      children_.erase( it );
   }
}

void PosixProcessRunner::ended( int32_t pid, Ptr< ChildSiginfo > const & info,
                                siginfo_t const & si ) {
   forget( pid );
   if ( si.si_code == CLD_EXITED ) {
      info->exitStatusIs( si.si_status );
      info->signalCodeIs( kChildExited );
   } else {
      info->signalIs( si.si_status );
      info->signalCodeIs( kChildSignaled );
   }
}

void PosixProcessRunner::wait( Ptr< ChildSiginfo > const & child ) {
   if ( child->signalCode() != kChildRunning ) {
      return;
   }
   siginfo_t si{};
   int rc;
   do {
      rc = ::waitid( P_PID, id_t( child->pid() ), &si, WEXITED );
   } while ( rc != 0 && errno == EINTR );
   if ( rc != 0 ) {
      forget( child->pid() );
      return;
   }
   ended( child->pid(), child, si );
}

Spawned PosixProcessRunner::runIn( NamespaceName const & netNs,
                                   std::vector< String > const & argv ) {
   if ( netNs.isDefault() ) {
      auto child = run( argv, -1, -1, -1, -1 );
      return { child, child ? SpawnFailure::none : SpawnFailure::spawn };
   }
   int const saved = getns( CLONE_NEWNET );
   if ( saved < 0 ) {
      return { nullptr, SpawnFailure::namespaceSwitch };
   }
   if ( !setnsByName( netNs.str(), CLONE_NEWNET ) ) {
      ::close( saved );
      return { nullptr, SpawnFailure::namespaceSwitch };
   }
   auto child = run( argv, -1, -1, -1, -1 );
   // Staying in the child's namespace would move every later socket of the
   // agent there.
   if ( ::setns( saved, CLONE_NEWNET ) != 0 ) {
      std::abort();
   }
   ::close( saved );
   return { child, child ? SpawnFailure::none : SpawnFailure::spawn };
}

ToolRun PosixProcessRunner::runTool( std::vector< String > const & argv ) {
   int fds[ 2 ];
   if ( argv.empty() || ::pipe2( fds, O_CLOEXEC ) != 0 ) {
      return {};
   }
   // A group of its own: what it starts (e2fsck under the mount tool) goes
   // with it when it is killed, and writes nothing once the next attempt runs.
   pid_t const pid = spawner_.spawnChild(
      { .argv = argv, .fds = { -1, -1, fds[ 1 ], -1 }, .searchPath = true, .newSession = true } );
   ::close( fds[ 1 ] );
   if ( pid < 0 ) {
      ::close( fds[ 0 ] );
      return {};
   }
   ToolRun out{ makePtr< ChildSiginfo >(), {} };
   out.child->pidIs( pid );
   siginfo_t si{};
   try {
      ChildEnd const end = spawner_.awaitChild( pid, fds[ 0 ], toolLimit_, argv[ 0 ] );
      out.stderrText = end.output;
      si.si_code = WIFEXITED( end.status ) ? CLD_EXITED : CLD_KILLED;
      si.si_status = WIFEXITED( end.status ) ? WEXITSTATUS( end.status ) : WTERMSIG( end.status );
   } catch ( RuntimeException const & e ) {
      // Killed: reported as a tool that a signal ended, which its caller
      // already treats as a failure to try again.
      ::kill( -pid, SIGKILL );
      out.stderrText = e.what();
      si.si_code = CLD_KILLED;
      si.si_status = SIGKILL;
   }
   ::close( fds[ 0 ] );
   ended( pid, out.child, si );
   return out;
}

void PosixProcessRunner::kill( int32_t pid, int signal ) {
   if ( children_.count( pid ) ) {
      ::kill( pid, signal );
   }
}

} // namespace Quayd
