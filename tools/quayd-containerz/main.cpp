// quayd-containerz: the gRPC Containerz service on the container daemon of
// the Containerz sub-agent, run inside the VRF's network namespace.
//
//   quayd-containerz --docker-socket /run/quayd/docker/ns-red.sock
//      --staging-dir /mnt/flash/.containerz/staging
//      [--tls-cert F --tls-key F --tls-ca F [--address A] [--port 9339]
//       [--authz-policy F]] [--privilege-policy F] [--stopped-grace S]
//
// Without TLS it listens on its unix socket only (root and the group quayd);
// with TLS on TCP, and only clients with a certificate of the CA get in.
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <iostream>

#include <boost/program_options.hpp>
#include <grpcpp/grpcpp.h>
#include <grpcpp/security/tls_certificate_provider.h>
#include <grpcpp/security/tls_credentials_options.h>

#include "tools/quayd-containerz/Authorizer.h"
#include "tools/quayd-containerz/ContainerzServer.h"
#include "tools/quayd-containerz/Housekeeping.h"

namespace po = boost::program_options;
using Quayd::String;
using namespace Quayd::Containerz;

namespace {

// The agent's own trees, never bound into a container.
std::vector< String > const kAgentDirs = { "/var/lib/quayd", "/var/log/quayd", "/mnt/flash/.quy",
                                           "/mnt/flash/.quayd" };
// How often the certificate files are looked at for a rotation.
constexpr unsigned kCertRefreshSec = 5;

String opt( po::variables_map const & vm, char const * name ) { return vm[ name ].as< String >(); }

std::shared_ptr< grpc::ServerCredentials > tlsCredentials( po::variables_map const & vm ) {
   auto files =
      std::make_shared< grpc::experimental::FileWatcherCertificateProvider >( opt( vm, "tls-key" ),
                                                                              opt( vm, "tls-cert" ),
                                                                              opt( vm, "tls-ca" ),
                                                                              kCertRefreshSec );
   grpc::experimental::TlsServerCredentialsOptions o( files );
   o.watch_root_certs();
   o.watch_identity_key_cert_pairs();
   o.set_cert_request_type( GRPC_SSL_REQUEST_AND_REQUIRE_CLIENT_CERTIFICATE_AND_VERIFY );
   auto creds = grpc::experimental::TlsServerCredentials( o );
   if ( !opt( vm, "authz-policy" ).empty() ) {
      creds->SetAuthMetadataProcessor(
         std::make_shared< Authorizer >( opt( vm, "authz-policy" ) ) );
   }
   return creds;
}

// The socket's directory, and no socket left by a server before.
void prepareSocket( String const & path ) {
   std::filesystem::create_directories( std::filesystem::path( path ).parent_path() );
   ::unlink( path.c_str() );
}

// Root's and the group quayd's (root's alone where there is no such group).
void restrictSocket( String const & path ) {
   struct group const * g = getgrnam( "quayd" );
   if ( ( g && chown( path.c_str(), 0, g->gr_gid ) != 0 ) || chmod( path.c_str(), 0660 ) != 0 ) {
      throw std::runtime_error( "cannot restrict " + path + ": " + strerror( errno ) );
   }
}

} // namespace

