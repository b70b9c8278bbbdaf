#include "tools/quayd-containerz/DeployStream.h"

#include <random>

#include <gtest/gtest.h>

namespace Quayd::Containerz {
namespace {

// `bytes` cut into slices at `cuts` (offsets, ascending).
std::vector< grpc::Slice > sliced( std::string const & bytes, std::vector< size_t > cuts ) {
   std::vector< grpc::Slice > out;
   size_t from = 0;
   cuts.push_back( bytes.size() );
   for ( size_t const to : cuts ) {
      out.emplace_back( bytes.data() + from, to - from );
      from = to;
   }
   return out;
}

std::string joined( ImageChunk const & c ) {
   std::string out;
   for ( auto const r : c.ranges ) {
      out += r;
   }
   return out;
}

std::string contentMessage( std::string const & content ) {
   pb::DeployRequest r;
   r.set_content( content );
   return r.SerializeAsString();
}

// What the shortcut takes must be what a parse of the whole message gives;
// what it leaves, the parse judges.
void expectAsParsed( std::string const & bytes, std::vector< size_t > const & cuts ) {
   auto const c = contentOnly( sliced( bytes, cuts ) );
   if ( c ) {
      pb::DeployRequest r;
      ASSERT_TRUE( r.ParseFromString( bytes ) );
      ASSERT_TRUE( r.has_content() );
      EXPECT_EQ( joined( *c ), r.content() );
   }
}

TEST( DeployStreamTest, ContentAloneIsTakenAcrossAnyCutOfItsSlices ) {
   for ( size_t const size : { 0, 1, 127, 128, 300, 70000 } ) {
      std::string const content( size, 'c' );
      std::string const bytes = contentMessage( content );
      // Whole; the header cut after its key and within its length; the
      // content cut in two and into single bytes at its start.
      std::vector< std::vector< size_t > > const cutsOf = {
         {}, { 1 }, { 2 }, { 1, 2 }, { bytes.size() / 2 }, { 0, 1, 2, 3, 4, 5 }
      };
      for ( auto const & cuts : cutsOf ) {
         if ( !cuts.empty() && cuts.back() > bytes.size() ) {
            continue;
         }
         auto const c = contentOnly( sliced( bytes, cuts ) );
         ASSERT_TRUE( c ) << size;
         EXPECT_EQ( joined( *c ), content ) << size;
      }
   }
}

TEST( DeployStreamTest, AnyOtherMessageIsLeftToTheParse ) {
   pb::DeployRequest transfer;
   transfer.mutable_image_transfer()->set_name( "app" );
   pb::DeployRequest end;
   end.mutable_image_transfer_end();
   std::string const content = contentMessage( "abc" );
   struct Case {
      char const * what;
      std::string bytes;
   } const cases[] = {
      { "transfer", transfer.SerializeAsString() },
      { "end", end.SerializeAsString() },
      { "empty", "" },
      { "content twice", content + content },
      { "content then another field", content + "\x18\x01" },
      { "content cut short", content.substr( 0, content.size() - 1 ) },
      { "length of six bytes", std::string( "\x12\x83\x80\x80\x80\x80\x00"
                                            "abc",
                                            10 ) },
   };
   for ( auto const & c : cases ) {
      EXPECT_FALSE( contentOnly( sliced( c.bytes, {} ) ) ) << c.what;
   }
   // A length padded to five bytes is still the content's.
   auto const padded = contentOnly( sliced( std::string( "\x12\x83\x80\x80\x80\x00"
                                                         "abc",
                                                         9 ),
                                            {} ) );
   ASSERT_TRUE( padded );
   EXPECT_EQ( joined( *padded ), "abc" );
}

// Bytes from a client are anything: whatever the shortcut takes agrees with
// the parse, however they are sliced.
TEST( DeployStreamTest, RandomBytesAgreeWithTheParse ) {
   std::mt19937 rng( 7 );
   for ( int i = 0; i < 20000; ++i ) {
      std::string bytes( rng() % 12, '\0' );
      for ( auto & b : bytes ) {
         b = char( rng() % 4 == 0 ? 0x12 : rng() );
      }
      if ( rng() % 2 ) {
         bytes = contentMessage( bytes ) + bytes.substr( 0, rng() % 3 );
      }
      std::vector< size_t > cuts;
      for ( size_t at = 0; at < bytes.size(); at += 1 + rng() % 4 ) {
         cuts.push_back( at );
      }
      expectAsParsed( bytes, cuts );
   }
}

} // namespace
} // namespace Quayd::Containerz
