#include "tools/quayd-containerz/ImageNames.h"

#include <gtest/gtest.h>

namespace Quayd::Containerz {
namespace {

TEST( ImageNamesTest, NamesAndTagsTheDaemonTakes ) {
   struct Case {
      String name, tag;
      bool ok;
   } const cases[] = {
      { "app", "v1", true },
      { "app", "", true },
      { "team/app_x.y-z", "1.0_rc-2", true },
      { "registry.example:5000/team/app", "latest", true },
      { "localhost/app", "V1", true },
      { "a__b", "x", true },
      { "", "v1", false },
      { "App", "v1", false },
      { "app/", "v1", false },
      { "/app", "v1", false },
      { "a..b", "v1", false },
      { "app-", "v1", false },
      { "app:v1", "", false },
      { "bad host:x/app", "v1", false },
      { String( 256, 'a' ), "v1", false },
      { "app", ".v1", false },
      { "app", "-v1", false },
      { "app", "v1/x", false },
      { "app", String( 129, 't' ), false },
      { "app", String( 128, 't' ), true },
   };
   for ( auto const & c : cases ) {
      auto const why = imageRefRefusal( c.name, c.tag );
      EXPECT_EQ( !why, c.ok ) << c.name << ":" << c.tag << " " << why.value_or( "" );
   }
}

} // namespace
} // namespace Quayd::Containerz
