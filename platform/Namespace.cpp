#include "platform/Namespace.h"

#include <stdexcept>

namespace Quayd {

NamespaceName::NamespaceName( String n ) : name_( std::move( n ) ) {
   if ( name_.size() > kMaxLength ) {
      throw std::length_error( "namespace name longer than 150 bytes" );
   }
}

} // namespace Quayd
