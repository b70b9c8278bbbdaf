#pragma once
// Sinks that record syslog messages and trace lines, for assertions.
#include <vector>

#include "platform/Log.h"
#include "platform/Trace.h"

namespace Quayd::Testing {

struct LoggedMessage {
   String id;
   String text;
   int severity;
};

// Installs itself as the process's log sink for its lifetime.
class LogCapture : public LogSink {
 public:
   LogCapture() : prev_( logSink() ) { logSinkIs( this ); }
   ~LogCapture() override { logSinkIs( prev_ ); }
   void emit( LogDescriptor const & d, String const & text ) override {
      messages.push_back( { d.id, text, d.severity } );
   }
   size_t count( String const & id ) const;
   std::vector< LoggedMessage > messages;

 private:
   LogSink * prev_;
};

struct TraceLine {
   String module;
   int level;
   String text;
};

// Installs itself as the process's trace sink for its lifetime.
class TraceCapture : public TraceSink {
 public:
   TraceCapture() : prev_( traceSink() ) { traceSinkIs( this ); }
   ~TraceCapture() override { traceSinkIs( prev_ ); }
   bool enabled( String const &, int ) const override { return true; }
   void write( String const & module, int level, String const & text ) override {
      lines.push_back( { module, level, text } );
   }
   // Whether a line at `level` contains `text`.
   bool contains( String const & text, int level = -1 ) const;
   std::vector< TraceLine > lines;

 private:
   TraceSink * prev_;
};

} // namespace Quayd::Testing
