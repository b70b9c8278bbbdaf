#include "tools/quyctl/Transaction.h"

#include <hiredis/hiredis.h>

#include "platform/Exception.h"

namespace Quayd::Quyctl {

void commit( Redis::Connection & c, Edit const & e, int attempts ) {
   for ( int i = 0; i < attempts; ++i ) {
      std::vector< String > watch{ "WATCH" };
      watch.insert( watch.end(), e.keys.begin(), e.keys.end() );
      c.command( watch );
      Writes commands{ { "MULTI" } };
      for ( auto & w : e.build( c ) ) {
         commands.push_back( std::move( w ) );
      }
      commands.push_back( { "EXEC" } );
      auto const replies = c.pipeline( commands );
      auto const & exec = replies.back();
      if ( exec->type == REDIS_REPLY_ARRAY ) {
         return;
      }
   }
   String keys;
   for ( auto const & k : e.keys ) {
      keys += ( keys.empty() ? "" : ", " ) + k;
   }
   throw RuntimeException( "the edit of " + keys + " was not committed: " +
                           std::to_string( attempts ) + " concurrent changes came first" );
}

} // namespace Quayd::Quyctl
