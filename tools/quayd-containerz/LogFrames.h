#pragma once
// Turns a container's log stream from the daemon into lines. Without a
// terminal the daemon frames the output: a header of 8 bytes (the stream,
// three zeros, the length big-endian) before each piece; with a terminal
// it sends the output as it is. Lines reach the client as proto3 strings:
// valid UTF-8 (anything else becomes U+FFFD) of at most kMaxLine bytes (a
// longer line comes in pieces).
#include <functional>
#include <string_view>

#include "platform/Types.h"

namespace Quayd::Containerz {

// `bytes` with each byte that starts no valid UTF-8 sequence replaced by U+FFFD.
String validUtf8( std::string_view bytes );

class LogLines {
 public:
   static constexpr size_t kMaxLine = 64 << 10;
   using LineSink = std::function< void( String const & ) >;
   LogLines( bool framed, LineSink sink ) : framed_( framed ), sink_( std::move( sink ) ) {}
   // Any bytes, however the pieces fall; each complete line goes to the sink
   // without its newline.
   void feed( std::string_view data );
   // The last line, when the output did not end in a newline.
   void finish();

 private:
   void text( std::string_view data );
   void emit( std::string_view line );

   bool framed_;
   LineSink sink_;
   String header_;
   size_t frameLeft_ = 0;
   String partial_;
};

} // namespace Quayd::Containerz
