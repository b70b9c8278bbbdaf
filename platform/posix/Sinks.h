#pragma once
// The agent's syslog and trace outputs.
#include <cstdio>
#include <memory>
#include <vector>

#include "platform/Log.h"
#include "platform/Ringlog.h"
#include "platform/Trace.h"

namespace Quayd {

// The journal as "%QUAYD_EVENT: text" with the identifier in the field
// QUAYD_EVENT (syslog(3) where no journal runs), and the same line in the
// agent's log.
class SyslogSink : public LogSink {
 public:
   // The agent's own log file, mode 0640, is renamed to "<logFile>.1" (the
   // one before it dropped) once it holds `maxBytes`.
   static constexpr uint64_t kMaxLogBytes = 4 << 20;
   explicit SyslogSink( String logFile, uint64_t maxBytes = kMaxLogBytes );
   ~SyslogSink() override;
   void emit( LogDescriptor const & d, String const & text ) override;

 private:
   void openFile();
   String logFile_;
   uint64_t maxBytes_;
   FILE * file_ = nullptr;
   uint64_t size_ = 0;
};

// A ring file: per level a fixed number of fixed-size records, mapped shared
// so the latest records survive a crash of the agent.
class RingFile {
 public:
   static constexpr uint32_t kMagic = 0x51524c31; // "QRL1"
   // Opens or creates `path` with `levelSizes[i]` records of `recordSize`.
   RingFile( String const & path, std::array< uint32_t, 10 > const & levelSizes,
             uint32_t recordSize );
   ~RingFile();
   bool ok() const { return base_ != nullptr; }
   void write( String const & module, int level, String const & text );
   // Every record held, oldest first.
   static std::vector< String > dump( String const & path );

 private:
   struct Header;
   uint8_t * base_ = nullptr;
   size_t size_ = 0;
};

// Every trace record into the ring file (once initialised), and to standard
// error for the modules and levels that TRACE selects: "Mod/0-9,Other/2", "*/0-3".
// A ring named with the pid is one per start of the agent; the directory
// keeps the newest kKeptRings of them.
class RinglogTraceSink : public TraceSink {
 public:
   // Rings named with the pid kept in their directory, the current one included.
   static constexpr size_t kKeptRings = 5;
   explicit RinglogTraceSink( char const * traceSpec );
   // Opens the ring file the agent asks for, in `dir`.
   void ringIs( String const & dir, Ringlog::Config const & c );
   bool enabled( String const & module, int level ) const override;
   void write( String const & module, int level, String const & text ) override;
   String const & ringPath() const { return ringPath_; }

 private:
   bool toStderr( String const & module, int level ) const;
   struct Rule {
      String module;
      int lo, hi;
   };
   std::vector< Rule > rules_;
   std::unique_ptr< RingFile > ring_;
   String ringPath_;
};

} // namespace Quayd
