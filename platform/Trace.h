#pragma once
// Trace: one handle per module, levels 0 (failures) to 9, "{}" formatting.
// Records go to the process's TraceSink: the Ringlog ring buffer in the agent
// (plus standard error for the modules and levels named by the TRACE
// environment variable), a capturing sink in tests.
//
//   static TraceHandle trace( "QuaydSm" );
//   QTRACE( trace, 2, "state: {}", state );
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

void traceSinkIs( TraceSink * sink );
TraceSink * traceSink();

class TraceHandle {
 public:
   explicit TraceHandle( String module ) : module_( std::move( module ) ) {}
   String const & module() const { return module_; }
   bool enabled( int level ) const {
      auto * s = traceSink();
      return s && s->enabled( module_, level );
   }
   template < typename... Args >
   void trace( int level, fmt::format_string< Args... > f, Args &&... args ) const {
      if ( auto * s = traceSink(); s && s->enabled( module_, level ) ) {
         s->write( module_, level, capLine( fmt::format( f, std::forward< Args >( args )... ) ) );
      }
   }

 private:
   String module_;
};

} // namespace Quayd

#define QTRACE( handle, level, ... ) ( handle ).trace( level, __VA_ARGS__ )
