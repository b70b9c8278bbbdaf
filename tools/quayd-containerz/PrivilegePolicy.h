#pragma once
// What a client may ask a container to be given of the switch, beyond an
// ordinary container: host directories bound into it, devices, capabilities
// beyond the daemon's default set, another container's network namespace.
// A file of the configuration lists them:
//
//   {"bindPrefixes": ["/mnt/flash/apps"], "devices": ["/dev/net/tun"],
//    "capabilities": ["NET_ADMIN"], "containerNetworks": ["bgp"]}
//
// Without one, bind sources are allowed under `volumesDir` only. Bind
// sources are judged by their real path (".." and symlinks followed), and
// the host's own trees are never bound, whatever the file lists. Host
// networking is always allowed: switch applications need it.
#include <nlohmann/json.hpp>

#include "gnoi/containerz/containerz.pb.h"
#include "platform/Types.h"

namespace Quayd::Containerz {

class PrivilegePolicy {
 public:
   // `protectedDirs`: the agent's and the service's own, refused like /etc.
   PrivilegePolicy( String volumesDir, std::vector< String > protectedDirs );
   // Throws std::invalid_argument naming what is wrong.
   PrivilegePolicy( nlohmann::json const & doc, PrivilegePolicy const & defaults );

   // Throw CallError (PERMISSION_DENIED) naming the field and value refused.
   void checkStart( ::gnoi::containerz::StartContainerRequest const & req ) const;
   void checkBindSource( String const & field, String const & source ) const;

 private:
   std::vector< String > bindPrefixes_;
   std::vector< String > protected_;
   std::vector< String > devices_;
   std::vector< String > capabilities_;
   std::vector< String > containerNetworks_;
};

} // namespace Quayd::Containerz
