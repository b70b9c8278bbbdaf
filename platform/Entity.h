#pragma once
// Typed entities of the state database.
//
// An entity type is declared once with QUAYD_ENTITY and a field list; that one
// declaration yields the typed accessors, the change notifications and the
// field table from which the state database encodes and decodes the entity.
//
//   #define QUAYD_CONFIG_FIELDS( F ) <continued>
//      F( ATTR, bool, enabled, false ) <continued>
//      F( ATTR, uint64_t, flashLimit, 0 ) <continued>
//      F( ELEMENTS, ContainerConfig, container, _ )
//   QUAYD_ENTITY( QuaydConfig, QUAYD_CONFIG_FIELDS );
// and in one source file
//   QUAYD_ENTITY_TABLE( QuaydConfig, QUAYD_CONFIG_FIELDS )
// (<continued> stands for the backslash that continues the macro line.)
//
// Each field is F( KIND, type, name, extra ); kinds and what they generate:
//   ATTR     T, x, init  x(), xIs(v)
//   COUNTER  T, x, init  x(), xIs(v), xInc(d) -> new value
//   SET      T, x, _     x() (the set), xHas(v), xIs(v) adds, xDel(v), xDelAll()
//   MAP      V, x, _     String keys: x() (the map), x(k) -> V const* or null,
//                        xIs(k, v), xIs(v) (key from keyOf(v)), xDel(k), xDelAll()
//   ELEMENTS E, x, _     String keys: x() (the map), x(k) -> Ptr<E> or null, xIs(k) creates or
//                        returns, xDel(k), xDelAll(); elements are entities of
//                        their own, stored at "<path>|<key>"; one per entity type
//
// Setters that store the value already held notify nobody. Notifications carry
// the field's Attr id and, for SET, MAP and ELEMENTS, the key. They run
// synchronously inside the setter; see Notifier.h for re-entrancy.
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <vector>

#include "platform/Codec.h"
#include "platform/Notifier.h"

namespace Quayd {

class Entity;

// Sees every change of the entities it is attached to: the state database's
// write-through of status entities.
class EntityObserver {
 public:
   virtual ~EntityObserver() = default;
   virtual void attrChanged( Entity & e, AttrId attr ) = 0;
   virtual void elementAdded( Entity & parent, Entity & element ) = 0;
   virtual void elementRemoved( Entity & parent, Entity & element ) = 0;
};

enum class FieldKind { attr, counter, set, map, elements };

struct FieldInfo {
   char const * name;
   AttrId id;
   FieldKind kind;
   std::function< String( Entity const & ) > encode;
   std::function< std::optional< DecodeError >( Entity &, std::string_view ) > decode;
   std::function< void( Entity & ) > reset;
   // ELEMENTS only.
   std::function< std::vector< String >( Entity const & ) > keys;
   std::function< Ptr< Entity >( Entity const &, String const & ) > element;
   // Creates the element (or returns the existing one); `prepare` fills a new
   // element before anyone is told of it.
   std::function< Ptr< Entity >( Entity &, String const &,
                                 std::function< void( Entity & ) > const & ) >
      elementIs;
   std::function< void( Entity &, String const & ) > elementDel;
};

struct FieldTable {
   std::vector< FieldInfo > fields;
   FieldInfo const * find( std::string_view name ) const;
   FieldInfo const * elements() const; // the ELEMENTS field, if any
};

class Entity : public Notifier {
 public:
   String const & path() const { return path_; }
   void pathIs( String p ) { path_ = std::move( p ); }
   // For an element of a collection: its key there.
   String const & key() const { return key_; }
   void keyIs( String k ) { key_ = std::move( k ); }

   virtual char const * typeName() const = 0;
   virtual FieldTable const & fieldTable() const = 0;

   std::vector< EntityObserver * > const & observers() const { return observers_; }
   // Attaches an observer to this entity and, recursively, to its elements
   // (and to those added later); attaching one twice is the same as once.
   void observerIs( EntityObserver * o );
   // Detaches it again, here and below.
   void observerDel( EntityObserver * o );

   // For a value held through a pointer and changed in place: stores and
   // announces it as if it had been set anew.
   void changedInPlace( AttrId attr ) { changed( attr ); }

   // The path of the element `key` of this entity's collection.
   String elementPath( String const & key ) const { return path_ + "|" + key; }

