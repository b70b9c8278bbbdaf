// The cost of the entity layer: a setter that changes its attribute and
// notifies N subscribers, a setter that stores the same value, and a keyed
// collection update.
#include <benchmark/benchmark.h>

#include "model/Model.h"
#include "platform/Reactor.h"

namespace Quayd {
namespace {

void BM_SetterNotifies( benchmark::State & state ) {
   auto config = makePtr< QuaydConfig >();
   std::vector< std::unique_ptr< Reactor > > reactors;
   uint64_t calls = 0;
   for ( int i = 0; i < state.range( 0 ); ++i ) {
      auto r = std::make_unique< Reactor >();
      r->on( config, QuaydConfig::Attr::flashLimit, [ & ] { ++calls; } );
      r->start();
      reactors.push_back( std::move( r ) );
   }
   uint64_t v = 0;
   for ( auto _ : state ) {
      config->flashLimitIs( ++v );
   }
   benchmark::DoNotOptimize( calls );
   state.SetItemsProcessed( state.iterations() );
}
BENCHMARK( BM_SetterNotifies )->Arg( 0 )->Arg( 1 )->Arg( 4 )->Arg( 16 );

void BM_SetterSameValue( benchmark::State & state ) {
   auto config = makePtr< QuaydConfig >();
   Reactor r;
   r.on( config, QuaydConfig::Attr::flashLimit, [] {} );
   r.start();
   config->flashLimitIs( 7 );
   uint64_t same = 7;
   for ( auto _ : state ) {
      // The value comes from memory each time, so the comparison is made.
      benchmark::DoNotOptimize( same );
      config->flashLimitIs( same );
      benchmark::ClobberMemory();
   }
}
BENCHMARK( BM_SetterSameValue );

void BM_ElementAddRemove( benchmark::State & state ) {
   auto dir = makePtr< ContainerStatusDir >();
   Reactor r;
   uint64_t calls = 0;
   r.onKey( dir, ContainerStatusDir::Attr::container, [ & ]( String const & ) { ++calls; } );
   r.start();
   for ( auto _ : state ) {
      dir->containerIs( "web" );
      dir->containerDel( "web" );
   }
   benchmark::DoNotOptimize( calls );
}
BENCHMARK( BM_ElementAddRemove );

void BM_RecordSetter( benchmark::State & state ) {
   auto status = makePtr< ContainerStatus >();
   ContainerParams a, b;
   a.image = "busybox:1";
   b.image = "busybox:2";
   bool flip = false;
   for ( auto _ : state ) {
      status->paramsIs( ( flip = !flip ) ? a : b );
   }
}
BENCHMARK( BM_RecordSetter );

} // namespace
} // namespace Quayd

BENCHMARK_MAIN();
