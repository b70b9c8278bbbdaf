// Log and trace lines stay bounded whatever their arguments hold.
#include <gtest/gtest.h>

#include "platform/Log.h"
#include "platform/Trace.h"
#include "platform/testing/Capture.h"

namespace Quayd {
namespace {

LogDescriptor const QUAYD_TEST_MESSAGE{ "QUAYD_TEST_MESSAGE", "Name %s refused.", "", "", 3 };

TEST( LineCap, ALongValueIsCutAndAShortOneKeptWhole ) {
   Testing::LogCapture logs;
   Testing::TraceCapture traces;
   TraceHandle const trace( &traces, "LogTest" );
   String const huge( 10240, 'v' );
   log( &logs, QUAYD_TEST_MESSAGE, huge );
   QTRACE( trace, 0, "name {} refused", huge );
   log( &logs, QUAYD_TEST_MESSAGE, String( "red" ) );
   QTRACE( trace, 0, "name {} refused", "red" );
   ASSERT_EQ( logs.messages.size(), 2u );
   ASSERT_EQ( traces.lines.size(), 2u );
   for ( String const & cut : { logs.messages[ 0 ].text, traces.lines[ 0 ].text } ) {
      EXPECT_EQ( cut.size(), kMaxLineBytes );
      EXPECT_TRUE( cut.ends_with( "vvv [...]" ) ) << cut.substr( cut.size() - 20 );
   }
   EXPECT_EQ( logs.messages[ 1 ].text, "Name red refused." );
   EXPECT_EQ( traces.lines[ 1 ].text, "name red refused" );
}

} // namespace
} // namespace Quayd