 protected:
   void changed( AttrId attr, String const * key = nullptr ) {
      for ( auto * o : observers_ ) {
         o->attrChanged( *this, attr );
      }
      notify( attr, key );
   }
   void elementAddedNotify( AttrId attr, Entity & element );
   void elementRemovedNotify( AttrId attr, Entity & element );

   template < typename K, typename V, typename SetFn, typename DelFn >
   static void applyMap( std::map< K, V > const & cur, std::map< K, V > const & next, SetFn set,
                         DelFn del ) {
      std::vector< K > gone;
      for ( auto const & [ k, v ] : cur ) {
         if ( !next.count( k ) ) {
            gone.push_back( k );
         }
      }
      for ( auto const & k : gone ) {
         del( k );
      }
      for ( auto const & [ k, v ] : next ) {
         set( k, v );
      }
   }

 private:
   String path_;
   String key_;
   std::vector< EntityObserver * > observers_;
};

// Looks a key up in an element map.
template < typename E >
Ptr< E > findElement( std::map< String, Ptr< E > > const & m, String const & k ) {
   auto it = m.find( k );
   return it == m.end() ? Ptr< E >() : it->second;
}

} // namespace Quayd

#define QUAYD_F_ENUM( KIND, T, name, X ) name,
#define QUAYD_F_MEMBER( KIND, T, name, X ) QUAYD_M_##KIND( T, name, X )
#define QUAYD_F_STORAGE( KIND, T, name, X ) QUAYD_S_##KIND( T, name, X )
#define QUAYD_F_TABLE( KIND, T, name, X ) QUAYD_T_##KIND( T, name, X )
#define QUAYD_ATTR_ID( name ) static_cast< ::Quayd::AttrId >( Attr::name )

