#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "platform/Toggle.h"

namespace Quayd {
namespace {

class ToggleTest : public ::testing::Test {
 protected:
   void SetUp() override {
      dir_ = std::filesystem::temp_directory_path() /
             ( "quayd-toggles-" + std::to_string( ::getpid() ) );
      std::filesystem::create_directories( dir_ );
      ::setenv( "QUAYD_TOGGLE_DIR", dir_.c_str(), 1 );
   }
   void TearDown() override {
      ::unsetenv( "QUAYD_TOGGLE_DIR" );
      std::filesystem::remove_all( dir_ );
   }
   void write( String const & file, String const & text ) { std::ofstream( dir_ / file ) << text; }
   std::filesystem::path dir_;
};

TEST_F( ToggleTest, AbsentFileOrNameGivesTheDefault ) {
   EXPECT_TRUE( getToggleState( "QuaydAgent", "Quayd.json", true ) );
   EXPECT_FALSE( getToggleState( "QuaydAgent", "Quayd.json", false ) );
   write( "Quayd.json", R"({"Other": false})" );
   EXPECT_TRUE( getToggleState( "QuaydAgent", "Quayd.json", true ) );
}

TEST_F( ToggleTest, FileValueWins ) {
   write( "Quayd.json", R"({"QuaydAgent": false})" );
   EXPECT_FALSE( getToggleState( "QuaydAgent", "Quayd.json", true ) );
   write( "Trellis.json", R"({"OCGNOIContainerz": true})" );
   EXPECT_TRUE( getToggleState( "OCGNOIContainerz", "Trellis.json", false ) );
}

TEST_F( ToggleTest, MalformedFileGivesTheDefault ) {
   write( "Quayd.json", R"({"QuaydAgent": fal)" );
   EXPECT_TRUE( getToggleState( "QuaydAgent", "Quayd.json", true ) );
   write( "Quayd.json", R"({"QuaydAgent": "no"})" );
   EXPECT_TRUE( getToggleState( "QuaydAgent", "Quayd.json", true ) );
}

} // namespace
} // namespace Quayd
