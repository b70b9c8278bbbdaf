#pragma once
#include <stdexcept>
#include <string>

namespace Quayd {

// The platform exception: a message and the name of its type.
class Exception : public std::runtime_error {
 public:
   explicit Exception( std::string const & msg ) : std::runtime_error( msg ) {}
   virtual char const * name() const noexcept { return "Exception"; }
};

// Failure of a container runtime operation.
class RuntimeException : public Exception {
 public:
   using Exception::Exception;
   char const * name() const noexcept override { return "RuntimeException"; }
};

// A runtime API request that the daemon refused (for example: no such container).
class ApiRequestException : public RuntimeException {
 public:
   using RuntimeException::RuntimeException;
   char const * name() const noexcept override { return "ApiRequestException"; }
};

// A request the daemon did not answer: no connection, or no answer within
// the request's limit (`timedOut`).
class DaemonUnansweredException : public RuntimeException {
 public:
   DaemonUnansweredException( std::string const & msg, bool timedOut )
       : RuntimeException( msg ), timedOut_( timedOut ) {}
   char const * name() const noexcept override { return "DaemonUnansweredException"; }
   bool timedOut() const noexcept { return timedOut_; }

 private:
   bool timedOut_;
};

// A broken invariant; raised by QUAYD_ASSERT with the failed condition as text.
class AssertionFailure : public std::logic_error {
 public:
   using std::logic_error::logic_error;
};

namespace Unitctl {
// A service job (start or stop of the runtime service) that did not complete.
class SdbusJobException : public Exception {
 public:
   using Exception::Exception;
   char const * name() const noexcept override { return "SdbusJobException"; }
};
} // namespace Unitctl

} // namespace Quayd

// Programming errors: the text is the condition itself, e.g. "runtime()".
#define QUAYD_ASSERT( cond )                       \
   do {                                            \
      if ( !( cond ) ) {                           \
         throw ::Quayd::AssertionFailure( #cond ); \
      }                                            \
   } while ( 0 )

// The same, with a message of its own for conditions that need explaining.
#define QUAYD_ASSERT_MSG( cond, msg )            \
   do {                                          \
      if ( !( cond ) ) {                         \
         throw ::Quayd::AssertionFailure( msg ); \
      }                                          \
   } while ( 0 )
