#pragma once
// Trace: one handle per component, bound to the sink it was handed, levels 0
// (failures) to 9, "{}" formatting. The agent's sink is the Ringlog ring
// buffer (plus standard error for the modules and levels named by the TRACE
// environment variable), a capturing sink in tests; without one, nothing.
//
//   TraceHandle trace_{ sinks.trace, "QuaydSm" };
//   QTRACE( trace_, 2, "state: {}", state );
#include <fmt/format.h>

#include "platform/LineCap.h"
#include "platform/Types.h"

namespace Quayd {

class TraceSink {
 public:
   virtual ~TraceSink() = default;
   virtual bool enabled( String const & module, int level ) const = 0;
   virtual void write( String const & module, int level, String const & text ) = 0;
};

class TraceHandle {
 public:
   TraceHandle( TraceSink * sink, String module ) : sink_( sink ), module_( std::move( module ) ) {}
   String const & module() const { return module_; }
   bool enabled( int level ) const { return sink_ && sink_->enabled( module_, level ); }
   template < typename... Args >
   void trace( int level, fmt::format_string< Args... > f, Args &&... args ) const {
      if ( enabled( level ) ) {
         sink_->write( module_, level,
                       capLine( fmt::format( f, std::forward< Args >( args )... ) ) );
      }
   }

 private:
   TraceSink * sink_;
   String module_;
};

} // namespace Quayd

#define QTRACE( handle, level, ... ) ( handle ).trace( level, __VA_ARGS__ )