#define QUAYD_M_ATTR( T, name, init )         \
   T const & name() const { return name##_; } \
   void name##Is( T const & v ) {             \
      if ( name##_ == v )                     \
         return;                              \
      name##_ = v;                            \
      changed( QUAYD_ATTR_ID( name ) );       \
   }
#define QUAYD_S_ATTR( T, name, init ) T name##_ = init;
#define QUAYD_T_ATTR( T, name, init )                                               \
   t.fields.push_back(                                                              \
      { #name,                                                                      \
        QUAYD_ATTR_ID( name ),                                                      \
        ::Quayd::FieldKind::attr,                                                   \
        []( ::Quayd::Entity const & e ) {                                           \
           return ::Quayd::encodeValue( static_cast< Self const & >( e ).name##_ ); \
        },                                                                          \
        []( ::Quayd::Entity & e,                                                    \
            std::string_view text ) -> std::optional< ::Quayd::DecodeError > {      \
           T v{};                                                                   \
           if ( auto err = ::Quayd::decodeValue( text, v ) )                        \
              return err;                                                           \
           static_cast< Self & >( e ).name##Is( v );                                \
           return std::nullopt;                                                     \
        },                                                                          \
        []( ::Quayd::Entity & e ) { static_cast< Self & >( e ).name##Is( init ); }, \
        {},                                                                         \
        {},                                                                         \
        {},                                                                         \
        {} } );

#define QUAYD_M_COUNTER( T, name, init )   \
   QUAYD_M_ATTR( T, name, init )           \
   T name##Inc( T delta ) {                \
      if ( delta != 0 ) {                  \
         name##_ += delta;                 \
         changed( QUAYD_ATTR_ID( name ) ); \
      }                                    \
      return name##_;                      \
   }
#define QUAYD_S_COUNTER( T, name, init ) QUAYD_S_ATTR( T, name, init )
#define QUAYD_T_COUNTER( T, name, init ) QUAYD_T_ATTR( T, name, init )

#define QUAYD_M_SET( T, name, unused )                                     \
   std::set< T > const & name() const { return name##_; }                  \
   bool name##Has( T const & v ) const { return name##_.count( v ) != 0; } \
   void name##Is( T const & v ) {                                          \
      if ( !name##_.insert( v ).second )                                   \
         return;                                                           \
      changed( QUAYD_ATTR_ID( name ), &v );                                \
   }                                                                       \
   void name##Del( T const & v ) {                                         \
      if ( !name##_.erase( v ) )                                           \
         return;                                                           \
      changed( QUAYD_ATTR_ID( name ), &v );                                \
   }                                                                       \
   void name##DelAll() {                                                   \
      while ( !name##_.empty() )                                           \
         name##Del( T( *name##_.begin() ) );                               \
   }
#define QUAYD_S_SET( T, name, unused ) std::set< T > name##_;
#define QUAYD_T_SET( T, name, unused )                                                             \
   t.fields.push_back( { #name,                                                                    \
                         QUAYD_ATTR_ID( name ),                                                    \
                         ::Quayd::FieldKind::set,                                                  \
                         []( ::Quayd::Entity const & e ) {                                         \
                            return ::Quayd::encodeValue(                                           \
                               static_cast< Self const & >( e ).name##_ );                         \
                         },                                                                        \
                         []( ::Quayd::Entity & e,                                                  \
                             std::string_view text ) -> std::optional< ::Quayd::DecodeError > {    \
                            std::set< T > v;                                                       \
                            if ( auto err = ::Quayd::decodeValue( text, v ) )                      \
                               return err;                                                         \
                            auto & self = static_cast< Self & >( e );                              \
                            std::vector< T > gone;                                                 \
                            for ( auto const & x : self.name##_ )                                  \
                               if ( !v.count( x ) )                                                \
                                  gone.push_back( x );                                             \
                            for ( auto const & x : gone )                                          \
                               self.name##Del( x );                                                \
                            for ( auto const & x : v )                                             \
                               self.name##Is( x );                                                 \
                            return std::nullopt;                                                   \
                         },                                                                        \
                         []( ::Quayd::Entity & e ) { static_cast< Self & >( e ).name##DelAll(); }, \
                         {},                                                                       \
                         {},                                                                       \
                         {},                                                                       \
                         {} } );

#define QUAYD_M_MAP( V, name, unused )                                     \
   std::map< ::Quayd::String, V > const & name() const { return name##_; } \
   V const * name( ::Quayd::String const & k ) const {                     \
      auto it = name##_.find( k );                                         \
      return it == name##_.end() ? nullptr : &it->second;                  \
   }                                                                       \
   void name##Is( ::Quayd::String const & k, V const & v ) {               \
      auto it = name##_.find( k );                                         \
      if ( it != name##_.end() && it->second == v )                        \
         return;                                                           \
      name##_[ k ] = v;                                                    \
      changed( QUAYD_ATTR_ID( name ), &k );                                \
   }                                                                       \
   template < typename VV = V >                                            \
   void name##Is( VV const & v ) {                                         \
      name##Is( keyOf( v ), v );                                           \
   }                                                                       \
   void name##Del( ::Quayd::String const & k ) {                           \
      if ( !name##_.erase( k ) )                                           \
         return;                                                           \
      changed( QUAYD_ATTR_ID( name ), &k );                                \
   }                                                                       \
   void name##DelAll() {                                                   \
      while ( !name##_.empty() )                                           \
         name##Del( ::Quayd::String( name##_.begin()->first ) );           \
   }
#define QUAYD_S_MAP( V, name, unused ) std::map< ::Quayd::String, V > name##_;
#define QUAYD_T_MAP( V, name, unused )                                                    \
   t.fields.push_back(                                                                    \
      { #name,                                                                            \
        QUAYD_ATTR_ID( name ),                                                            \
        ::Quayd::FieldKind::map,                                                          \
        []( ::Quayd::Entity const & e ) {                                                 \
           return ::Quayd::encodeValue( static_cast< Self const & >( e ).name##_ );       \
        },                                                                                \
        []( ::Quayd::Entity & e,                                                          \
            std::string_view text ) -> std::optional< ::Quayd::DecodeError > {            \
           std::map< ::Quayd::String, V > v;                                              \
           if ( auto err = ::Quayd::decodeValue( text, v ) )                              \
              return err;                                                                 \
           auto & self = static_cast< Self & >( e );                                      \
           applyMap(                                                                      \
              self.name##_, v,                                                            \
              [ & ]( ::Quayd::String const & k, V const & x ) { self.name##Is( k, x ); }, \
              [ & ]( ::Quayd::String const & k ) { self.name##Del( k ); } );              \
           return std::nullopt;                                                           \
        },                                                                                \
        []( ::Quayd::Entity & e ) { static_cast< Self & >( e ).name##DelAll(); },         \
        {},                                                                               \
        {},                                                                               \
        {},                                                                               \
        {} } );

#define QUAYD_M_ELEMENTS( E, name, unused )                                                \
   std::map< ::Quayd::String, ::Quayd::Ptr< E > > const & name() const { return name##_; } \
   ::Quayd::Ptr< E > name( ::Quayd::String const & k ) const {                             \
      return ::Quayd::findElement( name##_, k );                                           \
   }                                                                                       \
   ::Quayd::Ptr< E > name##Is( ::Quayd::String const & k,                                  \
                               std::function< void( E & ) > const & prepare = {} ) {       \
      if ( auto existing = name( k ) )                                                     \
         return existing;                                                                  \
      ::Quayd::Ptr< E > el( new E );                                                       \
      el->keyIs( k );                                                                      \
      el->pathIs( elementPath( k ) );                                                      \
      if ( prepare )                                                                       \
         prepare( *el );                                                                   \
      name##_[ k ] = el;                                                                   \
      elementAddedNotify( QUAYD_ATTR_ID( name ), *el );                                    \
      return el;                                                                           \
   }                                                                                       \
   void name##Del( ::Quayd::String const & k ) {                                           \
      auto it = name##_.find( k );                                                         \
      if ( it == name##_.end() )                                                           \
         return;                                                                           \
      ::Quayd::Ptr< E > el = it->second;                                                   \
      name##_.erase( it );                                                                 \
      elementRemovedNotify( QUAYD_ATTR_ID( name ), *el );                                  \
   }                                                                                       \
   void name##DelAll() {                                                                   \
      while ( !name##_.empty() )                                                           \
         name##Del( ::Quayd::String( name##_.begin()->first ) );                           \
   }
#define QUAYD_S_ELEMENTS( E, name, unused ) std::map< ::Quayd::String, ::Quayd::Ptr< E > > name##_;
#define QUAYD_T_ELEMENTS( E, name, unused )                                                        \
   t.fields.push_back( { #name,                                                                    \
                         QUAYD_ATTR_ID( name ),                                                    \
                         ::Quayd::FieldKind::elements,                                             \
                         {},                                                                       \
                         {},                                                                       \
                         []( ::Quayd::Entity & e ) { static_cast< Self & >( e ).name##DelAll(); }, \
                         []( ::Quayd::Entity const & e ) {                                         \
                            std::vector< ::Quayd::String > keys;                                   \
                            for ( auto const & kv : static_cast< Self const & >( e ).name##_ )     \
                               keys.push_back( kv.first );                                         \
                            return keys;                                                           \
                         },                                                                        \
                         []( ::Quayd::Entity const & e, ::Quayd::String const & k ) {              \
                            return ::Quayd::Ptr< ::Quayd::Entity >(                                \
                               static_cast< Self const & >( e ).name( k ) );                       \
                         },                                                                        \
                         []( ::Quayd::Entity & e, ::Quayd::String const & k,                       \
                             std::function< void( ::Quayd::Entity & ) > const & prepare ) {        \
                            return ::Quayd::Ptr< ::Quayd::Entity >(                                \
                               static_cast< Self & >( e ).name##Is( k, [ & ]( E & el ) {           \
                                  if ( prepare )                                                   \
                                     prepare( el );                                                \
                               } ) );                                                              \
                         },                                                                        \
                         []( ::Quayd::Entity & e, ::Quayd::String const & k ) {                    \
                            static_cast< Self & >( e ).name##Del( k );                             \
                         } } );

// Declares entity class `Name` from the field list macro `FIELDS`. Its field
// table, and with it the class's virtual table and the codec of every field,
// is defined once, in a source file, by QUAYD_ENTITY_TABLE: only that file
// compiles them.
#define QUAYD_ENTITY( Name, FIELDS )                                \
   class Name : public ::Quayd::Entity {                            \
      using Self = Name;                                            \
                                                                    \
    public:                                                         \
      enum class Attr : ::Quayd::AttrId { FIELDS( QUAYD_F_ENUM ) }; \
      static constexpr char const * kTypeName = #Name;              \
      FIELDS( QUAYD_F_MEMBER )                                      \
      ::Quayd::FieldTable const & fieldTable() const override;      \
      char const * typeName() const override { return kTypeName; }  \
                                                                    \
    private:                                                        \
      static ::Quayd::FieldTable makeFieldTable();                  \
      FIELDS( QUAYD_F_STORAGE )                                     \
   }

#define QUAYD_ENTITY_TABLE( Name, FIELDS )                       \
   ::Quayd::FieldTable const & Name::fieldTable() const {        \
      static ::Quayd::FieldTable const table = makeFieldTable(); \
      return table;                                              \
   }                                                             \
   ::Quayd::FieldTable Name::makeFieldTable() {                  \
      ::Quayd::FieldTable t;                                     \
      FIELDS( QUAYD_F_TABLE )                                    \
      return t;                                                  \
   }
