#pragma once
// A Deploy's stream as this server reads it. Content, nearly every byte of
// a deploy, is taken in the pieces gRPC received it in: never copied into a
// message, only once, into the daemon's request. Any other message is
// parsed whole.
#include <optional>
#include <vector>

#include "gnoi/containerz/containerz.grpc.pb.h"
#include "platform/docker/ImageLoad.h"

namespace Quayd::Containerz {

namespace pb = ::gnoi::containerz;

// The content of a DeployRequest that holds content and nothing else, as
// the ranges of `slices` it covers; nullopt for any other message.
std::optional< ImageChunk > contentOnly( std::vector< grpc::Slice > slices );

// One message of a Deploy's stream.
struct DeployMessage {
   // Set for content; `request` is then empty.
   std::optional< ImageChunk > content;
   pb::DeployRequest request;
};

class DeployStream {
 public:
   using Raw = grpc::ServerReaderWriter< grpc::ByteBuffer, grpc::ByteBuffer >;

   explicit DeployStream( Raw * raw ) : raw_( raw ) {}

   // The next message; false at the stream's end. A message that is not a
   // DeployRequest throws CallError.
   bool read( DeployMessage & m );
   bool write( pb::DeployResponse const & r );

 private:
   Raw * raw_;
};

} // namespace Quayd::Containerz
