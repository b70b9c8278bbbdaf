// quayd-containerz: the gRPC Containerz service on the container daemon of
// the Containerz sub-agent, run inside the VRF's network namespace.
//
//   quayd-containerz --docker-socket /run/quayd/docker/ns-red.sock
//      --staging-dir /mnt/flash/.containerz/staging --port 9339
//      [--address A] [--tls-cert F --tls-key F [--tls-ca F]] [--stopped-grace S]
#include <signal.h>

#include <fstream>
#include <iostream>
#include <sstream>

#include <boost/program_options.hpp>
#include <grpcpp/grpcpp.h>

#include "tools/quayd-containerz/ContainerzServer.h"
#include "tools/quayd-containerz/Housekeeping.h"

namespace po = boost::program_options;
using Quayd::String;

namespace {

bool isLoopback( String const & a ) {
   return a == "localhost" || a == "::1" || a == "[::1]" || a.starts_with( "127." );
}

String readFile( String const & path ) {
   std::ifstream in( path );
   if ( !in ) {
      throw std::runtime_error( "cannot read " + path );
   }
   std::ostringstream s;
   s << in.rdbuf();
   return s.str();
}

std::shared_ptr< grpc::ServerCredentials > credentials( po::variables_map const & vm ) {
   if ( vm[ "tls-cert" ].as< String >().empty() ) {
      return grpc::InsecureServerCredentials();
   }
   grpc::SslServerCredentialsOptions o(
      vm[ "tls-ca" ].as< String >().empty()
         ? GRPC_SSL_DONT_REQUEST_CLIENT_CERTIFICATE
         : GRPC_SSL_REQUEST_AND_REQUIRE_CLIENT_CERTIFICATE_AND_VERIFY );
   o.pem_key_cert_pairs.push_back(
      { readFile( vm[ "tls-key" ].as< String >() ), readFile( vm[ "tls-cert" ].as< String >() ) } );
   if ( !vm[ "tls-ca" ].as< String >().empty() ) {
      o.pem_root_certs = readFile( vm[ "tls-ca" ].as< String >() );
   }
   return grpc::SslServerCredentials( o );
}

} // namespace

int main( int argc, char ** argv ) {
   po::options_description desc( "quayd-containerz options" );
   desc.add_options()( "help", "this text" )( "docker-socket", po::value< String >()->required(),
                                              "the daemon's Engine API socket" )(
      "staging-dir", po::value< String >()->required(),
      "where images are kept until loaded; on the daemon's flash" )(
      "address", po::value< String >()->default_value( "" ),
      "address to listen on; empty: loopback, or every address with TLS" )(
      "port", po::value< uint16_t >()->default_value( 9339 ),
      "port to listen on" )( "tls-cert", po::value< String >()->default_value( "" ),
                             "server certificate (PEM)" )(
      "tls-key", po::value< String >()->default_value( "" ),
      "server key (PEM)" )( "tls-ca", po::value< String >()->default_value( "" ),
                            "CA whose certificates clients must present (PEM)" )(
      "stopped-grace", po::value< long >()->default_value( 86400L ),
      "seconds a stopped container is kept before it is removed" );
   po::variables_map vm;
   try {
      po::store( po::parse_command_line( argc, argv, desc ), vm );
      if ( vm.count( "help" ) ) {
         std::cout << desc << "\n";
         return 0;
      }
      po::notify( vm );
   } catch ( std::exception const & e ) {
      std::cerr << "quayd-containerz: " << e.what() << "\n" << desc << "\n";
      return 2;
   }
   bool const tls = !vm[ "tls-cert" ].as< String >().empty();
   if ( tls != !vm[ "tls-key" ].as< String >().empty() ) {
      std::cerr << "quayd-containerz: TLS needs both a certificate and a key\n";
      return 2;
   }
   String address = vm[ "address" ].as< String >();
   if ( address.empty() ) {
      address = tls ? "[::]" : "127.0.0.1";
   }
   if ( !tls && !isLoopback( address ) ) {
      std::cerr << "quayd-containerz: without TLS the service listens on loopback only, not on "
                << address << "\n";
      return 2;
   }
   if ( address.find( ':' ) != String::npos && !address.starts_with( "[" ) ) {
      address = "[" + address + "]";
   }
   String const endpoint = address + ":" + std::to_string( vm[ "port" ].as< uint16_t >() );

   // SIGTERM and SIGINT are taken by sigwait below, on this thread alone:
   // blocked before gRPC starts its threads, which inherit the mask.
   sigset_t stop;
   sigemptyset( &stop );
   sigaddset( &stop, SIGTERM );
   sigaddset( &stop, SIGINT );
   pthread_sigmask( SIG_BLOCK, &stop, nullptr );

   try {
      Quayd::Containerz::ContainerzServer service( vm[ "docker-socket" ].as< String >(),
                                                   vm[ "staging-dir" ].as< String >() );
      // What a killed predecessor left: staged tarballs, updates half done.
      service.sweepStaging();
      service.restoreReplaced();
      grpc::ServerBuilder builder;
      builder.AddListeningPort( endpoint, credentials( vm ) );
      builder.RegisterService( &service );
      std::unique_ptr< grpc::Server > server = builder.BuildAndStart();
      if ( !server ) {
         std::cerr << "quayd-containerz: cannot listen on " << endpoint << "\n";
         return 1;
      }
      std::cout << "quayd-containerz: listening on " << endpoint << ( tls ? " with TLS" : "" )
                << std::endl;
      Quayd::Containerz::Housekeeper const housekeeper(
         service, std::chrono::seconds( std::max( 1L, vm[ "stopped-grace" ].as< long >() ) ) );
      int sig = 0;
      sigwait( &stop, &sig );
      // Calls still running (a followed log) are cancelled after a grace.
      server->Shutdown( std::chrono::system_clock::now() + std::chrono::seconds( 5 ) );
      server->Wait();
   } catch ( std::exception const & e ) {
      std::cerr << "quayd-containerz: " << e.what() << "\n";
      return 1;
   }
   return 0;
}
