#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>

#include "platform/posix/Toggle.h"

namespace Quayd {
namespace {

class ToggleTest : public ::testing::Test {
 protected:
   void SetUp() override {
      dir_ = std::filesystem::temp_directory_path() /
             ( "quayd-toggles-" + std::to_string( ::getpid() ) );
      std::filesystem::create_directories( dir_ );
   }
   void TearDown() override { std::filesystem::remove_all( dir_ ); }
   bool state( String const & toggle, String const & file, bool defaultValue ) {
      return getToggleState( dir_, toggle, file, defaultValue );
   }
   void write( String const & file, String const & text ) { std::ofstream( dir_ / file ) << text; }
   std::filesystem::path dir_;
};

TEST_F( ToggleTest, AbsentFileOrNameGivesTheDefault ) {
   EXPECT_TRUE( state( "QuaydAgent", "Quayd.json", true ) );
   EXPECT_FALSE( state( "QuaydAgent", "Quayd.json", false ) );
   write( "Quayd.json", R"({"Other": false})" );
   EXPECT_TRUE( state( "QuaydAgent", "Quayd.json", true ) );
}

TEST_F( ToggleTest, FileValueWins ) {
   write( "Quayd.json", R"({"QuaydAgent": false})" );
   EXPECT_FALSE( state( "QuaydAgent", "Quayd.json", true ) );
   write( "Trellis.json", R"({"OCGNOIContainerz": true})" );
   EXPECT_TRUE( state( "OCGNOIContainerz", "Trellis.json", false ) );
}

TEST_F( ToggleTest, MalformedFileGivesTheDefault ) {
   write( "Quayd.json", R"({"QuaydAgent": fal)" );
   EXPECT_TRUE( state( "QuaydAgent", "Quayd.json", true ) );
   write( "Quayd.json", R"({"QuaydAgent": "no"})" );
   EXPECT_TRUE( state( "QuaydAgent", "Quayd.json", true ) );
}

} // namespace
} // namespace Quayd

namespace Quayd {
namespace {

TEST_F( ToggleTest, TheAgentsTogglesComeFromTheirTwoFiles ) {
   EXPECT_EQ( readToggles( dir_ ), ( Toggles{ true, true } ) );
   write( "Quayd.json", R"({"QuaydAgent": false})" );
   EXPECT_EQ( readToggles( dir_ ), ( Toggles{ false, true } ) );
   write( "Trellis.json", R"({"OCGNOIContainerz": false})" );
   EXPECT_EQ( readToggles( dir_ ), ( Toggles{ false, false } ) );
}

} // namespace
} // namespace Quayd
