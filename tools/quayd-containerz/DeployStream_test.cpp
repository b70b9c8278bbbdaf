#include "tools/quayd-containerz/DeployStream.h"

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

} // namespace
} // namespace Quayd::Containerz
