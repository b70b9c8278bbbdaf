#include "tools/quayd-containerz/Statuses.h"

#include <gtest/gtest.h>

#include "platform/Exception.h"
#include "tools/quayd-containerz/CallError.h"

namespace Quayd::Containerz {
namespace {

using C = grpc::StatusCode;

TEST( StatusesTest, DaemonAnswersAndFailuresMapToCodes ) {
   struct Answer {
      long http;
      C code;
   } const answers[] = {
      { 400, C::INVALID_ARGUMENT },    { 403, C::PERMISSION_DENIED }, { 404, C::NOT_FOUND },
      { 409, C::FAILED_PRECONDITION }, { 500, C::INTERNAL },          { 503, C::UNAVAILABLE },
   };
   for ( auto const & a : answers ) {
      EXPECT_EQ( codeOfAnswer( a.http ), a.code ) << a.http;
   }

   CallError const conflict( C::ALREADY_EXISTS, "a container web exists already" );
   DaemonUnansweredException const down( "connect: no such file", false );
   DaemonUnansweredException const silent( "Timeout was reached", true );
   ApiRequestException const refused( "invalid reference format" );
   RuntimeException const failed( "the daemon failed" );
   struct Case {
      std::exception const & e;
      CallState state;
      C code;
   } const cases[] = {
      { conflict, {}, C::ALREADY_EXISTS },
      { down, {}, C::UNAVAILABLE },
      { silent, {}, C::DEADLINE_EXCEEDED },
      { refused, {}, C::INVALID_ARGUMENT },
      { failed, {}, C::INTERNAL },
      // The client's state comes first, whatever the failure it caused.
      { down, { .deadlinePassed = true }, C::DEADLINE_EXCEEDED },
      { conflict, { .deadlinePassed = true }, C::DEADLINE_EXCEEDED },
      { failed, { .cancelled = true }, C::CANCELLED },
   };
   for ( auto const & c : cases ) {
      grpc::Status const s = statusOf( c.e, "container web", c.state );
      EXPECT_EQ( s.error_code(), c.code ) << c.e.what();
      EXPECT_NE( s.error_message().find( "container web" ), String::npos ) << s.error_message();
   }
}

} // namespace
} // namespace Quayd::Containerz
