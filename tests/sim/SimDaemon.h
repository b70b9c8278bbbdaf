#pragma once
// A model of the container daemon for the simulator: installed and active,
// the configuration it runs with, images, logins and containers. Containers
// live in the data root the daemon ran with, as files of the simulated file
// system, so erasing a data root or unmounting flash takes them along, as on
// a switch. The driver makes calls fail, the daemon die for a while or refuse
// to stop; a frozen daemon ignores everything (an agent being torn down by a
// crash never reaches it). Its events reach the subscribers through a task,
// as the real stream's arrive from the loop: one per container run, stop and
// removal, and the stream starting each time the daemon starts; the events of
// a daemon that dies are lost with it, and so are those of a stream that
// breaks, until it starts again. A container may end by itself, with a code
// or killed for its memory; its restart policy then decides, as dockerd's
// does, whether it comes back after a back-off (restarting meanwhile).
//
// A run, stop or removal made in flight takes effect at a later turn of
// the loop, the calls out together ending one a turn in an order of the
// daemon's choosing (one container's in the order made, as the real one).
// A run lands in two steps, as dockerd's create and start: the container is
// created (its "create" event sent) at one turn and started at a later one,
// or its start fails and the run removes what it created. Runs out, and
// those abandoned, are recorded as the real runtime's run.pending: what an
// abandoned one created is removed at the next look at the daemon. The
// daemon's death fails the calls out unanswered.
// SimDaemon.cpp holds the daemon's life and configuration, SimContainers.cpp
// the containers and their restart policies, SimImages.cpp the images and
// registry logins, SimEvents.cpp the event stream.
#include <functional>
#include <map>
#include <optional>
#include <random>
#include <set>

#include "platform/ContainerEvents.h"
#include "platform/ContainerRuntimeInterface.h"
#include "platform/RuntimeCallQueue.h"
#include "platform/Task.h"
#include "platform/testing/FakeFileSystem.h"

namespace Quayd::Sim {

// The exceptions a runtime call can throw, by kind.
enum class Fault : uint8_t { runtime, apiRequest, serviceJob };

struct SimContainer {
   String id;
   String image;
   std::vector< String > command;
   String memory;
   String restartPolicy;
   std::map< String, BindMountEntry > binds;
   // Run by someone else than the agent, under a name it may want.
   bool foreign = false;
   bool running = true;
   // Created but never started (its start failed), or left half removed by
   // a removal that failed: `created` and `dead`, never restarted.
   bool created = false;
   bool removalFailed = false;
   // Ended by itself, its policy bringing it back at `restartAt`.
   bool restarting = false;
   TimePoint restartAt{};
   // Ended by itself and left so by its policy.
   bool exitedByItself = false;
   bool oomKilled = false;
   // The resync the agent had when it ended (see SimDaemon::resyncs), and
   // whether the agent was told.
   uint64_t exitResync = 0;
   bool exitTold = false;
   // The edit of its configuration it ended under.
   uint64_t exitEdit = 0;
   // The new agents' first looks at it when it ended.
   uint64_t exitFirstLooks = 0;
   // Stopped through the API: `unless-stopped` leaves it so.
   bool stoppedByUser = false;
   // Running when the daemon died: its policy decides at the next start.
   bool killed = false;
   uint32_t restarts = 0;
   // The policy's back-off, doubled at each restart, and since when it ran.
   Duration backoff{};
   TimePoint ranSince{};
   int32_t exitCode = 0;
   String startedAt, finishedAt;
   bool operator==( SimContainer const & ) const = default;
};

class SimDaemon : public ContainerRuntimeInterface {
 public:
   SimDaemon( Testing::FakeFileSystem & files, Ptr< TaskScheduler > const & scheduler );

