#pragma once
// Sinks that record syslog messages and trace lines, for assertions.
#include <vector>

#include "platform/Sinks.h"

namespace Quayd::Testing {

struct LoggedMessage {
   String id;
   String text;
   int severity;
};

class LogCapture : public LogSink {
 public:
   void emit( LogDescriptor const & d, String const & text ) override {
      messages.push_back( { d.id, text, d.severity } );
   }
   size_t count( String const & id ) const;
   std::vector< LoggedMessage > messages;
};

struct TraceLine {
   String module;
   int level;
   String text;
};

// Takes every level of every module.
class TraceCapture : public TraceSink {
 public:
   bool enabled( String const &, int ) const override { return true; }
   void write( String const & module, int level, String const & text ) override {
      lines.push_back( { module, level, text } );
   }
   // Whether a line at `level` contains `text`.
   bool contains( String const & text, int level = -1 ) const;
   std::vector< TraceLine > lines;
};

} // namespace Quayd::Testing
