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

} // namespace
} // namespace Quayd::Containerz
