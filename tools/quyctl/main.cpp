#include <iostream>

#include "platform/Credentials.h"
#include "tools/quyctl/Quyctl.h"

using namespace Quayd;

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
      args, [ & ] { return std::make_unique< Redis::Connection >( addr ); }, std::cout,
      std::cerr, std::cin );
}
