// From a configuration write in Redis to the agent's handler: a client sets
// quayd/config flashLimit, the agent's entity manager gets the keyspace
// notification, re-reads the hash and the reactor's handler runs. Reports the
// median and the 99th percentile over the iterations (1000 writes), and the
// same for a status write through to Redis.
#include <benchmark/benchmark.h>

#include <algorithm>

#include "model/Model.h"
#include "platform/Reactor.h"
#include "platform/posix/PosixEventLoop.h"
#include "platform/redis/RedisEntityManager.h"
#include "platform/redis/TestServer.h"

namespace Quayd {
namespace {

void reportPercentiles( benchmark::State & state, std::vector< double > samples ) {
   if ( samples.empty() ) {
      return;
   }
   std::sort( samples.begin(), samples.end() );
   state.counters[ "median_us" ] = samples[ samples.size() / 2 ];
   state.counters[ "p99_us" ] =
      samples[ std::min( samples.size() - 1, samples.size() * 99 / 100 ) ];
}

double micros( std::chrono::steady_clock::duration d ) {
   return std::chrono::duration< double, std::micro >( d ).count();
}

struct Mounted {
   Redis::TestServer server;
   PosixEventLoop loop;
   Ptr< RedisEntityManager > em;
   Mounted() {
      em = makePtr< RedisEntityManager >( server.address(), loop, Sinks{} );
      em->profileIs( quaydMountProfile() );
      String error;
      if ( !em->mount( "Quayd", error ) ) {
         throw std::runtime_error( error );
      }
   }
};

void BM_ConfigWriteToHandler( benchmark::State & state ) {
   Mounted m;
   auto config = getEntityAs< QuaydConfig >( *m.em, "quayd/config" );
   uint64_t seen = 0;
   Reactor reactor;
   reactor.on( config, QuaydConfig::Attr::flashLimit, [ & ] { seen = config->flashLimit(); } );
   reactor.start();
   auto client = m.server.client();
   std::vector< double > samples;
   uint64_t v = 0;
   for ( auto _ : state ) {
      ++v;
      auto const t0 = std::chrono::steady_clock::now();
      client.command( { "HSET", "quayd/config", "flashLimit", std::to_string( v ) } );
      if ( !m.loop.runUntil( [ & ] { return seen == v; }, std::chrono::seconds( 5 ) ) ) {
         state.SkipWithError( "the handler did not run within 5 s" );
         break;
      }
      samples.push_back( micros( std::chrono::steady_clock::now() - t0 ) );
   }
   reportPercentiles( state, std::move( samples ) );
}
BENCHMARK( BM_ConfigWriteToHandler )->Iterations( 1000 )->Unit( benchmark::kMicrosecond );

void BM_StatusWriteThrough( benchmark::State & state ) {
   Mounted m;
   auto status = getEntityAs< QuaydStatus >( *m.em, Cell::path( "quayd/status", 0 ) );
   std::vector< double > samples;
   uint64_t v = 0;
   for ( auto _ : state ) {
      auto const t0 = std::chrono::steady_clock::now();
      status->flashLimitIs( ++v );
      samples.push_back( micros( std::chrono::steady_clock::now() - t0 ) );
   }
   reportPercentiles( state, std::move( samples ) );
}
BENCHMARK( BM_StatusWriteThrough )->Iterations( 1000 )->Unit( benchmark::kMicrosecond );

} // namespace
} // namespace Quayd

BENCHMARK_MAIN();
