// The daemon's log stream into lines, however its pieces arrive.
#include "tools/quayd-containerz/LogFrames.h"

#include <gtest/gtest.h>

namespace Quayd::Containerz {
namespace {

using Lines = std::vector< String >;

String frame( char stream, String const & text ) {
   String h( 8, '\0' );
   h[ 0 ] = stream;
   h[ 6 ] = static_cast< char >( text.size() >> 8 );
   h[ 7 ] = static_cast< char >( text.size() & 0xff );
   return h + text;
}

// Feeds `data` in pieces of `piece` bytes.
Lines linesOf( bool framed, String const & data, size_t piece ) {
   Lines out;
   LogLines lines( framed, [ &out ]( String const & l ) { out.push_back( l ); } );
   for ( size_t i = 0; i < data.size(); i += piece ) {
      lines.feed( std::string_view( data ).substr( i, piece ) );
   }
   lines.finish();
   return out;
}

TEST( LogFramesTest, FramedOutputBecomesLinesWhateverThePieces ) {
   String const long300( 300, 'x' );
   String const data = frame( 1, "one\ntw" ) + frame( 2, "o\r\n" ) + frame( 1, long300 + "\nlast" );
   Lines const want{ "one", "two", long300, "last" };
   for ( size_t piece : { 1, 3, 8, 9, 1000 } ) {
      EXPECT_EQ( linesOf( true, data, piece ), want ) << "pieces of " << piece;
   }
}

TEST( LogFramesTest, TerminalOutputIsTakenAsItIs ) {
   EXPECT_EQ( linesOf( false, "a\r\nb\n\nc", 2 ), ( Lines{ "a", "b", "", "c" } ) );
}

TEST( LogFramesTest, InvalidUtf8IsReplaced ) {
   String const r = "\xEF\xBF\xBD";
   struct Case {
      String in, out;
   } const cases[] = {
      { "plain", "plain" },
      { "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80" },
      { "a\xFF"
        "b",
        "a" + r + "b" },
      { "\xC3", r },                         // cut short
      { "\xC0\xAF", r + r },                 // overlong
      { "\xE0\x80\xAF", r + r + r },         // overlong
      { "\xED\xA0\x80", r + r + r },         // a surrogate
      { "\xF4\x90\x80\x80", r + r + r + r }, // above U+10FFFF
      { "\x80x", r + "x" },                  // a lone continuation
   };
   for ( auto const & c : cases ) {
      EXPECT_EQ( validUtf8( c.in ), c.out ) << c.in;
   }
}

TEST( LogFramesTest, LongLinesComeInPiecesOfValidText ) {
   size_t const max = LogLines::kMaxLine;
   String const euro = "\xE2\x82\xAC";
   String straddling( max - 1, 'x' );
   straddling += euro + "y";
   struct Case {
      String line;
      std::vector< size_t > sizes; // of the pieces
   } const cases[] = {
      { String( max, 'a' ), { max } },
      { String( 3 * max + 5, 'a' ), { max, max, max, 5 } },
      // The character that would be cut goes whole into the next piece.
      { straddling, { max - 1, 4 } },
      // Each invalid byte grows to three.
      { String( max, '\xFF' ), { max - 1, max - 1, max - 1, 3 } },
   };
   for ( auto const & c : cases ) {
      for ( bool ended : { true, false } ) {
         for ( size_t piece : { size_t( 1000 ), size_t( 1 ) << 20 } ) {
            Lines const got = linesOf( false, c.line + ( ended ? "\n" : "" ), piece );
            std::vector< size_t > sizes;
            String joined;
            for ( auto const & l : got ) {
               sizes.push_back( l.size() );
               EXPECT_EQ( validUtf8( l ), l );
               joined += l;
            }
            EXPECT_EQ( sizes, c.sizes ) << c.line.size() << " bytes in pieces of " << piece;
            EXPECT_EQ( joined, validUtf8( c.line ) );
         }
      }
   }
}

} // namespace
} // namespace Quayd::Containerz
