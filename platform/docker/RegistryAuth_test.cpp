// Image names as a pull takes them, and the credentials it sends.
#include "platform/docker/RegistryAuth.h"

#include <gtest/gtest.h>

#include "platform/Codec.h"

namespace Quayd {
namespace {

struct NameCase {
   char const * ref;
   char const * repository;
   char const * tag;
   char const * registry;
};
class ImageNames : public ::testing::TestWithParam< NameCase > {};

TEST_P( ImageNames, SplitIntoRepositoryTagAndRegistry ) {
   auto const n = parseImageName( GetParam().ref );
   EXPECT_EQ( n.repository, GetParam().repository );
   EXPECT_EQ( n.tag, GetParam().tag );
   EXPECT_EQ( n.registry, GetParam().registry );
}

INSTANTIATE_TEST_SUITE_P(
   Table, ImageNames,
   ::testing::Values(
      NameCase{ "busybox", "busybox", "latest", "docker.io" },
      NameCase{ "bb:1", "bb", "1", "docker.io" },
      NameCase{ "library/bb:1", "library/bb", "1", "docker.io" },
      NameCase{ "127.0.0.1:5000/bb:1", "127.0.0.1:5000/bb", "1", "127.0.0.1:5000" },
      NameCase{ "127.0.0.1:5000/bb", "127.0.0.1:5000/bb", "latest", "127.0.0.1:5000" },
      NameCase{ "localhost/x/bb@sha256:ab", "localhost/x/bb", "sha256:ab", "localhost" },
      NameCase{ "reg.example/bb:2", "reg.example/bb", "2", "reg.example" } ) );

TEST( RegistryAuthTest, Base64BothWays ) {
   for ( String s : { "", "a", "ab", "abc", "ops:s3cret", "\xff\xfe?>" } ) {
      EXPECT_EQ( base64Decode( base64Encode( s ) ), s );
      EXPECT_EQ( base64Decode( base64Encode( s, true ) ), s );
   }
   EXPECT_EQ( base64Encode( "ops:s3cret" ), "b3BzOnMzY3JldA==" );
   EXPECT_EQ( base64Decode( "b3Bz!" ), std::nullopt );
}

TEST( RegistryAuthTest, TheLoginOfTheImagesRegistryIsSent ) {
   auto config = nlohmann::json::parse(
      R"({"auths":{"127.0.0.1:5000":{"auth":"b3BzOnMzY3JldA=="},"other:1":{"auth":"eDp5"}}})" );
   auto sent = base64Decode( registryAuth( config, "127.0.0.1:5000" ) );
   ASSERT_TRUE( sent );
   EXPECT_EQ( nlohmann::json::parse( *sent ),
              nlohmann::json( { { "username", "ops" },
                                { "password", "s3cret" },
                                { "serveraddress", "127.0.0.1:5000" } } ) );
   EXPECT_EQ( registryAuth( config, "docker.io" ), "" );
   EXPECT_EQ( registryAuth( nlohmann::json::object(), "127.0.0.1:5000" ), "" );
}

} // namespace
} // namespace Quayd
