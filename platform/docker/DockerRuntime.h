#pragma once
// The container runtime on a real dockerd: Engine API over its unix socket
// (DockerApiClient.h; the docker CLI only for a run with an option the option
// table does not take, traced at level 5, ClientRun.h), the daemon brought up
// and down with its configuration file (DaemonControl.h, DaemonConfig.h), and
// registry logins kept for pulls (RegistryLogins.h). Paths, programs and
// time-outs come from DockerSettings.h; its own files are written through
// the FileSystem given. Runtime dir contents: daemon.json (the daemon's config), supervisor.pid,
// dockerd.log, run.pending (the names of the container runs under way, one
// a line) and, for a namespace "red", red.sock, red.pid, red-exec/.
//
// Containers it runs carry the label quayd.agent=quayd. A run cut short by
// a killed agent is finished the next time the daemon is found up: the
// container it may have created is removed, since no status recorded it.
//
// Runs, stops and removals in flight (the asynchronous forms, on the loop)
// go through AsyncApiClient, at most settings.callsInFlight of them out at
// once (RuntimeCallQueue.h); they share the requests and the reading of the
// answers with the synchronous forms. Image loads in flight go out one at a
// time on a client of their own, the tarball read in pieces through the
// FileSystem given; a run that finds its image missing meanwhile waits for
// them (DockerRuntimeLoads.cpp).
//
// From the first time the daemon is found up until the runtime is disabled,
// the daemon's events for those containers are followed on the event loop
// and given to the subscribers (none without a loop).
#include <memory>

#include "platform/ContainerEvents.h"
#include "platform/ContainerRuntimeInterface.h"
#include "platform/EventLoop.h"
#include "platform/FileSystem.h"
#include "platform/RuntimeCallQueue.h"
#include "platform/docker/AsyncApiClient.h"
#include "platform/docker/ContainerLaunch.h"
#include "platform/docker/DaemonControl.h"
#include "platform/docker/DaemonEvents.h"
#include "platform/docker/DockerApiClient.h"
#include "platform/docker/DockerSettings.h"
#include "platform/docker/DockerUsageSampling.h"
#include "platform/docker/RegistryLogins.h"
#include "platform/posix/Spawn.h"

namespace Quayd {

class DockerRuntime : public ContainerRuntimeInterface {
 public:
   // Its children start through `spawner`, whose environment a container's
   // `--env NAME` reads and whose service manager hears of every long wait.
   DockerRuntime( DockerSettings settings, FileSystem & files, Spawner const & spawner,
                  EventLoop * loop = nullptr, Sinks sinks = {} );

   bool runtimeInstalled() override;
   bool runtimeActive() override;
   bool runtimeGone() override;
   void enableRuntime() override;
   void disableRuntime() override;
   void reloadConfig() override;
   ImageRecord inspectImage( String const & name ) override;
   std::vector< String > listStaleImages() override;
   std::vector< String > loadImage( String const & tarballPath ) override;
   // On the loop: none without one.
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
   // On the loop: none without one.
   Ptr< RuntimeCall > runContainerAsync( Ptr< RunContainerParams > const & params,
                                         RunDone done ) override;
   Ptr< RuntimeCall > stopContainerAsync( String const & name, RuntimeCallDone done ) override;
   Ptr< RuntimeCall > removeContainerAsync( String const & name, bool force,
                                            RuntimeCallDone done ) override;
   Ptr< RuntimeCall > inspectContainerAsync( String const & name, InspectDone done ) override;
   void applyConfig( String const & dataRoot, String const & netNsPath,
                     Ptr< SyslogDriver const > const & logDriver, bool flag,
                     Ptr< InsecureRegistries const > const & insecure ) override;
   void resetConfig() override;
   // Also that dockerd is in the namespace at netNsPath as it is now, not
   // in one that went away with its name.
   bool runtimeRunsWith( String const & dataRoot, String const & netNsPath,
                         Ptr< SyslogDriver const > const & logDriver,
                         Ptr< InsecureRegistries const > const & insecure ) override;
   void answerObserverIs( std::function< void( String const & ) > observer ) override;
   uint64_t containerEventsSubscribe( ContainerEventHandler handler ) override;
   void containerEventsUnsubscribe( uint64_t id ) override;
   // On the loop, at the daemon's socket; null without a loop.
   Ptr< UsageSampling > usageSampling() override;
   size_t containerCallsPending() const override;

