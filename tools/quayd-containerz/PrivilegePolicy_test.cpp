// The privilege policy: bind sources judged by their real path, the host's
// own trees never bound, devices, capabilities and another container's
// network only when listed.
#include "tools/quayd-containerz/PrivilegePolicy.h"

#include <filesystem>

#include <google/protobuf/text_format.h>
#include <gtest/gtest.h>

#include "tools/quayd-containerz/CallError.h"

namespace Quayd::Containerz {
namespace {

namespace fs = std::filesystem;
namespace pb = ::gnoi::containerz;

class PrivilegePolicyTest : public ::testing::Test {
 protected:
   void SetUp() override {
      top_ = fs::temp_directory_path() /
             ( "privilege-" + std::to_string( getpid() ) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name() );
      fs::create_directories( top_ / "volumes/app" );
      fs::create_directories( top_ / "apps" );
      fs::create_directories( top_ / "agent" );
      fs::create_symlink( "/etc", top_ / "volumes/etc-link" );
      fs::create_symlink( top_ / "agent", top_ / "volumes/agent-link" );
   }
   void TearDown() override { fs::remove_all( top_ ); }

   PrivilegePolicy defaults() const { return { top_ / "volumes", { top_ / "agent" } }; }
   PrivilegePolicy listing() const {
      return { nlohmann::json{ { "bindPrefixes", { ( top_ / "apps" ).string(), "/etc" } },
                               { "devices", { "/dev/null" } },
                               { "capabilities", { "cap_sys_admin", "ALL" } },
                               { "containerNetworks", { "bgp" } } },
               defaults() };
   }
   // The refusal's message, empty when the request passes.
   static String refusal( PrivilegePolicy const & p, String const & text ) {
      pb::StartContainerRequest r;
      EXPECT_TRUE( google::protobuf::TextFormat::ParseFromString( text, &r ) ) << text;
      try {
         p.checkStart( r );
         return "";
      } catch ( CallError const & e ) {
         EXPECT_EQ( e.code(), grpc::StatusCode::PERMISSION_DENIED );
         return e.what();
      }
   }

   fs::path top_;
};

TEST_F( PrivilegePolicyTest, RefusesByDefaultWhatIsListedNowhere ) {
   String const t = top_.string();
   struct Case {
      String request;
      String byDefault; // what the refusal says; empty: allowed
      bool listedAllows;
   };
   Case const cases[] = {
      { "volumes { name: \"data\" mount_point: \"/d\" }", "", true },
      { "volumes { name: \"" + t + "/volumes/app\" mount_point: \"/d\" }", "", true },
      { "volumes { name: \"" + t + "/apps/x\" mount_point: \"/d\" }",
        "volumes[0].name " + t + "/apps/x: resolves to " + t + "/apps/x, under no allowed", true },
      { "volumes { name: \"/\" mount_point: \"/d\" }",
        "volumes[0].name /: resolves to /, which is never", false },
      { "volumes { name: \"/etc\" mount_point: \"/d\" }", "which is never bound", false },
      { "volumes { name: \"/var/lib\" mount_point: \"/d\" }", "which is never bound", false },
      { "volumes { name: \"" + t + "/volumes/../../../../../etc/x\" mount_point: \"/d\" }",
        "resolves to /etc/x", false },
      { "volumes { name: \"" + t + "/volumes/etc-link/ssh\" mount_point: \"/d\" }",
        "resolves to /etc/ssh", false },
      { "volumes { name: \"" + t + "/volumes/agent-link\" mount_point: \"/d\" }", "never bound",
        false },
      { "volumes { name: \"rel/x\" mount_point: \"/d\" }", "an absolute path", false },
      { "devices { src_path: \"/dev/null\" }", "devices[0].src_path /dev/null: no device", true },
      { "devices { src_path: \"/dev/zero\" }", "no device", false },
      { "cap { add: \"NET_RAW\" }", "", true },
      { "cap { add: \"CAP_SYS_ADMIN\" }", "cap.add CAP_SYS_ADMIN: beyond", true },
      { "cap { add: \"all\" }", "cap.add all: beyond", true },
      { "cap { add: \"NET_ADMIN\" }", "beyond", false },
      { "network: \"host\"", "", true },
      { "network: \"container:bgp\"", "network container:bgp: another container's", true },
      { "network: \"container:other\"", "another container's", false },
   };
   auto const byDefault = defaults();
   auto const listed = listing();
   for ( auto const & c : cases ) {
      String const why = refusal( byDefault, c.request );
      EXPECT_EQ( why.empty(), c.byDefault.empty() ) << c.request << ": " << why;
      EXPECT_NE( why.find( c.byDefault ), String::npos ) << c.request << ": " << why;
      EXPECT_EQ( refusal( listed, c.request ).empty(), c.listedAllows ) << c.request;
   }
   EXPECT_THROW( listed.checkBindSource( "local_mount_options.mountpoint", t + "/agent/x" ),
                 CallError );
   listed.checkBindSource( "local_mount_options.mountpoint", t + "/apps/y" );
}

TEST_F( PrivilegePolicyTest, RefusesWhatIsNoPolicy ) {
   for ( char const * doc : { R"([])", R"({"binds": []})", R"({"bindPrefixes": ["rel"]})",
                              R"({"devices": "/dev/null"})" } ) {
      EXPECT_THROW( PrivilegePolicy( nlohmann::json::parse( doc ), defaults() ),
                    std::invalid_argument )
         << doc;
   }
}

} // namespace
} // namespace Quayd::Containerz
