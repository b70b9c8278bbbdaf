#include "tools/quyctl/Command.h"

#include <regex>

#include "platform/Exception.h"

namespace Quayd::Quyctl {

Edit fixed( std::vector< String > keys, Writes writes ) {
   return { std::move( keys ), [ w = std::move( writes ) ]( Redis::Connection & ) { return w; } };
}

CLI::App * command( CLI::App & app, char const * name, char const * what, char const * example ) {
   CLI::App * cmd = app.add_subcommand( name, what );
   cmd->footer( String( "Example:\n  " ) + example );
   return cmd;
}

void addDryRun( CLI::App * cmd, Parsed & p ) {
   cmd->add_flag( "--dry-run", p.dryRun, "print what would be written and write nothing" );
}

void deleteAlone( CLI::App const & cmd ) {
   if ( cmd.get_option( "--delete" )->count() == 0 ) {
      return;
   }
   for ( auto const * o : cmd.get_options() ) {
      if ( o->count() && !o->get_positional() && o->check_name( "--delete" ) == false &&
           !o->check_name( "--dry-run" ) ) {
         throw UsageError( "--delete takes no other option, not " + o->get_name() );
      }
   }
}

std::vector< String > hsetArgs( Entity const & e ) {
   std::vector< String > args{ "HSET", e.path() };
   auto const fields = fieldArgs( e );
   args.insert( args.end(), fields.begin(), fields.end() );
   return args;
}

std::vector< String > fieldArgs( Entity const & e ) {
   std::vector< String > args;
   for ( auto const & f : e.fieldTable().fields ) {
      if ( f.kind != FieldKind::elements ) {
         args.push_back( f.name );
         args.push_back( f.encode( e ) );
      }
   }
   return args;
}

std::map< String, String > readFields( Redis::Connection & c, Entity & e ) {
   std::map< String, String > invalid;
   for ( auto const & [ field, text ] : c.hgetall( e.path() ) ) {
      if ( auto const * f = e.fieldTable().find( field ); f && f->kind != FieldKind::elements ) {
         if ( auto err = f->decode( e, text ) ) {
            invalid[ field ] = "<invalid: " + err->reason + ">";
         }
      }
   }
   return invalid;
}

void readForEdit( Redis::Connection & c, Entity & e ) {
   auto const invalid = readFields( c, e );
   if ( !invalid.empty() ) {
      auto const & [ field, why ] = *invalid.begin();
      throw RuntimeException( e.path() + " field " + field + " holds " + why +
                              "; rewrite it with 'quyctl set' or delete the entry first" );
   }
}

Target resolve( String const & path ) {
   for ( auto const & e : quaydMountProfile().entries ) {
      if ( e.path == path ) {
         Ptr< Entity > ent = e.factory();
         ent->pathIs( path );
         return { path, ent, e.access };
      }
      if ( path.size() > e.path.size() + 1 && path.compare( 0, e.path.size(), e.path ) == 0 &&
           path[ e.path.size() ] == '|' ) {
         Ptr< Entity > parent = e.factory();
         parent->pathIs( e.path );
         if ( auto const * el = parent->fieldTable().elements() ) {
            String const key = path.substr( e.path.size() + 1 );
            return { path, el->elementIs( *parent, key, {} ), e.access };
         }
      }
   }
   throw UsageError( "unknown path '" + path + "'; 'quyctl show' lists the status paths" );
}

Target configTarget( String const & path ) {
   Target t = resolve( path );
   if ( t.access != MountAccess::read ) {
      throw UsageError( path + " is status that the agent writes; it cannot be set" );
   }
   return t;
}

bool matches( String const & text, char const * pattern ) {
   return std::regex_match( text, std::regex( pattern ) );
}

String const & absolutePath( String const & p, String const & what ) {
   if ( p.empty() || p[ 0 ] != '/' ) {
      throw UsageError( what + " must be an absolute path, not '" + p + "'" );
   }
   return p;
}

void checkName( String const & name, char const * what ) {
   if ( !matches( name, "[A-Za-z0-9][A-Za-z0-9_.-]+" ) ) {
      throw UsageError( "bad " + String( what ) + " name '" + name +
                        "': two or more letters, digits, '_', '.' or '-' (not first)" );
   }
}

} // namespace Quayd::Quyctl
