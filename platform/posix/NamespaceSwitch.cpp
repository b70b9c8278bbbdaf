#include "platform/posix/NamespaceSwitch.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

namespace Quayd {

int getns( int nstype ) {
   char const * path = nstype == CLONE_NEWNET  ? "/proc/thread-self/ns/net"
                       : nstype == CLONE_NEWNS ? "/proc/thread-self/ns/mnt"
                                               : nullptr;
   return path ? ::open( path, O_RDONLY | O_CLOEXEC ) : -1;
}

bool setnsByName( String const & name, int nstype ) {
   if ( name.empty() || name.find( '/' ) != String::npos ) {
      return false;
   }
   int fd = ::open( netnsPath( name ).c_str(), O_RDONLY | O_CLOEXEC );
   if ( fd < 0 ) {
      return false;
   }
   bool ok = ::setns( fd, nstype ) == 0;
   ::close( fd );
   return ok;
}

} // namespace Quayd
