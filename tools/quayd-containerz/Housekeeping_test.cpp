// The times the daemon writes, as the sweep of stopped containers reads them.
#include "tools/quayd-containerz/Housekeeping.h"

#include <gtest/gtest.h>

namespace Quayd::Containerz {
namespace {

TEST( HousekeepingTest, DaemonTimesAreReadToTheSecond ) {
   struct Case {
      char const * text;
      std::optional< std::time_t > want;
   };
   Case const cases[] = {
      { "2026-12-07T14:52:09.123456789Z", 1796655129 },
      { "2026-12-07T14:52:09Z", 1796655129 },
      { "1970-01-01T00:00:00Z", 0 },
      { "0001-01-01T00:00:00Z", std::nullopt }, // never ran
      { "", std::nullopt },
      { "yesterday", std::nullopt },
   };
   for ( auto const & c : cases ) {
      EXPECT_EQ( daemonTime( c.text ), c.want ) << c.text;
   }
}

} // namespace
} // namespace Quayd::Containerz
