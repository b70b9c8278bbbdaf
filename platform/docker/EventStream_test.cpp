// The daemon's event stream read from pieces cut anywhere.
#include <gtest/gtest.h>

#include <fmt/format.h>

#include "platform/docker/EventStream.h"

namespace Quayd {
namespace {

using Strings = std::vector< String >;

String const kHeader = "HTTP/1.1 200 OK\r\nApi-Version: 1.41\r\nContent-Type: application/json\r\n"
                       "Transfer-Encoding: chunked\r\n\r\n";

String event( String const & name, String const & action ) {
   return R"({"status":")" + action + R"(","id":"ab12","Type":"container","Action":")" + action +
          R"(","Actor":{"ID":"ab12","Attributes":{"image":"bb:1","name":")" + name +
          R"(","quayd.agent":"quayd"}},"scope":"local","time":1765101600})" + "\n";
}

String chunk( String const & data ) { return fmt::format( "{:x}\r\n{}\r\n", data.size(), data ); }

// The answer as the daemon sends it: two events in one chunk, one split over
// two chunks, a line that is no event between them.
String const kBody = chunk( event( "web", "start" ) + event( "db", "die" ) ) +
                     chunk( event( "web", "die" ).substr( 0, 40 ) ) +
                     chunk( event( "web", "die" ).substr( 40 ) + "not json\n" ) +
                     chunk( event( "db", "destroy" ) );

std::vector< std::optional< ContainerEvent > > events( Strings const & lines ) {
   std::vector< std::optional< ContainerEvent > > out;
   for ( auto const & l : lines ) {
      out.push_back( containerEventOf( l ) );
   }
   return out;
}

String text( std::vector< std::optional< ContainerEvent > > const & es ) {
   String out;
   for ( auto const & e : es ) {
      out += e ? e->name + ":" + e->action + " " : String( "- " );
   }
   return out;
}

TEST( EventStreamTest, ThePiecesMayEndAnywhere ) {
   String const all = kHeader + kBody;
   String const want = "web:start db:die web:die - db:destroy ";
   for ( size_t piece :
         { size_t( 1 ), size_t( 2 ), size_t( 3 ), size_t( 7 ), size_t( 64 ), all.size() } ) {
      SCOPED_TRACE( piece );
      EventStreamParser p;
      Strings lines;
      for ( size_t at = 0; at < all.size(); at += piece ) {
         for ( auto & l : p.feed( std::string_view( all ).substr( at, piece ) ) ) {
            lines.push_back( std::move( l ) );
         }
         // Started exactly once the header is complete.
         EXPECT_EQ( p.started(), at + piece >= kHeader.size() ) << at;
      }
      EXPECT_EQ( text( events( lines ) ), want );
      EXPECT_FALSE( p.failed() ) << p.error();
      EXPECT_FALSE( p.ended() );
   }
}

TEST( EventStreamTest, ANewConnectionIsReadAfterTheLastOneEnded ) {
   EventStreamParser p;
   EXPECT_EQ( p.feed( kHeader + chunk( event( "web", "start" ) ) ).size(), 1u );
   EXPECT_TRUE( p.feed( "0\r\n\r\n" ).empty() );
   EXPECT_TRUE( p.ended() );
   EXPECT_TRUE( p.feed( chunk( event( "web", "die" ) ) ).empty() );

   p.reset();
   EXPECT_FALSE( p.started() );
   Strings const lines = p.feed( kHeader + chunk( event( "web", "die" ) ) );
   EXPECT_TRUE( p.started() );
   EXPECT_EQ( text( events( lines ) ), "web:die " );
}

TEST( EventStreamTest, AnUnchunkedBodyIsReadToItsEnd ) {
   EventStreamParser p;
   Strings const lines = p.feed( "HTTP/1.0 200 OK\r\nContent-Type: application/json\r\n\r\n" +
                                 event( "a", "start" ) + event( "b", "stop" ).substr( 0, 10 ) );
   EXPECT_EQ( text( events( lines ) ), "a:start " );
   EXPECT_EQ( text( events( p.feed( event( "b", "stop" ).substr( 10 ) ) ) ), "b:stop " );
}

TEST( EventStreamTest, AnAnswerThatCannotBeReadFails ) {
   struct Case {
      String bytes;
      String error;
   };
   for ( auto const & c : std::vector< Case >{
            { "HTTP/1.1 400 Bad Request\r\nContent-Length: 2\r\n\r\n{}",
              "answer: http/1.1 400 bad request" },
            { "SSH-2.0-OpenSSH\r\n\r\n", "answer: ssh-2.0-openssh" },
            { kHeader + "zz\r\n", "bad chunk size 'zz'" },
            { kHeader + "3\r\nabcXY", "no end of a chunk" },
            { kHeader + String( 300, '1' ), "no end of a chunk size" },
         } ) {
      EventStreamParser p;
      EXPECT_TRUE( p.feed( c.bytes ).empty() );
      EXPECT_TRUE( p.failed() ) << c.bytes;
      EXPECT_EQ( p.error(), c.error );
      EXPECT_TRUE( p.feed( kBody ).empty() );
   }
}

TEST( EventStreamTest, OnlyContainerEventsWithANameAreTaken ) {
   EXPECT_EQ( text( events( {
                 R"({"Type":"network","Action":"connect","Actor":{"Attributes":{"name":"x"}}})",
                 R"({"Type":"container","Action":"die","Actor":{"Attributes":{}}})",
                 R"({"Type":"container","Action":"die","Actor":{"Attributes":{"name":7}}})",
                 R"({"Type":"container","Action":"die"})",
                 R"({"Type":7})",
                 R"([1,2])",
                 R"({"Type":"container","Action":"exec_start: sh -c true",)"
                 R"("Actor":{"Attributes":{"name":"web"}}})",
              } ) ),
              "- - - - - - web:exec_start: sh -c true " );
}

// A die's exit code, which the daemon writes as text; anything else is none.
TEST( EventStreamTest, ADieCarriesItsExitCode ) {
   struct Case {
      char const * attribute;
      std::optional< int32_t > code;
   };
   for ( auto const & c :
         { Case{ R"("137")", 137 }, Case{ R"("-1")", -1 }, Case{ "137", {} },
           Case{ R"("13x")", {} }, Case{ R"("")", {} }, Case{ R"("99999999999")", {} } } ) {
      SCOPED_TRACE( c.attribute );
      auto const e = containerEventOf( fmt::format(
         R"({{"Type":"container","Action":"die","Actor":{{"Attributes":{{"name":"web",)"
         R"("exitCode":{}}}}}}})",
         c.attribute ) );
      ASSERT_TRUE( e );
      EXPECT_EQ( e->exitCode, c.code );
   }
}

} // namespace
} // namespace Quayd
