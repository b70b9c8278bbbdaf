// The authorization policy: who may call which method, deny before allow,
// the four kinds of match, and documents that are no policy refused with
// the reason.
#include "tools/quayd-containerz/AuthzPolicy.h"

#include <gtest/gtest.h>

namespace Quayd::Containerz {
namespace {

using nlohmann::json;

AuthzPolicy const policy( json::parse( R"({
  "name": "lab",
  "deny_rules": [{"name": "no-guests", "source": {"principals": ["spiffe://lab/guest*"]}}],
  "allow_rules": [
    {"name": "readers", "source": {"principals": ["reader.lab", "*.ro.lab"]},
     "request": {"paths": ["/gnoi.containerz.Containerz/List*", "*/Log"]}},
    {"name": "admins", "source": {"principals": ["spiffe://lab/admin"]}},
    {"name": "tagged", "source": {"principals": ["*"]},
     "request": {"headers": [{"key": "X-Role", "values": ["ops"]}]}}]})" ) );

struct Call {
   char const * path;
   std::vector< String > principals;
   bool allowed;
   std::multimap< String, String > headers = {};
};

TEST( AuthzPolicyTest, DeniesFirstThenAllowsByRule ) {
   String const svc = "/gnoi.containerz.Containerz/";
   Call const calls[] = {
      { "ListContainer", { "reader.lab" }, true },
      { "Log", { "x.ro.lab" }, true },
      { "StartContainer", { "reader.lab" }, false },
      { "StartContainer", { "spiffe://lab/admin", "CN=admin" }, true },
      { "StartContainer", { "spiffe://lab/admin2" }, false },
      { "ListImage", { "spiffe://lab/guest1", "reader.lab" }, false },
      { "Deploy", {}, false },
      { "Deploy", { "CN=any" }, true, { { "x-role", "ops" } } },
      { "Deploy", { "CN=any" }, false, { { "x-role", "dev" } } },
      { "Deploy", {}, false, { { "x-role", "ops" } } },
   };
   for ( auto const & c : calls ) {
      auto const why = policy.refusal( svc + c.path, { c.principals, c.headers } );
      EXPECT_EQ( !why, c.allowed ) << c.path << " " << ( why ? *why : "allowed" );
   }
   EXPECT_EQ(
      policy.refusal( svc + "ListImage", { { "spiffe://lab/guest1" }, {} } ),
      svc + "ListImage denied to spiffe://lab/guest1 by rule \"no-guests\" of policy \"lab\"" );
}

TEST( AuthzPolicyTest, RefusesWhatIsNoPolicy ) {
   std::pair< char const *, char const * > const bad[] = {
      { R"([])", "is not an object" },
      { R"({"allow_rules": []})", "no name" },
      { R"({"name": "p"})", "no allow_rules" },
      { R"({"name": "p", "allow_rules": [], "deny": []})", "unknown field \"deny\"" },
      { R"({"name": "p", "allow_rules": [{"source": {}}]})", "has no name" },
      { R"({"name": "p", "allow_rules": [{"name": "r", "source": {"principals": "a"}}]})",
        "principals is not a list" },
      { R"({"name": "p", "allow_rules": [{"name": "r", "request": {"paths": [1]}}]})",
        "paths holds a value that is no string" },
      { R"({"name": "p", "allow_rules": [{"name": "r", "request": {"headers":
           [{"key": ":path", "values": ["x"]}]}}]})",
        "bad header \":path\"" },
   };
   for ( auto const & [ doc, reason ] : bad ) {
      try {
         AuthzPolicy( json::parse( doc ) );
         ADD_FAILURE() << doc << " taken";
      } catch ( std::invalid_argument const & e ) {
         EXPECT_NE( String( e.what() ).find( reason ), String::npos ) << e.what();
      }
   }
}

} // namespace
} // namespace Quayd::Containerz
