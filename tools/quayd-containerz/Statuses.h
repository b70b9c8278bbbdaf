#pragma once
// The status a call answers when the daemon refused, failed or did not
// answer:
//   the daemon down or silent          UNAVAILABLE, DEADLINE_EXCEEDED
//   a value the daemon rejects (400)   INVALID_ARGUMENT
//   a conflict (409)                   FAILED_PRECONDITION
//   the client's deadline passed       DEADLINE_EXCEEDED
//   the client went                    CANCELLED
#include <chrono>
#include <exception>

#include <grpcpp/grpcpp.h>

#include "platform/Types.h"

namespace Quayd::Containerz {

// The code of a daemon's answer of HTTP status `http` that is not a success.
grpc::StatusCode codeOfAnswer( long http );

// Where the call stands when it failed.
struct CallState {
   bool deadlinePassed = false;
   bool cancelled = false;
};

// The status of a call about `what` that failed with `e`.
grpc::Status statusOf( std::exception const & e, String const & what, CallState state = {} );
grpc::Status statusOf( std::exception const & e, String const & what,
                       grpc::ServerContext const * ctx );

// The client's deadline on the steady clock (max: none).
std::chrono::steady_clock::time_point deadlineOf( grpc::ServerContext const * ctx );

} // namespace Quayd::Containerz
