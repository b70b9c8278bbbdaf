#pragma once
// An in-memory container runtime for the state machines' tests. It records
// every call, with its arguments, in order, keeps a little state (installed,
// active, images, containers, logins), and fails a named call on request.
//
//   FakeRuntime rt;
//   rt.failNext( "enableRuntime", Unitctl::SdbusJobException( "job failed" ) );
//   ...
//   EXPECT_EQ( rt.calls(), ( std::vector< String >{ "applyConfig(,,-,true,[])",
//                                                   "enableRuntime()" } ) );
//
// An asynchronous run, stop, removal or load is recorded as its synchronous form
// is when made, and held until the test completes it (complete,
// completeAll), in any order it likes; with `loop` set and `hold` off, it
// completes from a task of that loop instead. Completed, it fails as asked
// or does what its synchronous form does, then calls back.
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>

#include "platform/ContainerEvents.h"
#include "platform/ContainerRuntimeInterface.h"
#include "platform/Task.h"

namespace Quayd::Testing {

class FakeRuntime : public ContainerRuntimeInterface {
 public:
   explicit FakeRuntime( Ptr< TaskScheduler > loop = nullptr ) : loop( std::move( loop ) ) {}
   ~FakeRuntime() override { *alive_ = false; }
   // Every call as "name(arg,arg,...)"; pointers print as "-" when null,
   // registry lists as "[a,b]". Passwords are recorded as "***".
   std::vector< String > const & calls() const { return calls_; }
   // Just the names of the calls, in order.
   std::vector< String > callNames() const;
   // The argument text of each call of `name`, in order.
   std::vector< String > argsOf( String const & name ) const;
   size_t count( String const & name ) const;
   void clearCalls() { calls_.clear(); }

   // The next `times` calls of `name` throw `e`.
   template < typename E >
   void failNext( String const & name, E e, size_t times = 1 ) {
      for ( size_t i = 0; i < times; ++i ) {
         failures_[ name ].push_back( [ e ] { throw e; } );
      }
   }
   template < typename E >
   void failAlways( String const & name, E e ) {
      always_[ name ] = [ e ] { throw e; };
   }
   void succeed( String const & name ) {
      failures_.erase( name );
      always_.erase( name );
   }

   bool installed = true;
   bool active = false;
   // A daemon that stays although told to stop (SIGSTOP'd, hung).
   bool stuck = false;
   // Whether enableRuntime leaves the runtime active.
   bool enableActivates = true;
   // What loadImage returns per tarball path (default: one image "<path>:latest").
   std::map< String, std::vector< String > > tarballImages;
   std::set< String > images;
   // The ID of an image by name (default "sha256:<name>"), and what
   // tarballImageIds reads per tarball path (default: nothing); a load
   // gives the images it returns the tarball's IDs, in order.
   std::map< String, String > imageIds;
   std::map< String, std::vector< String > > tarballIds;
   std::vector< String > staleImages;
   std::set< String > containers;
   // What inspectContainer reports of a container, by name (default: running).
   std::map< String, ContainerRecord > records;
   std::map< String, String > logins;    // server -> user
   std::map< String, String > passwords; // server -> the password logged in with
   Ptr< RunContainerParams > lastRun;
   // What every run answers as the option that sent it to the docker client.
   String clientFlagOfRuns;
   String appliedDataRoot, appliedNetNs;
   Ptr< SyslogDriver const > appliedLogDriver;
   std::set< String > appliedInsecure;
   // Called at the start of every call, after recording it.
   std::function< void( String const & name ) > onCall;

   bool runtimeInstalled() override;
   bool runtimeActive() override;
   bool runtimeGone() override;
   void enableRuntime() override;
   void disableRuntime() override;
   void reloadConfig() override;
   ImageRecord inspectImage( String const & name ) override;
   std::vector< String > listStaleImages() override;
   std::vector< String > loadImage( String const & tarballPath ) override;
   Ptr< RuntimeCall > loadImageAsync( String const & tarballPath, LoadDone done ) override;
   std::vector< String > tarballImageIds( String const & tarballPath ) override;
   void removeImage( String const & nameOrTag ) override;
   void login( String const & user, String const & password, String const & server ) override;
   void logout( String const & server ) override;
   ContainerRecord inspectContainer( String const & name ) override;
   std::vector< String > listOwnContainers() override;
   RunOutcome runContainer( Ptr< RunContainerParams > const & params ) override;
   void stopContainer( String const & name ) override;
   void startContainer( String const & name ) override;
   void removeContainer( String const & name, bool force ) override;
   Ptr< RuntimeCall > runContainerAsync( Ptr< RunContainerParams > const & params,
                                         RunDone done ) override;
   Ptr< RuntimeCall > stopContainerAsync( String const & name, RuntimeCallDone done ) override;
   Ptr< RuntimeCall > removeContainerAsync( String const & name, bool force,
                                            RuntimeCallDone done ) override;
   Ptr< RuntimeCall > inspectContainerAsync( String const & name, InspectDone done ) override;
   // The held calls but looks.
   size_t containerCallsPending() const override;

   // The asynchronous calls held, oldest first, as "runContainer(web)".
   std::vector< String > held() const;
   // Completes the held call `i` (0: the oldest).
   void complete( size_t i = 0 );
   // Completes the held calls, oldest first, and those that their
   // completions make.
   void completeAll();
   Ptr< TaskScheduler > loop;
   bool hold = false;
   void applyConfig( String const & dataRoot, String const & netNsPath,
                     Ptr< SyslogDriver const > const & logDriver, bool flag,
                     Ptr< InsecureRegistries const > const & insecure ) override;
   void resetConfig() override;
   // True while active on what was applied with these arguments.
   bool runtimeRunsWith( String const & dataRoot, String const & netNsPath,
                         Ptr< SyslogDriver const > const & logDriver,
                         Ptr< InsecureRegistries const > const & insecure ) override;
   uint64_t containerEventsSubscribe( ContainerEventHandler handler ) override;
   void containerEventsUnsubscribe( uint64_t id ) override;
   Ptr< UsageSampling > usageSampling() override { return sampling; }
   // What usageSampling returns (default: none).
   Ptr< UsageSampling > sampling;

   // Delivers `e` to the subscribers, as the loop would.
   void emit( ContainerEvent const & e ) { subscribers_.notify( e ); }
   bool subscribed() const { return !subscribers_.empty(); }

 private:
   void record( String const & name, String const & args );
   void note( String const & name, String const & args );
   // Throws what the test asked `name` to throw.
   void fail( String const & name );
   RunOutcome ran( Ptr< RunContainerParams > const & params );
   std::vector< String > loaded( String const & tarballPath );
   void removed( String const & name );
   Ptr< RuntimeCall > async( String const & call, std::function< void() > complete );
   struct Held {
      uint64_t id;
      String call;
      std::function< void() > complete;
   };
   std::deque< Held > held_;
   uint64_t nextHeld_ = 1;
   Ptr< Task > completeTask_;
   std::shared_ptr< bool > alive_ = std::make_shared< bool >( true );
   std::vector< String > calls_;
   std::map< String, std::deque< std::function< void() > > > failures_;
   std::map< String, std::function< void() > > always_;
   ContainerEventSubscribers subscribers_;
};

} // namespace Quayd::Testing
