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
   void write( String const & file, String const & text ) { std::ofstream( dir_ / file ) << text; }
   std::filesystem::path dir_;
};

// A toggle's file wins when it names the toggle with a boolean; an absent
// file, another name or anything malformed gives the default.
TEST_F( ToggleTest, TheFileValueWinsOverTheDefaultOnlyWhenItIsABoolean ) {
   struct Case {
      char const * text; // nullptr: no file
      bool defaultValue;
      bool state;
   } const cases[] = {
      { nullptr, true, true },
      { nullptr, false, false },
      { R"({"Other": false})", true, true },
      { R"({"QuaydAgent": false})", true, false },
      { R"({"QuaydAgent": true})", false, true },
      { R"({"QuaydAgent": fal)", true, true },
      { R"({"QuaydAgent": "no"})", true, true },
   };
   for ( auto const & c : cases ) {
      std::filesystem::remove( dir_ / "Quayd.json" );
      if ( c.text ) {
         write( "Quayd.json", c.text );
      }
      EXPECT_EQ( getToggleState( dir_, "QuaydAgent", "Quayd.json", c.defaultValue ), c.state )
         << ( c.text ? c.text : "no file" ) << " default " << c.defaultValue;
   }
}

TEST_F( ToggleTest, TheAgentsTogglesComeFromTheirTwoFiles ) {
   EXPECT_EQ( readToggles( dir_ ), ( Toggles{ true, true } ) );
   write( "Quayd.json", R"({"QuaydAgent": false})" );
   EXPECT_EQ( readToggles( dir_ ), ( Toggles{ false, true } ) );
   write( "Trellis.json", R"({"OCGNOIContainerz": false})" );
   EXPECT_EQ( readToggles( dir_ ), ( Toggles{ false, false } ) );
}

} // namespace
} // namespace Quayd
