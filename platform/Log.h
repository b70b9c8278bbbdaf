#pragma once
// Syslog messages with fixed identifiers. Each message has a descriptor and is
// raised through a LogHandle, created once per module. The process's LogSink
// (syslog(3) and the agent's own log in the agent, a capturing sink in tests)
// receives every message, each at most one bounded line.
#include <cstdio>
#include <memory>
#include <vector>

#include "platform/LineCap.h"
#include "platform/Types.h"

namespace Quayd {

struct LogDescriptor {
   char const * id;     // "QUAYD_CONTAINER_STARTED"
   char const * format; // printf-style
   char const * explanation;
   char const * recommendedAction;
   int severity; // syslog severity: 3 error, 6 informational
};

class LogSink {
 public:
   virtual ~LogSink() = default;
   virtual void emit( LogDescriptor const & d, String const & text ) = 0;
};

// The process's sink; null discards messages.
void logSinkIs( LogSink * sink );
LogSink * logSink();

class LogHandle {
 public:
   explicit LogHandle( LogDescriptor const & d ) : desc_( d ) {}
   LogDescriptor const & descriptor() const { return desc_; }

 private:
   LogDescriptor desc_;
};

template < typename T >
decltype( auto ) logArg( T const & v ) {
   if constexpr ( std::is_same_v< T, String > ) {
      return v.c_str();
   } else {
      return v;
   }
}

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat-nonliteral"
#pragma GCC diagnostic ignored "-Wformat-security"
template < typename... Args >
void log( LogHandle const & h, Args const &... args ) {
   auto const & d = h.descriptor();
   String text;
   if constexpr ( sizeof...( Args ) == 0 ) {
      text = d.format;
   } else {
      int n = std::snprintf( nullptr, 0, d.format, logArg( args )... );
      text.resize( n > 0 ? size_t( n ) : 0 );
      std::snprintf( text.data(), text.size() + 1, d.format, logArg( args )... );
   }
   if ( auto * s = logSink() ) {
      s->emit( d, capLine( std::move( text ) ) );
   }
}
#pragma GCC diagnostic pop

} // namespace Quayd
