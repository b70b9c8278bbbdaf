#include "platform/posix/MountInfo.h"

#include <fstream>
#include <sstream>

namespace Quayd {

namespace {

// mountinfo escapes blanks and backslashes as octal.
String unescape( String const & s ) {
   String out;
   for ( size_t i = 0; i < s.size(); ++i ) {
      if ( s[ i ] == '\\' && i + 3 < s.size() ) {
         out += char( std::stoi( s.substr( i + 1, 3 ), nullptr, 8 ) );
         i += 3;
      } else {
         out += s[ i ];
      }
   }
   return out;
}

} // namespace

std::vector< String > mountPoints() {
   std::vector< String > out;
   std::ifstream in( "/proc/self/mountinfo" );
   String line;
   while ( std::getline( in, line ) ) {
      std::istringstream fields( line );
      String id, parent, dev, root, mountPoint;
      fields >> id >> parent >> dev >> root >> mountPoint;
      out.push_back( unescape( mountPoint ) );
   }
   return out;
}

} // namespace Quayd
