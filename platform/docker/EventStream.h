#pragma once
// The daemon's answer to GET /events, read as it arrives in pieces of any
// size: the status line and headers, then the body, chunked or not, cut into
// lines, one JSON event per line.
//
//   EventStreamParser p;
//   for ( auto const & line : p.feed( bytes ) ) {
//      if ( auto e = containerEventOf( line ) ) { ... }
//   }
//   if ( p.failed() || p.ended() ) { ...connect again, p.reset()... }
#include <optional>
#include <string_view>
#include <vector>

#include "platform/ContainerRuntimeInterface.h"

namespace Quayd {

class EventStreamParser {
 public:
   // The complete body lines in `bytes` and what came before, in order;
   // nothing once failed or ended.
   std::vector< String > feed( std::string_view bytes );
   // The header was read, with status 200.
   bool started() const { return started_; }
   // The answer cannot be read on: not a 200, or broken framing.
   bool failed() const { return phase_ == Phase::failed; }
   String const & error() const { return error_; }
   // The body's last chunk arrived.
   bool ended() const { return phase_ == Phase::ended; }
   // For the answer on a new connection.
   void reset();

 private:
   enum class Phase { header, chunkSize, chunkData, chunkEnd, plain, ended, failed };
   void fail( String why );
   void readHeader();
   void body( std::string_view data, std::vector< String > & lines );

   Phase phase_ = Phase::header;
   String buffer_; // bytes not yet taken by the phase
   String line_;   // the body line under way
   size_t chunkLeft_ = 0;
   bool started_ = false;
   String error_;
};

// The container event of one line of the stream; none for a line that is
// not one (garbage, another type of event, no container name).
std::optional< ContainerEvent > containerEventOf( String const & line );

} // namespace Quayd
