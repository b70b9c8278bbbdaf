#pragma once
// Every call on a TLS connection passes here before its handler: the client's
// certificate identity and the method are judged by the authorization policy
// of the file the configuration names. Without such a file every client
// whose certificate the CA verified may call everything; with one that was
// never good, nobody may.
#include <grpcpp/security/auth_metadata_processor.h>

#include "tools/quayd-containerz/AuthzPolicy.h"
#include "tools/quayd-containerz/PolicyFile.h"

namespace Quayd::Containerz {

class Authorizer : public grpc::AuthMetadataProcessor {
 public:
   explicit Authorizer( String policyPath );

   grpc::Status Process( InputMetadata const & metadata, grpc::AuthContext * context,
                         OutputMetadata * consumed, OutputMetadata * response ) override;

 private:
   PolicyFile< AuthzPolicy > policy_;
};

// The identities of a TLS peer: SPIFFE ID, URI and DNS SANs, subject.
std::vector< String > principalsOf( grpc::AuthContext const & context );

} // namespace Quayd::Containerz
