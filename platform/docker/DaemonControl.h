#pragma once
// Bringing dockerd up and down: the service that keeps it (DaemonService.h)
// with the configuration file (DaemonConfig.h), waiting for it to answer or
// to end, and telling it to reload. Programs, paths and time-outs come
// from DockerSettings.h.
#include <functional>
#include <memory>

#include "platform/docker/DaemonConfig.h"
#include "platform/docker/DaemonService.h"
#include "platform/docker/DockerSettings.h"

namespace Quayd {

class DaemonControl {
 public:
   DaemonControl( DockerSettings const & settings, FileSystem & files, Spawner const & spawner );

   DaemonConfig const & config() const { return config_; }
   String supervisorPidFile() const { return config_.runtimeDir() + "/supervisor.pid"; }
   String logFile() const { return config_.runtimeDir() + "/dockerd.log"; }
   // The dockerd program is there and may be run.
   bool installed() const;
   // dockerd's pid from its pidfile, 0 when it is not running.
   pid_t dockerdPid() const;
   pid_t supervisorPid() const;

   // Starts dockerd in the network namespace `netNsPath` with the written
   // configuration (a default one when none is written), unless it runs, and
   // waits until `answers` holds. A daemon that does not answer in time is
   // stopped again. Throws Unitctl::SdbusJobException.
   void start( String const & netNsPath, std::function< bool() > const & answers );
   // Stops dockerd and waits for it to end; Unitctl::SdbusJobException when
   // it does not.
   void stop();
   // No dockerd process, nothing behind its socket and no shim of its
   // containers left.
   bool gone() const;
   // Has the running dockerd read its configuration again; RuntimeException
   // when none runs.
   void reload();

 private:
   DockerSettings const & settings_;
   FileSystem & files_;
   DaemonConfig config_;
   std::unique_ptr< DaemonService > service_;
};

} // namespace Quayd