   // The driver's levers.
   bool installed = true;
   bool frozen = false;
   bool wontStop = false;
   // Dead: every call but runtimeInstalled fails, until revived.
   bool dead = false;
   // Why every start fails now (none: they succeed); the runtime removes
   // what it created, unless removals fail too.
   std::optional< String > startRefused;
   // Every removal fails, leaving the container dead.
   bool removalsFail = false;
   // Every load fails: the disk it writes to is full.
   bool diskFull = false;
   // A daemon that takes its time: each call to it blocks the loop for
   // `slow`; a hung one answers none, each call giving up after its limit.
   // A call in flight holds no loop: it only ends that much later.
   bool hung = false;
   Duration slow{};
   static constexpr Duration kCallLimit = std::chrono::seconds( 5 );
   // Moves the clock as a call that blocks the loop does.
   std::function< void( Duration ) > stall;
   // Registry servers that refuse every login.
   std::set< String > refusing;
   void failNext( String const & call, Fault f ) { failures_[ call ] = f; }
   void clearFaults();
   void die();
   void revive();
   // Whether a data root can be had now: one inside the loop-mounted image
   // on flash only while that is mounted. On one that cannot, the daemon
   // does not start: the supervisor tries again until it can.
   std::function< bool( String const & ) > rootUsable;
   // The supervisor's next try, when the daemon waits for its data root.
   void retryStart();
   // Whether it is down for want of its data root.
   bool waitsForRoot() const;
   // Whether the last check of the runtime's installation answered yes.
   bool installedSaid() const { return installedSaid_; }
   // Asked at each run the agent makes (one in flight when it is sent, the
   // configuration taken up when it ends): why the agent must not run this
   // now; none: it may.
   std::function< std::optional< String >( RunContainerParams const & ) > runGuard;
   // How often the configuration of a container changed.
   std::function< uint64_t( String const & ) > edits;
   // The runs the guard refused, as they came.
   std::vector< String > const & unsafeRuns() const { return unsafe_; }
   // Someone else runs a container under `name`; the operator's clean-up
   // removes it again.
   void foreignIs( String const & name );
   void foreignDelAll();
   // Someone removes a container or an image, as `docker rm -f` or
   // `docker rmi -f` would.
   void removeBehind( String const & name );
   // Containers removed behind the agent's back while no event could tell
   // it, until they run again.
   std::set< String > const & removedUnseen() const { return removedUnseen_; }
   // Runs the agent abandoned in flight: it cannot know whether they
   // created their container until it lists its containers or runs the
   // name again (the runtime's record of them may be lost meanwhile).
   std::set< String > const & abandonedUnseen() const { return abandonedUnseen_; }
   // Containers left by a failed start while no event could tell it, until
   // the agent lists the containers again.
   std::set< String > const & createdUnseen() const { return createdUnseen_; }
   void removeImageBehind( String const & name );
   // Images a pull finds; one named with a registry host is pulled only
   // through a login to that host.
   std::set< String > upstream{ "img1:1", "img2:1", "reg.lab:5000/app:2" };
   bool pullable( String const & image ) const;
   // The process of container `name` ends by itself with `code` (137 and
   // `oom`: killed for its memory); false when none runs.
   bool exitBehind( String const & name, int32_t code, bool oom );
   // Brings back what its policy restarts and whose back-off is over; the
   // time of the next such restart.
   void restartDue();
   std::optional< TimePoint > nextRestart() const;
   // The event stream breaks (what it holds and what happens meanwhile is
   // lost) and starts again.
   void breakEvents();
   void resumeEvents();
   bool eventsBroken() const { return eventsBroken_; }
   // Each time the agent must look at everything again: the stream starts
   // (the daemon started, the stream resumed) or a new agent subscribes.
   uint64_t resyncs() const { return resyncs_; }
   // Tarballs that load, by path (what a configured path holds).
   std::map< String, std::vector< String > > tarballs;

