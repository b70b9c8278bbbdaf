// Which state-database addresses the agent and quyctl accept: only this
// machine's, as a unix socket or a loopback address.
#include <gtest/gtest.h>

#include "platform/redis/RedisClient.h"

namespace Quayd::Redis {
namespace {

struct AddressCase {
   char const * text;
   char const * str; // what it parses to; null: refused
};

class AddressTest : public ::testing::TestWithParam< AddressCase > {};

TEST_P( AddressTest, ParsesOrRefuses ) {
   auto const & c = GetParam();
   if ( c.str ) {
      EXPECT_EQ( Address::parse( c.text ).str(), c.str );
   } else {
      EXPECT_THROW( Address::parse( c.text ), Error ) << c.text;
   }
}

INSTANTIATE_TEST_SUITE_P(
   Addresses, AddressTest,
   ::testing::Values(
      AddressCase{ "/run/redis/redis.sock", "/run/redis/redis.sock" },
      AddressCase{ "127.0.0.1:6379", "127.0.0.1:6379" },
      AddressCase{ "127.1.2.3:7000", "127.1.2.3:7000" },
      AddressCase{ "localhost", "localhost:6379" }, AddressCase{ "[::1]:6380", "[::1]:6380" },
      AddressCase{ "[::1]", "[::1]:6379" }, AddressCase{ "10.0.0.5:6379", nullptr },
      AddressCase{ "redis.example:6379", nullptr }, AddressCase{ "0.0.0.0:6379", nullptr },
      AddressCase{ "[2001:db8::1]:6379", nullptr }, AddressCase{ "127.0.0.1:0", nullptr },
      AddressCase{ "127.0.0.1:", nullptr }, AddressCase{ ":6379", nullptr },
      AddressCase{ "[::1", nullptr }, AddressCase{ "[::1]x", nullptr } ),
   []( auto const & info ) { return "Case" + std::to_string( info.index ); } );

} // namespace
} // namespace Quayd::Redis
