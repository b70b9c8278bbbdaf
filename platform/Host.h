#pragma once
// What a program's main builds once, from its command line, environment and
// files, and hands down by constructors: nothing below main reads the
// environment or keeps state of its own for the whole process.
#include <functional>
#include <map>
#include <optional>

#include "platform/Ptr.h"
#include "platform/Ringlog.h"
#include "platform/Types.h"

namespace Quayd {

class FileSystem;
class LogSink;
class ProcessRunner;
class Secrets;
class ServiceManager;
class TaskScheduler;
class TraceSink;

// The feature toggles, read from the toggle directory at start.
struct Toggles {
   bool quaydAgent = true;
   bool ocGnoiContainerz = true;
   bool operator==( Toggles const & ) const = default;
};

// What the data root on flash may expect of the host.
struct FlashSettings {
   // Flash is a directory of the root file system: no mount to wait for
   // ($QUAYD_NO_FLASH_MOUNT).
   bool noFlashMount = false;
   // Tests: the data root on flash takes no loop mount
   // ($QUY_BTEST_SKIPLBMOUNT).
   bool skipLbMount = false;
   bool operator==( FlashSettings const & ) const = default;
};

struct HostSettings {
   Toggles toggles;
   FlashSettings flash;
   // The trace ring file: none with $RINGLOG_DISABLE; a directory named by
   // $RINGLOGDIR holds one ring, without the process id in its name.
   bool ringlogEnabled = true;
   bool ringlogDirFixed = false;
   // How long a container's startup condition may take; unset, the default
   // ($QUY_TEST_STARTUP_CONDITION_TIMEOUT).
   std::optional< Seconds > startupConditionTimeout;
   // The environment a container's `--env NAME` reads its value from.
   std::map< String, String > environment;
};

// The settings that `environment` (a process's environment, name to value)
// gives; the toggles come from their files.
HostSettings settingsFromEnvironment( std::map< String, String > environment );

// The host's services. Pointers are null where a program has no such thing
// (a tool without child processes or secrets); the agent needs the file
// system and the process runner, and takes no passwords but inline ones
// without secrets.
struct Host {
   Ptr< TaskScheduler > scheduler;
   ProcessRunner * processes = nullptr;
   FileSystem * files = nullptr;
   Secrets * secrets = nullptr;
   ServiceManager * serviceManager = nullptr;
   TraceSink * trace = nullptr;
   LogSink * log = nullptr;
   // Opens the trace ring the agent asks for (none where unset).
   std::function< void( Ringlog::Config const & ) > ringlog = nullptr;
   HostSettings settings = {};
};

} // namespace Quayd