   // What the invariants read.
   bool active() const { return active_; }
   String const & dataRoot() const { return root_; }
   String const & netNs() const { return netNs_; }
   std::optional< String > const & logAddress() const { return logAddress_; }
   std::set< String > const & insecure() const { return insecureLive_; }
   // The images of the data root it runs on.
   std::set< String > const & images() const { return images_; }
   // Images of the data root it runs on that the agent may no longer know
   // it loaded, until they are removed or loaded again: one whose removal
   // failed before the daemon ran on another data root or before an agent
   // started on a database older than what it wrote, and `tags` such an
   // agent no longer records, and those of a data root on flash that a stop
   // could not delete, mounted again as it was (rootKept).
   bool imageLeft( String const & tag ) const { return imagesLeft_.count( { root_, tag } ) != 0; }
   void imagesForgotten( std::set< String > const & tags );
   void rootKept( String const & dataRoot );
   std::map< String, String > const & logins() const { return logins_; }
   // Servers whose logout failed while logged in: the agent gives a failed
   // logout up, and the login stays until a later login or logout. So do
   // the logins held when an agent starts on a database older than what it
   // wrote: it may no longer know it made them.
   std::set< String > const & loginsLeft() const { return loginsLeft_; }
   void loginsForgotten();
   // The containers of the data root the daemon runs on now.
   std::map< String, SimContainer > containers() const;
   // Every container on disk, by data root, whether the daemon runs there or not.
   std::map< String, std::vector< String > > allContainers() const;
   // How often each name was run since the start, and how often a run of it
   // failed.
   std::map< String, uint32_t > const & runs() const { return runs_; }
   std::map< String, uint32_t > const & failedRuns() const { return failedRuns_; }
   uint64_t calls() const { return calls_; }
   // Whether the last listing of the agent's containers failed: until one
   // succeeds, the agent cannot know what it holds unrecorded.
   bool listingFailed() const { return listingFailed_; }
   // How often the daemon came up since the start.
   uint32_t starts() const { return starts_; }
   // Calls out, and runs whose create landed with their start still out.
   size_t callsOut() const { return out_.size(); }
   size_t startsOut() const;
   size_t containerCallsPending() const override { return queue_.inFlight() + queue_.waiting(); }
   // Whether the runtime's record of runs under way names `name`.
   bool runPending( String const & name ) const {
      return runsOut_.count( name ) || runsAbandoned_.count( name );
   }
   // The record lives in /run: a power cut takes it.
   void runRecordLost() { runsAbandoned_.clear(); }

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
   void applyConfig( String const & dataRoot, String const & netNsPath,
                     Ptr< SyslogDriver const > const & logDriver, bool flag,
                     Ptr< InsecureRegistries const > const & insecure ) override;
   void resetConfig() override;
   bool runtimeRunsWith( String const & dataRoot, String const & netNsPath,
                         Ptr< SyslogDriver const > const & logDriver,
                         Ptr< InsecureRegistries const > const & insecure ) override;
   void answerObserverIs( std::function< void( String const & ) > observer ) override {
      answerObserver_ = std::move( observer );
   }
   uint64_t containerEventsSubscribe( ContainerEventHandler handler ) override;
   void containerEventsUnsubscribe( uint64_t id ) override;

 private:
   // An event for the subscribers, delivered from the loop.
   void emit( String const & name, String const & action );
   void deliver();
   // The stream breaks: what it had not delivered is lost.
   void dropEvents();
   String now() const;
   void startedNow( SimContainer & c );
   // False for a frozen daemon; throws what the driver asked for.
   bool enter( String const & call, bool needsDaemon = true );
   String rootOf( String const & dataRoot ) const {
      return dataRoot.empty() ? String( "/var/lib/docker" ) : dataRoot;
   }
   String marker( String const & name ) const { return root_ + "/containers/" + name; }
   std::map< String, SimContainer > & live();
   // Whether it can start on the configuration file as it is: not in a
   // network namespace that is not there, nor on a data root not there.
   bool canStart() const;
   // A start of the supervisor failed for want of what canStart() needs.
   bool startWaits_ = false;
   bool installedSaid_ = false;
   // Runs on the configuration file as it is.
   void start();
   // What its restart policy brings back when the daemon starts.
   void restartWithDaemon();

