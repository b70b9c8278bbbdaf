#pragma once
#include <exception>

#include <grpcpp/grpcpp.h>

#include "platform/Types.h"

namespace Quayd::Containerz {

// A call's failure: the status it answers with.
class CallError : public std::exception {
 public:
   CallError( grpc::StatusCode code, String message )
       : code_( code ), message_( std::move( message ) ) {}
   grpc::Status status() const { return { code_, message_ }; }
   grpc::StatusCode code() const { return code_; }
   char const * what() const noexcept override { return message_.c_str(); }

 private:
   grpc::StatusCode code_;
   String message_;
};

} // namespace Quayd::Containerz
