#include "platform/BoundedOutput.h"

#include <algorithm>

#include <fmt/format.h>

namespace Quayd {

void BoundedOutput::append( char const * data, size_t n ) {
   size_t const toHead = std::min( n, kKept - head_.size() );
   head_.append( data, toHead );
   data += toHead;
   n -= toHead;
   if ( n >= kKept ) {
      // Only the last KiB of this piece can stay.
      dropped_ += tail_.size() + n - kKept;
      tail_.assign( data + n - kKept, kKept );
      return;
   }
   tail_.append( data, n );
   if ( tail_.size() > 2 * kKept ) {
      dropped_ += tail_.size() - kKept;
      tail_.erase( 0, tail_.size() - kKept );
   }
}

String BoundedOutput::text() const {
   size_t const extra = tail_.size() > kKept ? tail_.size() - kKept : 0;
   if ( dropped_ + extra == 0 ) {
      return head_ + tail_;
   }
   return head_ + fmt::format( "\n[... {} bytes left out ...]\n", dropped_ + extra ) +
          tail_.substr( extra );
}

} // namespace Quayd
