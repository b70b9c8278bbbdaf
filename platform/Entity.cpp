#include "platform/Entity.h"

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
   observer_ = o;
   if ( auto const * el = fieldTable().elements() ) {
      for ( auto const & k : el->keys( *this ) ) {
         el->element( *this, k )->observerIs( o );
      }
   }
}

void Entity::elementAddedNotify( AttrId attr, Entity & element ) {
   if ( observer_ ) {
      element.observerIs( observer_ );
      observer_->elementAdded( *this, element );
   }
   String const key = element.key();
   notify( attr, &key );
}

void Entity::elementRemovedNotify( AttrId attr, Entity & element ) {
   if ( observer_ ) {
      observer_->elementRemoved( *this, element );
      element.observerIs( nullptr );
   }
   String const key = element.key();
   notify( attr, &key );
}

} // namespace Quayd
