#include <gtest/gtest.h>

#include "platform/Host.h"

namespace Quayd {
namespace {

using namespace std::chrono_literals;

struct SettingsCase {
   char const * name;
   std::map< String, String > environment;
   FlashSettings flash;
   bool ringlogEnabled;
   bool ringlogDirFixed;
   std::optional< Seconds > startupConditionTimeout;
};

class SettingsFromEnvironment : public ::testing::TestWithParam< SettingsCase > {};

TEST_P( SettingsFromEnvironment, SetNamesCountEvenEmpty ) {
   SettingsCase const & c = GetParam();
   HostSettings const s = settingsFromEnvironment( c.environment );
   EXPECT_EQ( s.flash, c.flash );
   EXPECT_EQ( s.ringlogEnabled, c.ringlogEnabled );
   EXPECT_EQ( s.ringlogDirFixed, c.ringlogDirFixed );
   EXPECT_EQ( s.startupConditionTimeout, c.startupConditionTimeout );
   // What a container's `--env NAME` reads is the whole environment.
   EXPECT_EQ( s.environment, c.environment );
}

INSTANTIATE_TEST_SUITE_P(
   Table, SettingsFromEnvironment,
   ::testing::Values(
      SettingsCase{ "nothing", { { "PATH", "/bin" } }, {}, true, false, std::nullopt },
      SettingsCase{ "noFlashMount",
                    { { "QUAYD_NO_FLASH_MOUNT", "" } },
                    { true, false },
                    true,
                    false,
                    std::nullopt },
      SettingsCase{ "skipLbMount",
                    { { "QUY_BTEST_SKIPLBMOUNT", "1" } },
                    { false, true },
                    true,
                    false,
                    std::nullopt },
      SettingsCase{ "ringlogOff", { { "RINGLOG_DISABLE", "" } }, {}, false, false, std::nullopt },
      SettingsCase{ "ringlogDir", { { "RINGLOGDIR", "/tmp" } }, {}, true, true, std::nullopt },
      SettingsCase{
         "timeout", { { "QUY_TEST_STARTUP_CONDITION_TIMEOUT", "7" } }, {}, true, false, 7s },
      SettingsCase{ "zeroTimeout",
                    { { "QUY_TEST_STARTUP_CONDITION_TIMEOUT", "0" } },
                    {},
                    true,
                    false,
                    std::nullopt },
      SettingsCase{ "wordTimeout",
                    { { "QUY_TEST_STARTUP_CONDITION_TIMEOUT", "soon" } },
                    {},
                    true,
                    false,
                    std::nullopt } ),
   []( auto const & info ) { return String( info.param.name ); } );

} // namespace
} // namespace Quayd
