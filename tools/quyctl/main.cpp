#include <iostream>

#include "platform/Credentials.h"
#include "platform/docker/DockerApiClient.h"
#include "tools/quyctl/Quyctl.h"

using namespace Quayd;

namespace {
// The default daemon's containers and their states, asked on its socket.
std::optional< std::map< String, String > > daemonStates() {
   try {
      DockerApiClient api( "/var/run/docker.sock" );
      auto list = api.call( "GET", "/containers/json?all=1", nullptr, 2 );
      std::map< String, String > states;
      for ( auto const & c : list ) {
         String const state = c.value( "State", String() );
         for ( auto const & n : c.value( "Names", nlohmann::json::array() ) ) {
            String const name = n.get< String >();
            states[ name.rfind( '/', 0 ) == 0 ? name.substr( 1 ) : name ] = state;
         }
      }
      return states;
   } catch ( std::exception const & ) {
      return std::nullopt;
   }
}
} // namespace

int main( int argc, char ** argv ) {
   std::vector< String > args( argv + 1, argv + argc );
   String address = Redis::defaultAddress();
   // --redis ADDR may come first, as for quayd.
   if ( args.size() >= 2 && args[ 0 ] == "--redis" ) {
      address = args[ 1 ];
      args.erase( args.begin(), args.begin() + 2 );
   }
   Redis::Address addr;
   try {
      addr = Redis::Address::parse( address );
   } catch ( Redis::Error const & e ) {
      std::cerr << "quyctl: " << e.what() << "\n";
      return Quyctl::kUsage;
   }
   CredentialStore credentials;
   credentialStoreIs( &credentials );
   return Quyctl::run(
      args, [ & ] { return std::make_unique< Redis::Connection >( addr ); }, std::cout, std::cerr,
      std::cin, daemonStates );
}
