// A Deploy client for the benchmark: streams a tarball to the Containerz
// service in the chunks it asks for. Compiled and linked statically, like
// the docker client it is compared with, so that the client's own start and
// CPU (which a remote gNOI client does not spend on the switch) weigh as
// little as they can on the machine both share.
//
//   deploy_client TARGET NAME TAG TARBALL [CA CERT KEY]
//
// Exits 0 once the image is deployed; otherwise prints the reason, exit 1.
#include <malloc.h>

#include <cstdio>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>

#include <grpcpp/grpcpp.h>

#include "gnoi/containerz/containerz.grpc.pb.h"

namespace pb = gnoi::containerz;

namespace {

std::string fileText( char const * path ) {
   std::ifstream in( path, std::ios::binary );
   std::ostringstream s;
   s << in.rdbuf();
   return s.str();
}

int fail( std::string const & why ) {
   std::cerr << "deploy_client: " << why << "\n";
   return 1;
}

} // namespace

int main( int argc, char ** argv ) {
   if ( argc != 5 && argc != 8 ) {
      return fail( "usage: deploy_client TARGET NAME TAG TARBALL [CA CERT KEY]" );
   }
   // Each chunk's message is serialized into a buffer of its own; kept on
   // the heap rather than mapped and unmapped, its pages are not faulted in
   // again for every chunk.
   mallopt( M_MMAP_THRESHOLD, 32 << 20 );
   mallopt( M_TRIM_THRESHOLD, 128 << 20 );
   std::shared_ptr< grpc::ChannelCredentials > creds = grpc::InsecureChannelCredentials();
   if ( argc == 8 ) {
      grpc::SslCredentialsOptions tls;
      tls.pem_root_certs = fileText( argv[ 5 ] );
      tls.pem_cert_chain = fileText( argv[ 6 ] );
      tls.pem_private_key = fileText( argv[ 7 ] );
      creds = grpc::SslCredentials( tls );
   }
   grpc::ChannelArguments args;
   args.SetMaxReceiveMessageSize( -1 );
   auto stub = pb::Containerz::NewStub( grpc::CreateCustomChannel( argv[ 1 ], creds, args ) );
   std::FILE * tarball = std::fopen( argv[ 4 ], "rb" );
   if ( !tarball ) {
      return fail( std::string( "cannot open " ) + argv[ 4 ] );
   }
   std::fseek( tarball, 0, SEEK_END );
   long const size = std::ftell( tarball );
   std::rewind( tarball );

   grpc::ClientContext ctx;
   auto stream = stub->Deploy( &ctx );
   pb::DeployRequest req;
   auto * t = req.mutable_image_transfer();
   t->set_name( argv[ 2 ] );
   t->set_tag( argv[ 3 ] );
   t->set_image_size( uint64_t( size ) );
   pb::DeployResponse resp;
   if ( !stream->Write( req ) || !stream->Read( &resp ) || !resp.has_image_transfer_ready() ) {
      return fail( "no ready: " + stream->Finish().error_message() );
   }
   size_t const chunk = size_t( resp.image_transfer_ready().chunk_size() );
   // Progress answers are small and few; they wait in the stream until the
   // content is sent.
   for ( ;; ) {
      std::string * content = req.mutable_content();
      content->resize( chunk );
      size_t const n = std::fread( content->data(), 1, chunk, tarball );
      if ( n == 0 ) {
         break;
      }
      content->resize( n );
      if ( !stream->Write( req ) ) {
         break;
      }
   }
   std::fclose( tarball );
   req.mutable_image_transfer_end();
   stream->Write( req );
   stream->WritesDone();
   bool success = false;
   std::string error;
   while ( stream->Read( &resp ) ) {
      if ( resp.has_image_transfer_success() ) {
         success = true;
      } else if ( resp.has_image_transfer_error() ) {
         error = resp.image_transfer_error().message();
      }
   }
   grpc::Status const st = stream->Finish();
   if ( !success ) {
      return fail( error.empty() ? st.error_message() : error );
   }
   return 0;
}
