#include "platform/ContainerStats.h"

#include <algorithm>
#include <iterator>

#include <nlohmann/json.hpp>

#include "platform/Types.h"

namespace Quayd {

namespace {

using Json = nlohmann::json;

// What the daemon wrote at `path`, or null: any part may be missing or of
// another type than expected.
Json const * find( Json const & j, std::initializer_list< char const * > path ) {
   Json const * at = &j;
   for ( char const * key : path ) {
      auto const it = at->is_object() ? at->find( key ) : at->end();
      if ( !at->is_object() || it == at->end() ) {
         return nullptr;
      }
      at = &*it;
   }
   return at;
}

// A counter, 0 where it is absent or not a non-negative whole number.
uint64_t counter( Json const & j, std::initializer_list< char const * > path ) {
   Json const * at = find( j, path );
   return !at                        ? 0
          : at->is_number_unsigned() ? at->get< uint64_t >()
          : at->is_number_integer()  ? uint64_t( std::max< int64_t >( 0, at->get< int64_t >() ) )
                                     : 0;
}

} // namespace

std::optional< StatsSample > parseStats( std::string_view body ) {
   Json const j = Json::parse( body, nullptr, false );
   if ( !j.is_object() || !j.contains( "memory_stats" ) || !j.contains( "cpu_stats" ) ) {
      return std::nullopt;
   }
   StatsSample s;
   s.cpuNs = counter( j, { "cpu_stats", "cpu_usage", "total_usage" } );
   s.systemNs = counter( j, { "cpu_stats", "system_cpu_usage" } );
   s.onlineCpus =
      uint32_t( std::min< uint64_t >( counter( j, { "cpu_stats", "online_cpus" } ), UINT32_MAX ) );
   if ( s.onlineCpus == 0 ) {
      // Older daemons give only the per-core counters.
      Json const * per = find( j, { "cpu_stats", "cpu_usage", "percpu_usage" } );
      s.onlineCpus = per && per->is_array() && !per->empty() ? uint32_t( per->size() ) : 1;
   }
   // The inactive file cache is reclaimable: cgroup v2 names it
   // inactive_file, v1 total_inactive_file.
   uint64_t const usage = counter( j, { "memory_stats", "usage" } );
   uint64_t inactive = counter( j, { "memory_stats", "stats", "inactive_file" } );
   if ( inactive == 0 ) {
      inactive = counter( j, { "memory_stats", "stats", "total_inactive_file" } );
   }
   s.memoryUsed = usage > inactive ? usage - inactive : 0;
   s.memoryLimit = counter( j, { "memory_stats", "limit" } );
   s.pids = counter( j, { "pids_stats", "current" } );
   if ( Json const * nets = find( j, { "networks" } ); nets && nets->is_object() ) {
      for ( auto const & n : *nets ) {
         s.netRx += counter( n, { "rx_bytes" } );
         s.netTx += counter( n, { "tx_bytes" } );
      }
   }
   Json const * io = find( j, { "blkio_stats", "io_service_bytes_recursive" } );
   if ( io && io->is_array() ) {
      for ( auto const & e : *io ) {
         Json const * o = find( e, { "op" } );
         String const op = o && o->is_string() ? o->get< String >() : "";
         if ( op == "read" || op == "Read" ) {
            s.blockRead += counter( e, { "value" } );
         } else if ( op == "write" || op == "Write" ) {
            s.blockWrite += counter( e, { "value" } );
         }
      }
   }
   return s;
}

double cpuPercent( StatsSample const & before, StatsSample const & now ) {
   if ( now.cpuNs <= before.cpuNs || now.systemNs <= before.systemNs ) {
      return 0;
   }
   double const cpu = double( now.cpuNs - before.cpuNs );
   double const system = double( now.systemNs - before.systemNs );
   return cpu / system * std::max< uint32_t >( 1, now.onlineCpus ) * 100.0;
}

ScaledBytes scaleBytes( uint64_t bytes ) {
   static constexpr char const * kUnits[] = { "B", "KiB", "MiB", "GiB", "TiB" };
   double v = static_cast< double >( bytes );
   size_t u = 0;
   while ( v >= 1024 && u + 1 < std::size( kUnits ) ) {
      v /= 1024;
      ++u;
   }
   return { v, kUnits[ u ] };
}

} // namespace Quayd