int main( int argc, char ** argv ) {
   po::options_description desc( "quayd-containerz options" );
   auto text = []( char const * def = "" ) { return po::value< String >()->default_value( def ); };
   desc.add_options()( "help", "this text" )                                                   //
      ( "docker-socket", po::value< String >()->required(), "the daemon's Engine API socket" ) //
      ( "staging-dir", po::value< String >()->required(),
        "where images are kept until loaded; on the daemon's flash" ) //
      ( "volumes-dir", text(),
        "where containers' host directories may be; default: volumes beside the staging dir" ) //
      ( "socket", text( "/run/quayd/containerz.sock" ), "the unix socket served without TLS" ) //
      ( "address", text(), "address to listen on with TLS; empty: every address" )             //
      ( "port", po::value< uint16_t >()->default_value( 9339 ), "port to listen on with TLS" ) //
      ( "tls-cert", text(), "server certificate (PEM), watched for a rotation" )               //
      ( "tls-key", text(), "server key (PEM)" )                                                //
      ( "tls-ca", text(), "CA whose certificates clients must present (PEM)" )                 //
      ( "authz-policy", text(), "who may call what (gRPC authorization policy, JSON)" )        //
      ( "privilege-policy", text(), "what containers may be given of the switch (JSON)" )      //
      ( "stopped-grace", po::value< long >()->default_value( 86400L ),
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
   bool const tls = !opt( vm, "tls-cert" ).empty();
   if ( tls != !opt( vm, "tls-key" ).empty() ) {
      std::cerr << "quayd-containerz: TLS needs both a certificate and a key\n";
      return 2;
   }
   if ( tls && opt( vm, "tls-ca" ).empty() ) {
      std::cerr << "quayd-containerz: TLS needs the CA of the clients' certificates too; "
                   "without one any host could call\n";
      return 2;
   }
   String address = opt( vm, "address" );
   if ( !tls && !address.empty() ) {
      std::cerr << "quayd-containerz: without TLS the service listens on its unix socket only, "
                   "not on "
                << address << "\n";
      return 2;
   }
   if ( address.empty() ) {
      address = "[::]";
   }
   if ( address.find( ':' ) != String::npos && !address.starts_with( "[" ) ) {
      address = "[" + address + "]";
   }
   String const socket = opt( vm, "socket" );
   String const endpoint =
      tls ? address + ":" + std::to_string( vm[ "port" ].as< uint16_t >() ) : "unix:" + socket;
   String const staging = opt( vm, "staging-dir" );
   String const volumes = opt( vm, "volumes-dir" ).empty()
                             ? std::filesystem::path( staging ).parent_path() / "volumes"
                             : std::filesystem::path( opt( vm, "volumes-dir" ) );
   std::vector< String > protectedDirs = kAgentDirs;
   protectedDirs.push_back( staging );
   PrivilegePolicy const defaults( volumes, protectedDirs );
   std::optional< PolicyFile< PrivilegePolicy > > privilegeFile;
   if ( !opt( vm, "privilege-policy" ).empty() ) {
      privilegeFile.emplace( "the privilege policy", opt( vm, "privilege-policy" ),
                             [ &defaults ]( nlohmann::json const & j ) {
                                return PrivilegePolicy( j, defaults );
                             } );
   }
   auto const defaultPolicy = std::make_shared< PrivilegePolicy const >( defaults );
   // A privilege file never good leaves the defaults in force.
   ContainerzServer::Privileges privileges = [ &privilegeFile, defaultPolicy ] {
      auto p = privilegeFile ? privilegeFile->current() : nullptr;
      return p ? p : defaultPolicy;
   };

   // SIGTERM and SIGINT are taken by sigwait below, on this thread alone:
   // blocked before gRPC starts its threads, which inherit the mask.
   sigset_t stop;
   sigemptyset( &stop );
   sigaddset( &stop, SIGTERM );
   sigaddset( &stop, SIGINT );
   pthread_sigmask( SIG_BLOCK, &stop, nullptr );

   try {
      std::filesystem::create_directories( volumes );
      ContainerzServer service( opt( vm, "docker-socket" ), staging, privileges );
      // What a killed predecessor left: staged tarballs, updates half done.
      service.sweepStaging();
      service.restoreReplaced();
      grpc::ServerBuilder builder;
      builder.AddListeningPort( endpoint,
                                tls ? tlsCredentials( vm ) : grpc::InsecureServerCredentials() );
      builder.RegisterService( &service );
      if ( !tls ) {
         prepareSocket( socket );
      }
      // The socket is made without access for others, before it is restricted further.
      mode_t const umaskWas = umask( 0117 );
      std::unique_ptr< grpc::Server > server = builder.BuildAndStart();
      umask( umaskWas );
      if ( !server ) {
         std::cerr << "quayd-containerz: cannot listen on " << endpoint << "\n";
         return 1;
      }
      if ( !tls ) {
         restrictSocket( socket );
      }
      std::cout << "quayd-containerz: listening on " << endpoint
                << ( tls ? " with mutual TLS" : "" ) << std::endl;
      Housekeeper const housekeeper( service,
                                     std::chrono::seconds(
                                        std::max( 1L, vm[ "stopped-grace" ].as< long >() ) ) );
      int sig = 0;
      sigwait( &stop, &sig );
      // Calls still running (a followed log) are cancelled after a grace.
      server->Shutdown( std::chrono::system_clock::now() + std::chrono::seconds( 5 ) );
      server->Wait();
      if ( !tls ) {
         ::unlink( socket.c_str() );
      }
   } catch ( std::exception const & e ) {
      std::cerr << "quayd-containerz: " << e.what() << "\n";
      return 1;
   }
   return 0;
}
