// get, set and delete: any entity of the state database by its path.
#include <ostream>

#include "tools/quyctl/Command.h"
#include "tools/quyctl/Show.h"

namespace Quayd::Quyctl {

namespace {

bool isRegistry( Target const & t ) {
   return dynamic_cast< RegistryConfig const * >( t.entity.get() ) != nullptr;
}

Edit setEdit( String const & path, std::vector< String > const & assignments, bool dryRun,
              CredentialStore * store ) {
   Target t = configTarget( path );
   std::vector< String > hset{ "HSET", t.path };
   std::shared_ptr< void const > hold;
   for ( auto const & a : assignments ) {
      auto eq = a.find( '=' );
      if ( eq == String::npos ) {
         throw UsageError( "'" + a + "' is not FIELD=VALUE" );
      }
      String const name = a.substr( 0, eq );
      auto const * f = t.entity->fieldTable().find( name );
      if ( !f || f->kind == FieldKind::elements ) {
         String known;
         for ( auto const & g : t.entity->fieldTable().fields ) {
            if ( g.kind != FieldKind::elements ) {
               known += known.empty() ? g.name : String( ", " ) + g.name;
            }
         }
         throw UsageError( t.path + " has no field '" + name + "' (fields: " + known + ")" );
      }
      if ( auto err = f->decode( *t.entity, a.substr( eq + 1 ) ) ) {
         throw UsageError( t.path + " field " + name + ": not a valid " + t.entity->typeName() +
                           " value (" + err->reason + ")" );
      }
      if ( auto * r = dynamic_cast< RegistryConfig * >( t.entity.get() ); r && !dryRun ) {
         hold = keepPassword( store, *r );
      }
      hset.push_back( name );
      hset.push_back( f->encode( *t.entity ) );
   }
   Edit e = fixed( { t.path }, { hset } );
   e.hold = std::move( hold );
   if ( isRegistry( t ) ) {
      e.after = credentialSweep( store );
   }
   return e;
}

} // namespace

void addPathCommands( CLI::App & app, Parsed & p, CredentialStore * credentials ) {
   auto path = std::make_shared< String >();
   auto fields = std::make_shared< std::vector< String > >();

   CLI::App * get =
      command( app, "get", "print an entity, configuration or status", "quyctl get quayd/config" );
   get->add_option( "path", *path, "the entity's path" )->required()->type_name( "PATH" );
   get->callback( [ &p, path ] {
      resolve( *path );
      p.query = [ path ]( Redis::Connection & c, Streams const & s ) {
         printText( s.out, collect( c, *resolve( *path ).entity ), 0 );
         return 0;
      };
   } );

   CLI::App * set = command( app, "set", "write fields of a configuration entity",
                             "quyctl set quayd/image/persistentPathConfig path=/mnt/flash/" );
   addDryRun( set, p );
   set->add_option( "path", *path, "the entity's path" )->required()->type_name( "PATH" );
   set->add_option( "fields", *fields, "the fields to write" )
      ->required()
      ->type_name( "FIELD=VALUE..." );
   set->callback( [ &p, path, fields, credentials ] {
      p.edit = setEdit( *path, *fields, p.dryRun, credentials );
   } );

   CLI::App * del = command( app, "delete", "remove a configuration entity",
                             "quyctl delete quayd/container/config|web" );
   addDryRun( del, p );
   del->add_option( "path", *path, "the entity's path" )->required()->type_name( "PATH" );
   del->callback( [ &p, path, credentials ] {
      Target const t = configTarget( *path );
      p.edit = fixed( { t.path }, { { "DEL", t.path } } );
      if ( isRegistry( t ) ) {
         p.edit->after = credentialSweep( credentials );
      }
   } );
}

} // namespace Quayd::Quyctl
