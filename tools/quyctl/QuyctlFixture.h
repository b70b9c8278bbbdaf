#pragma once
// quyctl run against a private redis-server, its output captured.
#include <gtest/gtest.h>

#include <sstream>

#include "platform/posix/Credentials.h"
#include "platform/redis/TestServer.h"
#include "tools/quyctl/Quyctl.h"

namespace Quayd::Quyctl {

class QuyctlTest : public ::testing::Test {
 protected:
   int quyctl( std::vector< String > args ) {
      out_.str( "" );
      err_.str( "" );
      return run(
         args,
         [ this ]( std::optional< String > const & ) {
            ++connects_;
            return std::make_unique< Redis::Connection >( server_.address() );
         },
         out_, err_, in_,
         [ this ]( std::vector< String > const & argv ) {
            ran_.push_back( argv );
            return 0;
         },
         now_, credentials_ );
   }
   std::optional< String > hget( String const & key, String const & field ) {
      return server_.client().hget( key, field );
   }
   size_t dbsize() { return server_.client().scan( "*" ).size(); }

   Redis::TestServer server_;
   std::chrono::system_clock::time_point now_ =
      std::chrono::system_clock::from_time_t( 1'796'000'000 );
   std::vector< std::vector< String > > ran_;
   std::ostringstream out_, err_;
   std::istringstream in_;
   int connects_ = 0;
   // Where registry passwords go; none keeps them inline.
   CredentialStore * credentials_ = nullptr;
};

} // namespace Quayd::Quyctl
