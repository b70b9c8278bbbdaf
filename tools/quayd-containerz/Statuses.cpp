#include "tools/quayd-containerz/Statuses.h"

#include "platform/Exception.h"
#include "tools/quayd-containerz/CallError.h"

namespace Quayd::Containerz {

grpc::StatusCode codeOfAnswer( long http ) {
   switch ( http ) {
   case 400:
      return grpc::StatusCode::INVALID_ARGUMENT;
   case 401:
   case 403:
      return grpc::StatusCode::PERMISSION_DENIED;
   case 404:
      return grpc::StatusCode::NOT_FOUND;
   case 409:
      return grpc::StatusCode::FAILED_PRECONDITION;
   case 503:
      return grpc::StatusCode::UNAVAILABLE;
   default:
      return grpc::StatusCode::INTERNAL;
   }
}

grpc::Status statusOf( std::exception const & e, String const & what, CallState state ) {
   if ( state.cancelled ) {
      return { grpc::StatusCode::CANCELLED, what + ": the client went" };
   }
   if ( state.deadlinePassed ) {
      return { grpc::StatusCode::DEADLINE_EXCEEDED,
               what + ": the client's deadline passed (" + e.what() + ")" };
   }
   if ( auto const * c = dynamic_cast< CallError const * >( &e ) ) {
      return c->status();
   }
   if ( auto const * d = dynamic_cast< DaemonUnansweredException const * >( &e ) ) {
      return { d->timedOut() ? grpc::StatusCode::DEADLINE_EXCEEDED : grpc::StatusCode::UNAVAILABLE,
               what + ": the container daemon did not answer: " + e.what() };
   }
   if ( dynamic_cast< ApiRequestException const * >( &e ) ) {
      return { grpc::StatusCode::INVALID_ARGUMENT, what + ": " + e.what() };
   }
   return { grpc::StatusCode::INTERNAL, what + ": " + e.what() };
}

std::chrono::steady_clock::time_point deadlineOf( grpc::ServerContext const * ctx ) {
   auto const d = ctx->deadline();
   if ( d >= std::chrono::system_clock::time_point::max() - std::chrono::hours( 24 * 365 ) ) {
      return std::chrono::steady_clock::time_point::max();
   }
   return std::chrono::steady_clock::now() +
          std::chrono::duration_cast< std::chrono::steady_clock::duration >(
             d - std::chrono::system_clock::now() );
}

grpc::Status statusOf( std::exception const & e, String const & what,
                       grpc::ServerContext const * ctx ) {
   return statusOf( e, what,
                    CallState{ std::chrono::steady_clock::now() >= deadlineOf( ctx ),
                               const_cast< grpc::ServerContext * >( ctx )->IsCancelled() } );
}

} // namespace Quayd::Containerz
