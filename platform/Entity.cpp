#include "platform/Entity.h"

#include <algorithm>

namespace Quayd {

FieldInfo const * FieldTable::find( std::string_view name ) const {
   for ( auto const & f : fields ) {
      if ( name == f.name ) {
         return &f;
      }
   }
   return nullptr;
}

FieldInfo const * FieldTable::elements() const {
   for ( auto const & f : fields ) {
      if ( f.kind == FieldKind::elements ) {
         return &f;
      }
   }
   return nullptr;
}

void Entity::observerIs( EntityObserver * o ) {
   if ( std::find( observers_.begin(), observers_.end(), o ) == observers_.end() ) {
      observers_.push_back( o );
   }
   if ( auto const * el = fieldTable().elements() ) {
      for ( auto const & k : el->keys( *this ) ) {
         el->element( *this, k )->observerIs( o );
      }
   }
}

void Entity::observerDel( EntityObserver * o ) {
   std::erase( observers_, o );
   if ( auto const * el = fieldTable().elements() ) {
      for ( auto const & k : el->keys( *this ) ) {
         el->element( *this, k )->observerDel( o );
      }
   }
}

void Entity::elementAddedNotify( AttrId attr, Entity & element ) {
   for ( auto * o : observers_ ) {
      element.observerIs( o );
      o->elementAdded( *this, element );
   }
   String const key = element.key();
   notify( attr, &key );
}

void Entity::elementRemovedNotify( AttrId attr, Entity & element ) {
   for ( auto * o : observers_ ) {
      o->elementRemoved( *this, element );
      element.observerDel( o );
   }
   String const key = element.key();
   notify( attr, &key );
}

} // namespace Quayd
