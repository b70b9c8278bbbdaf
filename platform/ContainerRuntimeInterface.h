#pragma once
// The one object through which the agent drives the container runtime.
// Every call runs on the agent's thread. Failures arrive as RuntimeException
// (ApiRequestException for a refused API request), and
// applyConfig/enableRuntime may throw Unitctl::SdbusJobException when the
// service job fails. A container's run, stop and removal, and an image
// load, have an asynchronous form too, so that calls are out together.
#include <exception>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <utility>
#include <vector>

#include "platform/Exception.h"
#include "platform/Ptr.h"
#include "platform/Types.h"
#include "platform/UsageSampling.h"

namespace Quayd {

class KernelRoutingOverrideStatus;

// A host directory mounted into a container; keyed by the container path.
struct BindMountEntry {
   String hostPath;
   String containerPath;
   bool readOnly = false;
   bool operator==( BindMountEntry const & ) const = default;
   bool isEq( BindMountEntry const & o ) const { return *this == o; }
};

// Everything one container run needs. Options come from the structured
// parameters as settings named by the option table (ContainerOptions.h), and
// as free-form `docker run` words; unset options mean the daemon's default.
class RunContainerParams : public PtrInterface {
 public:
   String name;
   String image;

   // "memory" -> "64m"; a boolean option is "true". A second setting of
   // the same option replaces the first.
   void settingIs( String const & option, String const & value );
   // The value of `option`, empty when unset.
   String setting( String const & option ) const;
   void commandPush( String const & w ) { command_.push_back( w ); }
   void optionsPush( String const & w ) { options_.push_back( w ); }
   void bindsIs( BindMountEntry const & b ) { binds_[ b.containerPath ] = b; }

   std::vector< std::pair< String, String > > const & settings() const { return settings_; }
   std::vector< String > const & command() const { return command_; }
   std::vector< String > const & options() const { return options_; }
   std::map< String, BindMountEntry > const & binds() const { return binds_; }

 private:
   std::vector< std::pair< String, String > > settings_;
   std::vector< String > command_;
   std::vector< String > options_;
   std::map< String, BindMountEntry > binds_;
};
Ptr< RunContainerParams > runContainerParamsFactory();

// What a run did besides starting the container.
struct RunOutcome {
   // The option that sent the run to the docker client because the option
   // table does not take it; empty for a run through the Engine API.
   String clientFlag;
};

// A runtime call in flight. Cancelled, or dropped by its last holder, it
// never calls back; what the daemon did of it so far stays done.
class RuntimeCall : public PtrInterface {
 public:
   explicit RuntimeCall( std::function< void() > cancel ) : cancel_( std::move( cancel ) ) {}
   ~RuntimeCall() override { cancel(); }
   void cancel() {
      if ( auto c = std::exchange( cancel_, nullptr ) ) {
         c();
      }
   }

 private:
   std::function< void() > cancel_;
};
// How an asynchronous call ended: `failure` is null when it succeeded, else
// what its synchronous form would have thrown.
using RuntimeCallDone = std::function< void( std::exception_ptr failure ) >;
using RunDone = std::function< void( RunOutcome const & outcome, std::exception_ptr failure ) >;
// The images a load gave (what loadImage returns), empty when it failed.
using LoadDone =
   std::function< void( std::vector< String > const & images, std::exception_ptr failure ) >;

// Registries the daemon may reach without a verified TLS connection.
class InsecureRegistries : public PtrInterface {
 public:
   void regIs( String const & r ) { reg_.insert( r ); }
   void regDelAll() { reg_.clear(); }
   bool regHas( String const & r ) const { return reg_.count( r ) != 0; }
   size_t regCount() const { return reg_.size(); }
   std::set< String > const & reg() const { return reg_; }
   bool operator==( InsecureRegistries const & o ) const { return reg_ == o.reg_; }

