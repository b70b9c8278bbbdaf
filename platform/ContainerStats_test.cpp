// The daemon's stats answers as cgroup v1 and v2 hosts write them, and as a
// broken or hostile daemon might: every field read the way `docker stats`
// reads it, nothing thrown.
#include "platform/ContainerStats.h"

#include <gtest/gtest.h>

namespace Quayd {
namespace {

// cgroup v2: no per-core counters, inactive_file.
char const * const kV2 = R"({
  "pids_stats": {"current": 7},
  "networks": {"eth0": {"rx_bytes": 100, "tx_bytes": 10}, "eth1": {"rx_bytes": 5, "tx_bytes": 1}},
  "memory_stats": {"usage": 50000000, "limit": 268435456, "stats": {"inactive_file": 8000000}},
  "blkio_stats": {"io_service_bytes_recursive": [
     {"major": 8, "minor": 0, "op": "read", "value": 4096},
     {"major": 8, "minor": 0, "op": "write", "value": 8192},
     {"major": 8, "minor": 16, "op": "read", "value": 1}]},
  "cpu_stats": {"cpu_usage": {"total_usage": 3000000000}, "system_cpu_usage": 90000000000,
                "online_cpus": 2},
  "precpu_stats": {}
})";

// cgroup v1, from an older daemon: per-core counters instead of online_cpus.
char const * const kV1 = R"({
  "memory_stats": {"usage": 6537216, "limit": 67108864,
                   "stats": {"total_inactive_file": 537216, "cache": 999999}},
  "blkio_stats": {"io_service_bytes_recursive": [{"op": "Read", "value": 10},
                                                 {"op": "Write", "value": 20},
                                                 {"op": "Total", "value": 30}]},
  "cpu_stats": {"cpu_usage": {"total_usage": 100, "percpu_usage": [1, 2, 3, 4]},
                "system_cpu_usage": 1000}
})";

TEST( ContainerStats, AnswersAreReadAsDockerStatsReadsThem ) {
   struct Case {
      char const * what;
      char const * body;
      std::optional< StatsSample > want;
   };
   Case const cases[] = {
      { "cgroup v2", kV2,
        StatsSample{ 3000000000, 90000000000, 2, 42000000, 268435456, 7, 105, 11, 4097, 8192 } },
      { "cgroup v1", kV1, StatsSample{ 100, 1000, 4, 6000000, 67108864, 0, 0, 0, 10, 20 } },
      // A container that has stopped: the daemon answers with empty sections.
      { "stopped", R"({"memory_stats": {}, "cpu_stats": {"cpu_usage": {}}})",
        StatsSample{ 0, 0, 1, 0, 0, 0, 0, 0, 0, 0 } },
      { "more inactive cache than usage",
        R"({"memory_stats": {"usage": 5, "stats": {"inactive_file": 9}}, "cpu_stats": {}})",
        StatsSample{ 0, 0, 1, 0, 0, 0, 0, 0, 0, 0 } },
      { "wrong types and negative numbers",
        R"({"memory_stats": {"usage": "lots", "limit": -1, "stats": []},
            "networks": [1, 2], "pids_stats": {"current": 1.5},
            "blkio_stats": {"io_service_bytes_recursive": [{"op": 7, "value": 3}, "x"]},
            "cpu_stats": {"cpu_usage": {"total_usage": -5, "percpu_usage": {}},
                          "online_cpus": "2"}})",
        StatsSample{ 0, 0, 1, 0, 0, 0, 0, 0, 0, 0 } },
      { "an error answer", R"({"message": "No such container: x"})", std::nullopt },
      { "not JSON", "<html>", std::nullopt },
      { "not an object", "[1]", std::nullopt },
   };
   auto text = []( std::optional< StatsSample > const & s ) {
      if ( !s ) {
         return std::string( "none" );
      }
      return std::to_string( s->cpuNs ) + " " + std::to_string( s->systemNs ) + " " +
             std::to_string( s->onlineCpus ) + " " + std::to_string( s->memoryUsed ) + "/" +
             std::to_string( s->memoryLimit ) + " pids " + std::to_string( s->pids ) + " net " +
             std::to_string( s->netRx ) + "/" + std::to_string( s->netTx ) + " block " +
             std::to_string( s->blockRead ) + "/" + std::to_string( s->blockWrite );
   };
   for ( auto const & c : cases ) {
      EXPECT_EQ( text( parseStats( c.body ) ), text( c.want ) ) << c.what;
   }
}

TEST( ContainerStats, CpuIsTheShareOfOneCoreBetweenTwoSamples ) {
   auto sample = []( uint64_t cpu, uint64_t system, uint32_t cpus ) {
      StatsSample s;
      s.cpuNs = cpu;
      s.systemNs = system;
      s.onlineCpus = cpus;
      return s;
   };
   struct Case {
      StatsSample before, now;
      double want;
   } const cases[] = {
      // Half a core of two: 0.5 s of container time in 1 s of wall, 2 s of host time.
      { sample( 1e9, 10e9, 2 ), sample( 1.5e9, 12e9, 2 ), 50.0 },
      { sample( 0, 0, 4 ), sample( 4e9, 4e9, 4 ), 400.0 },
      { sample( 5, 10, 2 ), sample( 5, 20, 2 ), 0.0 }, // idle
      { sample( 9, 10, 2 ), sample( 1, 20, 2 ), 0.0 }, // restarted: counters went back
      { sample( 1, 10, 2 ), sample( 5, 10, 2 ), 0.0 }, // no host time passed
   };
   for ( auto const & c : cases ) {
      EXPECT_DOUBLE_EQ( cpuPercent( c.before, c.now ), c.want ) << c.want;
   }
}

} // namespace
} // namespace Quayd
