// image load and image persistent-path: the tarballs the agent loads.
#include "tools/quyctl/Command.h"

namespace Quayd::Quyctl {

void addImageCommands( CLI::App & app, Parsed & p ) {
   CLI::App * image =
      command( app, "image", "load image tarballs", "quyctl image load /mnt/flash/app.tar" );
   image->require_subcommand( 1 );

   CLI::App * load = command( *image, "load", "load a tarball at every start, or stop loading it",
                              "quyctl image load /mnt/flash/app.tar [--delete]" );
   addDryRun( load, p );
   auto tarball = std::make_shared< String >();
   auto unload = std::make_shared< bool >( false );
   load->add_option( "path", *tarball, "the tarball, an absolute path" )
      ->required()
      ->type_name( "PATH" );
   load->add_flag( "--delete", *unload, "stop loading it" );
   load->callback( [ &p, tarball, unload ] {
      String const path = absolutePath( *tarball, "the tarball" );
      bool const remove = *unload;
      p.edit = Edit{ { Paths::kImageConfig }, [ path, remove ]( Redis::Connection & c ) {
                       ImageLoadConfigDir d;
                       d.pathIs( Paths::kImageConfig );
                       readForEdit( c, d );
                       if ( remove ) {
                          d.tarballDel( path );
                       } else {
                          d.tarballIs( path );
                       }
                       return Writes{ hsetArgs( d ) };
                    } };
   } );

   CLI::App * persistent =
      command( *image, "persistent-path", "load the tarballs in DIR/.quayd at start",
               "quyctl image persistent-path /mnt/flash/" );
   addDryRun( persistent, p );
   auto dir = std::make_shared< String >();
   persistent->add_option( "dir", *dir, "the directory, an absolute path" )
      ->required()
      ->type_name( "DIR" );
   persistent->callback( [ &p, dir ] {
      // Its attribute `path` hides the entity's own path.
      PersistentPathConfig c;
      c.pathIs( absolutePath( *dir, "the persistent path" ) );
      std::vector< String > hset{ "HSET", Paths::kPersistentPathConfig };
      auto const fields = fieldArgs( c );
      hset.insert( hset.end(), fields.begin(), fields.end() );
      p.edit = fixed( { Paths::kPersistentPathConfig }, { hset } );
   } );
}

} // namespace Quayd::Quyctl
