#pragma once
// The subscribers to a runtime's container events, for the runtimes to keep.
#include <map>

#include "platform/ContainerRuntimeInterface.h"

namespace Quayd {

class ContainerEventSubscribers {
 public:
   uint64_t add( ContainerEventHandler handler ) {
      handlers_[ ++lastId_ ] = std::move( handler );
      return lastId_;
   }
   void del( uint64_t id ) { handlers_.erase( id ); }
   bool empty() const { return handlers_.empty(); }
   // Every subscriber, also when one of them unsubscribes itself or another.
   void notify( ContainerEvent const & e ) const {
      std::vector< uint64_t > ids;
      for ( auto const & [ id, handler ] : handlers_ ) {
         ids.push_back( id );
      }
      for ( uint64_t const id : ids ) {
         if ( auto it = handlers_.find( id ); it != handlers_.end() ) {
            ContainerEventHandler const handler = it->second;
            handler( e );
         }
      }
   }

 private:
   std::map< uint64_t, ContainerEventHandler > handlers_;
   uint64_t lastId_ = 0;
};

} // namespace Quayd
