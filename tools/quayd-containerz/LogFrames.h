#pragma once
// Turns a container's log stream from the daemon into lines. Without a
// terminal the daemon frames the output: a header of 8 bytes (the stream,
// three zeros, the length big-endian) before each piece; with a terminal
// it sends the output as it is.
#include <functional>
#include <string_view>

#include "platform/Types.h"

namespace Quayd::Containerz {

class LogLines {
 public:
   using LineSink = std::function< void( String const & ) >;
   LogLines( bool framed, LineSink sink ) : framed_( framed ), sink_( std::move( sink ) ) {}
   // Any bytes, however the pieces fall; each complete line goes to the sink
   // without its newline.
   void feed( std::string_view data );
   // The last line, when the output did not end in a newline.
   void finish();

 private:
   void text( std::string_view data );

   bool framed_;
   LineSink sink_;
   String header_;
   size_t frameLeft_ = 0;
   String partial_;
};

} // namespace Quayd::Containerz