 private:
   std::set< String > reg_;
};
Ptr< InsecureRegistries > insecureRegistriesFactory();

// syslog(3) tag of the containers' log lines.
enum class LogTag : uint8_t { containerName, imageName, containerId };
// Facility of the syslog log driver.
enum class SyslogFacility : uint8_t {
   daemon,
   user,
   local0,
   local1,
   local2,
   local3,
   local4,
   local5,
   local6,
   local7
};

// The daemon's default log driver "syslog", sending to `url`.
class SyslogDriver : public PtrInterface {
 public:
   SyslogDriver( String url, LogTag tag, SyslogFacility facility )
       : url_( std::move( url ) ), tag_( tag ), facility_( facility ) {}
   String const & url() const { return url_; }
   LogTag tag() const { return tag_; }
   SyslogFacility facility() const { return facility_; }
   // The daemon's "log-opts" for this driver.
   std::map< String, String > logOpts() const;

 private:
   String url_;
   LogTag tag_;
   SyslogFacility facility_;
};
Ptr< SyslogDriver > syslogDriverFactory( String const & url, LogTag tag, SyslogFacility facility );

// What inspectImage reports; `ref` (the first text field) is the reference the
// image was loaded under: its repository tag, or its ID when it has none.
struct ImageRecord {
   String ref;
   String id;
   std::vector< String > repoTags;
};

// What inspectContainer reports.
struct ContainerRecord {
   String id;
   String name;
   String image;
   String status; // "running", "exited", ...
   bool running = false;
   std::map< String, String > labels;
   // Not made by the agent (it lacks the agent's label): someone else's
   // container holding the name.
   bool foreign = false;
   int32_t exitCode = 0;
   // As the daemon writes them (RFC 3339, its zero time before a first run).
   String startedAt;
   String finishedAt;
   // How often the daemon restarted it by its restart policy.
   uint32_t restartCount = 0;
   String imageId;
   // Its health check's word ("healthy", "unhealthy", "starting"; empty
   // without a check) and the output of the last check, at most
   // kHealthOutputMax bytes of it.
   String health;
   String healthOutput;
   static constexpr size_t kHealthOutputMax = 512;
};
// How inspectContainerAsync ended: `record` is what inspectContainer would
// have returned when `failure` is null.
using InspectDone =
   std::function< void( ContainerRecord const & record, std::exception_ptr failure ) >;

// One event of the daemon's stream for a container the agent started, or,
// with an empty name, the stream starting (again): the daemon may have
// changed anything while no event could arrive.
struct ContainerEvent {
   String name;
   String action; // "start", "die", "destroy", "oom", "health_status: unhealthy", ...
   std::optional< int32_t > exitCode; // a "die"'s
};
using ContainerEventHandler = std::function< void( ContainerEvent const & ) >;

class ContainerRuntimeInterface : public PtrInterface {
 public:
   virtual bool runtimeInstalled() = 0;
   virtual bool runtimeActive() = 0;
   virtual void enableRuntime() = 0;
   virtual void disableRuntime() = 0;
   // Whether the daemon and the shims of its containers are confirmed gone:
   // no process of theirs left and nothing behind the daemon's socket. Only
   // then may its data root be erased.
   virtual bool runtimeGone() = 0;
   virtual void reloadConfig() = 0;
   virtual ImageRecord inspectImage( String const & name ) = 0;
   virtual std::vector< String > listStaleImages() = 0;
   virtual std::vector< String > loadImage( String const & tarballPath ) = 0;
   // loadImage in flight: returns at once and calls `done` later on the
   // agent's loop, never from within the call. Loads go out one at a time in
   // the order made, apart from the containers' calls and their bound; a
   // container run whose image the runtime lacks while a load is out or
   // waiting waits for the loads to end before it looks elsewhere (a pull).
   // Abandoned, the load is cut: the runtime takes no partial tarball.
   virtual Ptr< RuntimeCall > loadImageAsync( String const & tarballPath, LoadDone done ) = 0;
   // The IDs of the images tarball `tarballPath` holds, read from its
   // manifest without loading it; empty when it names none, or when the
   // runtime cannot tell. Throws RuntimeException for a file it cannot read.
   virtual std::vector< String > tarballImageIds( String const & tarballPath ) {
      (void)tarballPath;
      return {};
   }
   virtual void removeImage( String const & nameOrTag ) = 0;
   virtual void login( String const & user, String const & password, String const & server ) = 0;
   virtual void logout( String const & server ) = 0;
   virtual ContainerRecord inspectContainer( String const & name ) = 0;
   // The names of every container the agent started, running or not.
   virtual std::vector< String > listOwnContainers() = 0;
   virtual RunOutcome runContainer( Ptr< RunContainerParams > const & params ) = 0;
   virtual void stopContainer( String const & name ) = 0;
   // Starts the stopped container `name` again, as it was created.
   virtual void startContainer( String const & name ) = 0;
   virtual void removeContainer( String const & name, bool force ) = 0;
   // The same three in flight: each returns at once and calls `done` later
   // on the agent's loop, never from within the call. A call for a
   // container waits for the one still out for it, so the daemon takes them
   // in the order they were made and the later configuration wins; a
   // bounded number of calls is out at once.
   virtual Ptr< RuntimeCall > runContainerAsync( Ptr< RunContainerParams > const & params,
                                                 RunDone done ) = 0;
   virtual Ptr< RuntimeCall > stopContainerAsync( String const & name, RuntimeCallDone done ) = 0;
   virtual Ptr< RuntimeCall > removeContainerAsync( String const & name, bool force,
                                                    RuntimeCallDone done ) = 0;
   // inspectContainer in flight. A look changes nothing: it waits neither
   // for the calls out for its container nor for the bound of those.
   virtual Ptr< RuntimeCall > inspectContainerAsync( String const & name, InspectDone done ) = 0;
   // Runs, stops and removals out or waiting their turn: while the daemon
   // makes or takes down containers, work that can wait leaves it the CPU.
   virtual size_t containerCallsPending() const = 0;
   // Stores the configuration for the next enableRuntime or reloadConfig.
   // Empty dataRoot: the runtime's default; empty netNsPath: the agent's own
   // namespace; logDriver and insecure may be null.
   virtual void applyConfig( String const & dataRoot, String const & netNsPath,
                             Ptr< SyslogDriver const > const & logDriver, bool flag,
                             Ptr< InsecureRegistries const > const & insecure ) = 0;
   virtual void resetConfig() = 0;
   // Whether the runtime, left by an earlier agent process, is active on the
   // configuration applyConfig would store for these arguments; it then
   // counts as applied, and the runtime as enabled with it.
   virtual bool runtimeRunsWith( String const & dataRoot, String const & netNsPath,
                                 Ptr< SyslogDriver const > const & logDriver,
                                 Ptr< InsecureRegistries const > const & insecure ) = 0;
   // Told after each request to the daemon why it did not answer (nothing
   // in time, no connection), or "" once it answers. A runtime without a
   // daemon to ask has nothing to tell. One observer; a new one replaces it.
   virtual void answerObserverIs( std::function< void( String const & ) > observer ) {
      (void)observer;
   }
   // Calls `handler` on the agent's thread with each container event, until
   // unsubscribed with the id returned. Events arrive from the event loop,
   // never from within another call of this interface.
   virtual uint64_t containerEventsSubscribe( ContainerEventHandler handler ) = 0;
   virtual void containerEventsUnsubscribe( uint64_t id ) = 0;
   // Samples of the containers' resources; null for a runtime that has none.
   virtual Ptr< UsageSampling > usageSampling() { return nullptr; }
};

// How the host makes the agent's one runtime object once the state database
// is mounted: the Docker runtime in quayd, a fake in tests. An agent built
// again after a restart gets the same object, as the daemon outlives it.
using RuntimeFactory = std::function< Ptr< ContainerRuntimeInterface >(
   Ptr< KernelRoutingOverrideStatus const > const & kernelRoutingOverride ) >;

} // namespace Quayd
