#pragma once
// Syslog messages with fixed identifiers. Each message has a constant
// descriptor and is raised on the LogSink its component was handed
// (syslog(3) and the agent's own log in the agent, a capturing sink in
// tests; none discards it), each at most one bounded line.
//
//   log( log_, QUAYD_CONTAINER_STARTED, name );
#include <cstdio>
#include <type_traits>

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
void log( LogSink * sink, LogDescriptor const & d, Args const &... args ) {
   if ( !sink ) {
      return;
   }
   String text;
   if constexpr ( sizeof...( Args ) == 0 ) {
      text = d.format;
   } else {
      int n = std::snprintf( nullptr, 0, d.format, logArg( args )... );
      text.resize( n > 0 ? size_t( n ) : 0 );
      std::snprintf( text.data(), text.size() + 1, d.format, logArg( args )... );
   }
   sink->emit( d, capLine( std::move( text ) ) );
}
#pragma GCC diagnostic pop

} // namespace Quayd
