// container and profile: how each container runs. The parameter flags that
// `docker run` also takes, and their checks, come from the option table.
#include <boost/program_options/parsers.hpp>

#include "platform/ContainerOptions.h"
#include "platform/OptionValues.h"
#include "tools/quyctl/Command.h"

namespace Quayd::Quyctl {

namespace {

struct ContainerFlags {
   String name;
   bool remove = false, enable = false, disable = false, clearVolumes = false;
   std::optional< String > image, command, options, startupCondition, profile, memoryCeiling;
   std::optional< uint16_t > pollInterval;
   std::optional< bool > restartUnhealthy;
   std::vector< String > volumes;
   // The option table's rows by field: their value, "true"/"false" for a switch.
   std::map< String, String > table;
};

BindMountEntry parseVolume( String const & v ) {
   auto const first = v.find( ':' );
   if ( first == String::npos ) {
      throw UsageError( "bad --volume '" + v + "': give HOST:CONTAINER or HOST:CONTAINER:ro" );
   }
   String const host = v.substr( 0, first );
   String rest = v.substr( first + 1 );
   bool readOnly = false;
   if ( auto const second = rest.find( ':' ); second != String::npos ) {
      String const mode = rest.substr( second + 1 );
      if ( mode != "ro" && mode != "rw" ) {
         throw UsageError( "bad --volume '" + v + "': give HOST:CONTAINER or HOST:CONTAINER:ro" );
      }
      readOnly = mode == "ro";
      rest = rest.substr( 0, second );
   }
   return { absolutePath( host, "the --volume host path" ),
            absolutePath( rest, "the --volume container path" ), readOnly };
}

// The flags the table knows in --options, checked as the table checks them
// (the docker client checks the others when it runs the container).
void checkOptions( String const & options ) {
   std::vector< String > words;
   try {
      words = boost::program_options::split_unix( options );
   } catch ( std::exception const & e ) {
      throw UsageError( "bad --options '" + options + "': " + e.what() );
   }
   for ( auto const & [ row, value ] : parseOptionWords( words ).known ) {
      if ( auto err = optionValueError( *row, value ) ) {
         throw UsageError( "in --options: " + *err );
      }
   }
}

// --memory-ceiling in bytes; empty or 0 for none.
uint64_t parseCeiling( String const & v ) {
   if ( v.empty() ) {
      return 0;
   }
   auto const bytes = OptionValues::parseBytes( v );
   if ( !bytes || *bytes < 0 ) {
      throw UsageError( "bad --memory-ceiling '" + v + "': a size such as 512m or 1g" );
   }
   return static_cast< uint64_t >( *bytes );
}

// A ceiling at or over the hard limit could never be reached: the kernel
// kills first.
void checkCeiling( ContainerConfig const & cc ) {
   auto const limit = OptionValues::parseBytes( cc.params().memory );
   if ( cc.memoryCeiling() != 0 && limit && *limit > 0 &&
        cc.memoryCeiling() >= static_cast< uint64_t >( *limit ) ) {
      throw UsageError( "the memory ceiling (" + std::to_string( cc.memoryCeiling() ) +
                        " bytes) must be below the memory limit " + cc.params().memory );
   }
}

// The parameters with the flags given applied.
ContainerParams applied( ContainerParams const & stored, ContainerFlags const & f ) {
   ContainerParams p = stored;
   p.image = f.image.value_or( p.image );
   p.command = f.command.value_or( p.command );
   p.options = f.options.value_or( p.options );
   p.startupConditionBash = f.startupCondition.value_or( p.startupConditionBash );
   if ( f.pollInterval ) {
      p.startupConditionPollInterval.value = *f.pollInterval;
   }
   nlohmann::json j = p;
   for ( auto const & [ field, value ] : f.table ) {
      auto & slot = j[ field ];
      if ( !slot.is_number() ) {
         slot = value;
      } else if ( value == "true" || value == "false" ) {
         slot = value == "true" ? 1 : 0;
      } else {
         slot = value.empty() ? 0 : std::stoul( value );
      }
   }
   return j.get< ContainerParams >();
}

Edit containerEdit( ContainerFlags const & f, bool isProfile ) {
   char const * what = isProfile ? "profile" : "container";
   checkName( f.name, what );
   String const path =
      String( isProfile ? Paths::kProfileConfig : Paths::kContainerConfig ) + "|" + f.name;
   if ( f.remove ) {
      return fixed( { path }, { { "DEL", path } } );
   }
   if ( f.image && matches( *f.image, ".*\\s.*" ) ) {
      throw UsageError( "bad --image '" + *f.image + "': an image reference without blanks" );
   }
   if ( f.options ) {
      checkOptions( *f.options );
   }
   if ( f.profile && !f.profile->empty() ) {
      checkName( *f.profile, "profile" );
   }
   std::vector< BindMountEntry > volumes;
   for ( auto const & v : f.volumes ) {
      volumes.push_back( parseVolume( v ) );
   }
   return { { path }, [ f, path, volumes, isProfile ]( Redis::Connection & c ) {
              ContainerConfig cc;
              cc.pathIs( path );
              // A new container runs unless told otherwise; a stored one
              // keeps its state.
              bool const exists = c.exists( path );
              readForEdit( c, cc );
              cc.paramsIs( applied( cc.params(), f ) );
              if ( f.clearVolumes || !volumes.empty() ) {
                 cc.bindMountDelAll();
              }
              for ( auto const & v : volumes ) {
                 cc.bindMountIs( v );
              }
              if ( f.profile ) {
                 cc.profileIs( *f.profile );
              }
              if ( f.restartUnhealthy ) {
                 cc.restartUnhealthyIs( *f.restartUnhealthy );
              }
              if ( f.memoryCeiling ) {
                 cc.memoryCeilingIs( parseCeiling( *f.memoryCeiling ) );
              }
              checkCeiling( cc );
              if ( !isProfile ) {
                 cc.enabledIs( f.enable || ( !f.disable && ( !exists || cc.enabled() ) ) );
              }
              return Writes{ hsetArgs( cc ) };
           } };
}

// The type a flag's help gives its value.
String typeName( ContainerOption const & row ) {
   switch ( row.kind ) {
   case OptionKind::integer:
      return "INT";
   case OptionKind::bytes:
      return "SIZE";
   default:
      return "TEXT";
   }
}

void addParameters( CLI::App * cmd, std::shared_ptr< ContainerFlags > const & f ) {
   cmd->add_option( "--image", f->image, "the image" )->type_name( "IMAGE" );
   cmd->add_option( "--command", f->command, "the command, as a shell splits words" )
      ->type_name( "TEXT" );
   cmd->add_option( "--options", f->options,
                    "further docker run flags, e.g. \"-e A=1 --cap-add NET_ADMIN\"" )
      ->type_name( "FLAGS" );
   for ( auto const & row : containerOptions() ) {
      if ( !*row.field ) {
         continue;
      }
      String const field = row.field;
      String const flag = "--" + String( row.flag );
      String const names = row.shortFlag ? "-" + String( 1, row.shortFlag ) + "," + flag : flag;
      if ( !row.takesValue() ) {
         auto * on = cmd->add_flag_callback(
            names, [ f, field ] { f->table[ field ] = "true"; }, "docker run " + flag );
         auto * off = cmd->add_flag_callback(
            "--no-" + String( row.flag ), [ f, field ] { f->table[ field ] = "false"; },
            "without " + flag );
         on->excludes( off );
         continue;
      }
      cmd->add_option_function< String >(
            names, [ f, field ]( String const & v ) { f->table[ field ] = v; },
            String( row.hint ) + "; empty: the daemon's default" )
         ->type_name( typeName( row ) )
         ->check(
            [ &row ]( String const & v ) {
               return v.empty() ? String() : optionValueError( row, v ).value_or( "" );
            },
            "" );
   }
   cmd->add_option( "-v,--volume", f->volumes,
                    "a bind mount; repeatable, replaces the stored ones" )
      ->type_name( "HOST:CONTAINER[:ro]" );
   cmd->add_flag( "--clear-volumes", f->clearVolumes, "remove every bind mount" );
   cmd->add_option( "--startup-condition", f->startupCondition,
                    "a bash test that must pass before it starts" )
      ->type_name( "BASH" );
   cmd->add_option( "--poll-interval", f->pollInterval, "seconds between two condition runs" )
      ->type_name( "SECONDS" )
      ->check( CLI::Range( 1, 65535 ).description( "" ) );
   cmd->add_option( "--memory-ceiling", f->memoryCeiling,
                    "restart it when its memory in use stays above this (below --memory; "
                    "empty: none)" )
      ->type_name( "SIZE" )
      ->check(
         []( String const & v ) {
            try {
               parseCeiling( v );
               return String();
            } catch ( UsageError const & e ) {
               return String( e.what() );
            }
         },
         "" );
   cmd->add_flag( "--delete", f->remove, "remove it" );
}

} // namespace

void addContainerCommands( CLI::App & app, Parsed & p ) {
   CLI::App * container =
      command( app, "container", "configure a container, or remove it",
               "quyctl container web --image nginx:1.25 --memory 256m --restart always" );
   addDryRun( container, p );
   auto cf = std::make_shared< ContainerFlags >();
   container->add_option( "name", cf->name, "the container" )->required()->type_name( "NAME" );
   addParameters( container, cf );
   container
      ->add_option( "--profile", cf->profile,
                    "the profile whose parameters it takes where its own "
                    "are unset (empty: none)" )
      ->type_name( "PROFILE" );
   auto * enable = container->add_flag( "--enable", cf->enable, "run it" );
   auto * disable = container->add_flag( "--disable", cf->disable, "stop it and keep it stopped" );
   enable->excludes( disable );
   auto * unhealthy = container->add_flag_callback(
      "--restart-unhealthy", [ cf ] { cf->restartUnhealthy = true; },
      "restart it when its health check reports it unhealthy" );
   auto * noUnhealthy = container->add_flag_callback(
      "--no-restart-unhealthy", [ cf ] { cf->restartUnhealthy = false; },
      "leave it running when unhealthy" );
   unhealthy->excludes( noUnhealthy );
   container->callback( [ &p, cf, container ] {
      deleteAlone( *container );
      p.edit = containerEdit( *cf, false );
   } );

   CLI::App * profileCmd = command( app, "profile", "configure parameters containers may share",
                                    "quyctl profile small --memory 64m --cpu-shares 512" );
   addDryRun( profileCmd, p );
   auto pf = std::make_shared< ContainerFlags >();
   profileCmd->add_option( "name", pf->name, "the profile" )->required()->type_name( "NAME" );
   addParameters( profileCmd, pf );
   profileCmd->callback( [ &p, pf, profileCmd ] {
      deleteAlone( *profileCmd );
      p.edit = containerEdit( *pf, true );
   } );
}

} // namespace Quayd::Quyctl
