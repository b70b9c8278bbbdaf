#include "platform/testing/Capture.h"

#include <algorithm>

namespace Quayd::Testing {

size_t LogCapture::count( String const & id ) const {
   return std::count_if( messages.begin(), messages.end(),
                         [ & ]( auto const & m ) { return m.id == id; } );
}

bool TraceCapture::contains( String const & text, int level ) const {
   return std::any_of( lines.begin(), lines.end(), [ & ]( auto const & l ) {
      return ( level < 0 || l.level == level ) && l.text.find( text ) != String::npos;
   } );
}

} // namespace Quayd::Testing