   // Tells the observer whether the daemon answered a call.
   void answered( String const & why ) const;
   Testing::FakeFileSystem & files_;
   std::function< void( String const & ) > answerObserver_;
   std::map< String, Fault > failures_;
   bool active_ = false;
   // The configuration file, and what the running daemon took from it.
   struct Config {
      String dataRoot, netNs;
      std::optional< String > logAddress;
      std::set< String > insecure;
      bool operator==( Config const & ) const = default;
   };
   static Config configOf( String const & dataRoot, String const & netNsPath,
                           Ptr< SyslogDriver const > const & logDriver,
                           Ptr< InsecureRegistries const > const & insecure );
   std::optional< Config > config_;
   String root_, netNs_;
   std::optional< String > logAddress_;
   std::set< String > insecureLive_;
   // The images of the data root the daemon runs on, and of the others.
   std::set< String > images_;
   std::map< String, std::set< String > > imagesByRoot_;
   std::set< std::pair< String, String > > imagesLeft_, removalsFailed_;
   std::map< String, String > logins_;
   std::set< String > loginsLeft_;
   std::map< String, std::map< String, SimContainer > > byRoot_;
   std::map< String, uint32_t > runs_;
   std::map< String, uint32_t > failedRuns_;
   std::vector< String > unsafe_;
   bool listingFailed_ = false;
   bool eventsBroken_ = false;
   std::set< String > removedUnseen_;
   std::set< String > createdUnseen_;
   std::set< String > abandonedUnseen_;
   uint64_t resyncs_ = 0;
   // A new agent's first look at each container is a resync of its own:
   // what ended before was told to nobody who runs it.
   std::set< String > lookedAt_;
   std::map< String, uint64_t > firstLooks_;
   // Containers the agent removed after they ended by themselves, as they
   // were: run again unchanged with no resync since, the policy is ignored.
   std::map< String, SimContainer > exitedRemoved_;
   RunOutcome run( Ptr< RunContainerParams > const & params );
   // Whether the agent may run `p` now; an unsafe run is kept.
   void guard( RunContainerParams const & p );
   // A container for `p`, checked as the daemon does.
   SimContainer made( RunContainerParams const & p );
   // The two steps of a run in flight.
   void create( Ptr< RunContainerParams > const & params );
   void startCreated( String const & name );
   // Removes what the runs an earlier agent abandoned created.
   void finishAbandonedRuns();
   std::set< String > runsOut_, runsAbandoned_;
   // Created by a run whose "create" event was lost.
   std::set< String > createsUntold_;
   void checkRerun( String const & name );
   // The start of `c`, just created as `name`, fails as startRefused says.
   [[noreturn]] void refuseStart( String const & name, SimContainer c );
   // A removal of `c` fails: it is left dead.
   [[noreturn]] void failRemoval( String const & name, SimContainer & c );
   uint64_t calls_ = 0;
   uint32_t starts_ = 0;
   uint64_t nextId_ = 1;
   Ptr< TaskScheduler > scheduler_;
   ContainerEventSubscribers subscribers_;
   std::vector< ContainerEvent > pending_;
   Ptr< Task > deliverTask_;
   // The calls in flight, ended by endCallTask_ one step a turn; `call`
   // lands one step, false while another remains.
   Ptr< RuntimeCall > inFlight( String const & name, std::function< bool() > call,
                                RuntimeCallDone done, bool isRun = false );
   void endCall();
   void cutCalls();
   struct Out {
      uint64_t id;
      String name;
      std::function< bool() > call;
      RuntimeCallQueue::Finish finish;
      bool cut = false; // the daemon died with it out
      bool created = false;
   };
   std::vector< Out > out_;
   // A call out abandoned: it never lands.
   void forgetOut( uint64_t id );
   bool ending_ = false; // a call in flight is being ended
   uint64_t nextOut_ = 1;
   std::minstd_rand order_{ 1 };
   Ptr< Task > endCallTask_;
   RuntimeCallQueue queue_;
};

} // namespace Quayd::Sim
