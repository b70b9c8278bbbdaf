#include "tools/quayd-containerz/Authorizer.h"

namespace Quayd::Containerz {

Authorizer::Authorizer( String policyPath )
    : policy_( "the authorization policy", std::move( policyPath ),
               []( nlohmann::json const & j ) { return AuthzPolicy( j ); } ) {}

std::vector< String > principalsOf( grpc::AuthContext const & context ) {
   std::vector< String > out;
   for ( char const * property : { "peer_spiffe_id", "peer_uri", "peer_dns", "x509_subject" } ) {
      for ( auto const & v : context.FindPropertyValues( property ) ) {
         out.emplace_back( v.data(), v.size() );
      }
   }
   return out;
}

grpc::Status Authorizer::Process( InputMetadata const & metadata, grpc::AuthContext * context,
                                  OutputMetadata *, OutputMetadata * ) {
   auto const policy = policy_.current();
   if ( !policy ) {
      return { grpc::StatusCode::PERMISSION_DENIED,
               "no authorization policy in force: " + policy_.refusal() };
   }
   CallPeer peer{ .principals = principalsOf( *context ), .headers = {} };
   String path;
   for ( auto const & [ k, v ] : metadata ) {
      String const key( k.data(), k.size() );
      if ( key == ":path" ) {
         path.assign( v.data(), v.size() );
      } else {
         peer.headers.emplace( key, String( v.data(), v.size() ) );
      }
   }
   if ( auto const why = policy->refusal( path, peer ) ) {
      return { grpc::StatusCode::PERMISSION_DENIED, *why };
   }
   return grpc::Status::OK;
}

} // namespace Quayd::Containerz
