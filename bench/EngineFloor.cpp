// The daemon's floor for bringing containers up: create and start N
// containers through the Engine API with K containers in flight at once, from
// the agent's own asynchronous client, and print the wall time in ms.
//
// Usage: engine_floor SOCKET N K IMAGE PREFIX [COMMAND]
#include <chrono>
#include <cstdio>
#include <cstdlib>

#include <nlohmann/json.hpp>

#include "platform/docker/AsyncApiClient.h"
#include "platform/posix/PosixEventLoop.h"

using namespace Quayd;

int main( int argc, char ** argv ) {
   if ( argc < 6 ) {
      std::fprintf( stderr, "usage: engine_floor SOCKET N K IMAGE PREFIX [COMMAND]\n" );
      return 2;
   }
   int const n = std::atoi( argv[ 2 ] );
   size_t const k = size_t( std::atoi( argv[ 3 ] ) );
   nlohmann::json body{ { "Image", argv[ 4 ] }, { "HostConfig", { { "NetworkMode", "none" } } } };
   if ( argc > 6 ) {
      body[ "Cmd" ] = { "sh", "-c", argv[ 6 ] };
   }
   String const prefix = argv[ 5 ];
   String const text = body.dump();

   PosixEventLoop loop;
   // Each container's create is followed by its start before another
   // container begins: K containers in flight, never more calls than K.
   AsyncApiClient client( loop, argv[ 1 ], k );
   int next = 0, up = 0, failed = 0;
   std::function< void() > begin = [ & ] {
      if ( next >= n ) {
         return;
      }
      String const name = prefix + std::to_string( ++next );
      client.send( "POST", "/containers/create?name=" + name, text, 600,
                   [ & ]( AsyncApiClient::Result r ) {
                      auto const j = nlohmann::json::parse( r.body, nullptr, false );
                      if ( r.status != 201 || !j.is_object() || !j.contains( "Id" ) ) {
                         std::fprintf( stderr, "create: %ld %s%s\n", r.status, r.body.c_str(),
                                       r.error.c_str() );
                         ++failed;
                         begin();
                         return;
                      }
                      String const id = j[ "Id" ].get< String >();
                      client.send( "POST", "/containers/" + id + "/start", "", 600,
                                   [ & ]( AsyncApiClient::Result s ) {
                                      if ( s.status != 204 && s.status != 304 ) {
                                         std::fprintf( stderr, "start: %ld %s%s\n", s.status,
                                                       s.body.c_str(), s.error.c_str() );
                                         ++failed;
                                      } else {
                                         ++up;
                                      }
                                      begin();
                                   } );
                   } );
   };
   auto const t0 = std::chrono::steady_clock::now();
   for ( size_t i = 0; i < k; ++i ) {
      begin();
   }
   loop.runUntil( [ & ] { return up + failed == n; }, std::chrono::minutes( 30 ) );
   auto const ms = std::chrono::duration_cast< std::chrono::milliseconds >(
                      std::chrono::steady_clock::now() - t0 )
                      .count();
   std::printf( "%lld\n", static_cast< long long >( ms ) );
   return failed == 0 && up == n ? 0 : 1;
}