   String runtimeDir() const { return settings_.runtimeDir; }
   String configFile() const { return daemon_.config().file(); }
   String supervisorPidFile() const { return daemon_.supervisorPidFile(); }
   String logFile() const { return daemon_.logFile(); }
   String pendingRunFile() const { return settings_.runtimeDir + "/run.pending"; }
   // The daemon's socket: from the written config when there is one, so a
   // later agent process finds a daemon started by an earlier one.
   String socketPath() const;
   // dockerd's pid from its pidfile, 0 when it is not running.
   pid_t dockerdPid() const;
   // The supervisor's pid, 0 when none is running.
   pid_t supervisorPid() const;

 private:
   // The daemon's record of the container whose name or full ID is `ref`;
   // ApiRequestException when there is none.
   nlohmann::json containerJson( String const & ref );
   // `j`, the daemon's answer for `ref`, if it is the record of `ref`.
   static nlohmann::json checkedContainer( String const & ref, nlohmann::json j );
   static ContainerRecord containerRecord( nlohmann::json const & j );
   // How long a stop of the container the daemon describes as `j` may take.
   static long stopLimitSec( nlohmann::json const & j );
   static void checkStopped( DockerApiClient::Response const & r );
   // Removes the container with the full ID `id`, already resolved.
   void deleteContainer( String const & id, bool force );
   // Removes the container `name` if it is one of ours.
   void removeOwnContainer( String const & name );
   void finishInterruptedRun();
   // Records a run of `name` under way, durably, before the daemon is asked.
   void runOutIs( String const & name );
   // Removes the record of the run of `name` under way.
   void dropPendingRun( String const & name );
   void writePendingRuns();
   static RuntimeException launchFailure( String const & name, LaunchRefused const & e );
   // Create and start through the Engine API, pulling a missing image.
   void createAndStart( String const & name, String const & image, nlohmann::json const & body );
   void pullImage( String const & image );
   // `docker run`, for a request with the option `flag` the option table does not take.
   void runWithClient( RunContainerParams const & p, String const & flag );

   // The asynchronous forms' steps.
   struct Launch;
   RuntimeCallQueue & calls();
   AsyncApiClient & async();
   // The daemon's answer, or what the synchronous client throws for none.
   DockerApiClient::Response answerOf( AsyncApiClient::Result const & r );
   void create( std::shared_ptr< Launch > const & l );
   void created( std::shared_ptr< Launch > const & l, DockerApiClient::Response const & r );
   // Sends a request of a call whose request out is `*req`, and goes on
   // with `then` on the answer; what `then` throws ends the call.
   using Step = std::function< void( DockerApiClient::Response const & ) >;
   void send( std::shared_ptr< AsyncApiClient::Id > const & req,
              RuntimeCallQueue::Finish const & finish, String method, String path, long limitSec,
              Step then );
   // A call of container `name` that looks it up first and goes on with
   // `then` on the daemon's record of it.
   using ContainerStep = std::function< void( std::shared_ptr< AsyncApiClient::Id > const & req,
                                              RuntimeCallQueue::Finish const & finish,
                                              nlohmann::json const & container ) >;
   Ptr< RuntimeCall > containerCall( String const & name, RuntimeCallDone done,
                                     ContainerStep then );
   static std::map< String, String > ownLabels();
   // Loads in flight, and the runs that wait for them to end.
   AsyncApiClient & loadClient();
   RuntimeCallQueue & loads();
   bool loadsOut() const;
   void runsWaitingResume();

   static constexpr char const * kAgentLabel = "quayd.agent";
   static constexpr char const * kAgentLabelValue = "quayd";
   DockerApiClient & api();
   // Starts following the daemon's events, unless it does already.
   void followEvents();

   DockerSettings const settings_;
   FileSystem & files_;
   Spawner const & spawner_;
   String netNsPath_;
   DaemonControl daemon_;
   RegistryLogins logins_;
   std::unique_ptr< DockerApiClient > api_;
   // The runs under way, and those abandoned before the daemon answered:
   // what they may have made is removed at the next look at the daemon.
   std::set< String > runsOut_;
   std::set< String > runsAbandoned_;
   std::unique_ptr< AsyncApiClient > async_;
   std::unique_ptr< RuntimeCallQueue > calls_;
   std::unique_ptr< AsyncApiClient > loadClient_;
   std::unique_ptr< RuntimeCallQueue > loads_;
   std::vector< std::shared_ptr< Launch > > runsWaiting_;
   Ptr< Task > runsWaitingTask_;
   // Gone with the runtime: what outlives it checks before it calls in.
   std::shared_ptr< char > alive_ = std::make_shared< char >();
   std::function< void( String const & ) > answerObserver_;
   EventLoop * loop_;
   ContainerEventSubscribers subscribers_;
   std::unique_ptr< DaemonEvents > events_;
   Ptr< UsageSampling > usageSampling_;
   Sinks sinks_;
   TraceHandle trace_;
};

} // namespace Quayd
