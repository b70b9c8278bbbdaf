#include "tools/quyctl/Quyctl.h"

#include <hiredis/hiredis.h>

#include <cmath>
#include <iomanip>
#include <ostream>

#include "model/Model.h"

namespace Quayd::Quyctl {

namespace {

char const * const kUsageText =
   "Usage: quyctl [--redis ADDR] COMMAND\n"
   "  daemon enable [--on-flash] [--flash-limit SIZE]   run the quy sub-agent\n"
   "  daemon disable                                    stop it\n"
   "  containerz [--vrf NAME] [--log-driver syslog --syslog-server URL]\n"
   "  containerz --delete                               configure or remove Containerz\n"
   "  vrf NAME --active|--inactive|--delete             set a VRF's status\n"
   "  get PATH                                          print an entity\n"
   "  set PATH FIELD=VALUE...                           write configuration fields\n"
   "  delete PATH                                       remove a configuration entity\n"
   "  show [--json]                                     the agent's status\n"
   "SIZE is bytes or a number with K, M, G or T (binary multiples), e.g. 2G.\n"
   "ADDR is host:port or a unix socket path; default $QUAYD_REDIS or 127.0.0.1:6379.\n";

// Refused input: reported with the usage hint, exit status 2.
struct UsageError : std::runtime_error {
   using std::runtime_error::runtime_error;
};

struct Target {
   String path;
   Ptr< Entity > entity;
   MountAccess access = MountAccess::read;
};

// The entity type at `path`: a mounted path, or an element "P|key" of one.
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

std::vector< String > hsetArgs( Entity const & e ) {
   std::vector< String > args{ "HSET", e.path() };
   for ( auto const & f : e.fieldTable().fields ) {
      if ( f.kind != FieldKind::elements ) {
         args.push_back( f.name );
         args.push_back( f.encode( e ) );
      }
   }
   return args;
}

// The stored fields of `e` decoded into it; invalid ones as their reason.
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

using Fields = std::vector< std::pair< String, String > >;

// An entity as shown: its fields, and those of each element (elements have
// no collections of their own).
struct Shown {
   Fields fields;
   std::vector< std::pair< String, Fields > > elements;
};

Fields collectFields( Redis::Connection & c, Entity & e ) {
   Fields fields;
   auto invalid = readFields( c, e );
   for ( auto const & f : e.fieldTable().fields ) {
      if ( f.kind == FieldKind::elements ) {
         continue;
      }
      auto it = invalid.find( f.name );
      fields.emplace_back( f.name, it != invalid.end() ? it->second
                                                       : redacted( f.name, f.encode( e ) ) );
   }
   return fields;
}

Shown collect( Redis::Connection & c, Entity & e ) {
   Shown s{ collectFields( c, e ), {} };
   if ( auto const * el = e.fieldTable().elements() ) {
      String const prefix = e.path() + "|";
      std::vector< String > keys;
      for ( auto const & key : c.scan( Redis::globEscape( prefix ) + "*" ) ) {
         keys.push_back( key.substr( prefix.size() ) );
      }
      std::sort( keys.begin(), keys.end() );
      for ( auto const & k : keys ) {
         auto element = el->elementIs( e, k, {} );
         s.elements.emplace_back( k, collectFields( c, *element ) );
      }
   }
   return s;
}

void printFields( std::ostream & out, Fields const & fields, int indent ) {
   size_t width = 0;
   for ( auto const & [ name, value ] : fields ) {
      width = std::max( width, name.size() );
   }
   String const pad( indent, ' ' );
   for ( auto const & [ name, value ] : fields ) {
      out << pad << std::left << std::setw( int( width ) + 2 ) << name << value << "\n";
   }
}

void printText( std::ostream & out, Shown const & s, int indent ) {
   printFields( out, s.fields, indent );
   for ( auto const & [ key, element ] : s.elements ) {
      out << String( indent, ' ' ) << key << "\n";
      printFields( out, element, indent + 2 );
   }
}

nlohmann::json fieldsJson( Fields const & fields ) {
   nlohmann::json j = nlohmann::json::object();
   for ( auto const & [ name, value ] : fields ) {
      auto parsed = nlohmann::json::parse( value, nullptr, false );
      j[ name ] = parsed.is_discarded() ? nlohmann::json( value ) : parsed;
   }
   return j;
}

nlohmann::json toJson( Shown const & s ) {
   nlohmann::json j = fieldsJson( s.fields );
   if ( !s.elements.empty() ) {
      auto & els = j[ "elements" ] = nlohmann::json::object();
      for ( auto const & [ key, element ] : s.elements ) {
         els[ key ] = fieldsJson( element );
      }
   }
   return j;
}

// The status sections of `show`, in the order an operator reads them.
struct Section {
   char const * title;
   String path;
};
std::vector< Section > sections() {
   return { { "Sub-agents", kSubAgentCandidatePath },
            { "Runtime manager", Cell::path( "quayd/status", 0 ) },
            { "Containerz runtime", "mgmt/gnoi/containerz/crtStatus" },
            { "Persistent image path", Cell::path( "quayd/image/persistentPathStatus", 0 ) },
            { "Images", Cell::path( "quayd/image/status", 0 ) },
            { "Registries", Cell::path( "quayd/registry/status", 0 ) },
            { "Containers", Cell::path( "quayd/container/status", 0 ) } };
}

int show( Redis::Connection & c, bool json, std::ostream & out ) {
   nlohmann::json j = nlohmann::json::object();
   for ( auto const & s : sections() ) {
      Target t = resolve( s.path );
      Shown shown = collect( c, *t.entity );
      if ( json ) {
         j[ s.path ] = toJson( shown );
         continue;
      }
      out << s.title << " (" << s.path << ")\n";
      printText( out, shown, 2 );
   }
   if ( json ) {
      out << jsonText( j, 2 ) << "\n";
   }
   return kOk;
}

// Parses "--flag" options after the first `skip` words: known flags with a
// value consume the next word.
struct Flags {
   std::map< String, String > values;
   std::set< String > present;
   std::vector< String > positional;
   bool has( String const & f ) const { return present.count( f ) != 0; }
   std::optional< String > get( String const & f ) const {
      auto it = values.find( f );
      return it == values.end() ? std::nullopt : std::optional< String >( it->second );
   }
};

Flags parseFlags( std::vector< String > const & args, size_t skip,
                  std::set< String > const & switches, std::set< String > const & withValue ) {
   Flags f;
   for ( size_t i = skip; i < args.size(); ++i ) {
      String const & a = args[ i ];
      if ( a.rfind( "--", 0 ) != 0 ) {
         f.positional.push_back( a );
      } else if ( switches.count( a ) ) {
         f.present.insert( a );
      } else if ( withValue.count( a ) ) {
         if ( i + 1 >= args.size() ) {
            throw UsageError( a + " needs a value" );
         }
         f.present.insert( a );
         f.values[ a ] = args[ ++i ];
      } else {
         throw UsageError( "unknown option " + a );
      }
   }
   return f;
}

void noPositional( Flags const & f ) {
   if ( !f.positional.empty() ) {
      throw UsageError( "unexpected argument '" + f.positional.front() + "'" );
   }
}

using Writes = std::vector< std::vector< String > >;

Writes daemon( std::vector< String > const & args ) {
   if ( args.size() < 2 || ( args[ 1 ] != "enable" && args[ 1 ] != "disable" ) ) {
      throw UsageError( "daemon needs 'enable' or 'disable'" );
   }
   bool const enable = args[ 1 ] == "enable";
   Flags f = enable ? parseFlags( args, 2, { "--on-flash" }, { "--flash-limit" } )
                    : parseFlags( args, 2, {}, {} );
   noPositional( f );
   QuaydConfig c;
   c.pathIs( "quayd/config" );
   if ( !enable ) {
      return { { "HSET", c.path(), "enabled", "false" } };
   }
   c.enabledIs( true );
   c.onFlashIs( f.has( "--on-flash" ) );
   if ( auto limit = f.get( "--flash-limit" ) ) {
      auto bytes = parseSize( *limit );
      if ( !bytes ) {
         throw UsageError( "bad --flash-limit '" + *limit + "': give bytes or a size like 2G" );
      }
      if ( !c.onFlash() ) {
         throw UsageError( "--flash-limit needs --on-flash" );
      }
      c.flashLimitIs( *bytes );
   }
   return { hsetArgs( c ) };
}

Writes containerz( std::vector< String > const & args ) {
   Flags f = parseFlags( args, 1, { "--delete" }, { "--vrf", "--log-driver", "--syslog-server" } );
   noPositional( f );
   String const path = String( "mgmt/gnoi/config|" ) + Gnoi::kContainerzMember;
   if ( f.has( "--delete" ) ) {
      if ( f.present.size() > 1 ) {
         throw UsageError( "--delete takes no other option" );
      }
      return { { "DEL", path } };
   }
   Gnoi::Containerz::CrtConfig crt;
   try {
      crt.vrfName = L3::VrfName( f.get( "--vrf" ).value_or( "default" ) );
   } catch ( std::length_error const & e ) {
      throw UsageError( e.what() );
   }
   String const driver = f.get( "--log-driver" ).value_or( "" );
   if ( driver == "syslog" ) {
      crt.logDriver = 1;
   } else if ( !driver.empty() && driver != "none" ) {
      throw UsageError( "unknown --log-driver '" + driver + "'; only 'syslog' is supported" );
   }
   if ( auto server = f.get( "--syslog-server" ) ) {
      if ( crt.logDriver != 1 ) {
         throw UsageError( "--syslog-server needs --log-driver syslog" );
      }
      crt.syslogServer = *server;
   }
   Gnoi::Containerz::Config c;
   c.pathIs( path );
   c.crtConfigIs( crt );
   return { hsetArgs( c ) };
}

Writes vrf( std::vector< String > const & args ) {
   Flags f = parseFlags( args, 1, { "--active", "--inactive", "--delete" }, {} );
   if ( f.positional.size() != 1 || f.present.size() != 1 ) {
      throw UsageError( "vrf needs a name and one of --active, --inactive, --delete" );
   }
   try {
      L3::VrfName( f.positional[ 0 ] );
   } catch ( std::length_error const & e ) {
      throw UsageError( e.what() );
   }
   String const path = Cell::path( "ip/vrf/status/local", 0 ) + "|" + f.positional[ 0 ];
   if ( f.has( "--delete" ) ) {
      return { { "DEL", path } };
   }
   Ip::VrfStatusLocal v;
   v.pathIs( path );
   bool const active = f.has( "--active" );
   v.vrfStateIs( active ? Ip::kVrfStateActive : 0 );
   v.vrfReadyIs( active );
   return { hsetArgs( v ) };
}

Writes set( std::vector< String > const & args ) {
   if ( args.size() < 3 ) {
      throw UsageError( "set needs a path and at least one FIELD=VALUE" );
   }
   Target t = configTarget( args[ 1 ] );
   std::vector< String > hset{ "HSET", t.path };
   for ( size_t i = 2; i < args.size(); ++i ) {
      auto eq = args[ i ].find( '=' );
      if ( eq == String::npos ) {
         throw UsageError( "'" + args[ i ] + "' is not FIELD=VALUE" );
      }
      String const name = args[ i ].substr( 0, eq );
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
      if ( auto err = f->decode( *t.entity, args[ i ].substr( eq + 1 ) ) ) {
         throw UsageError( t.path + " field " + name + ": not a valid " +
                           t.entity->typeName() + " value (" + err->reason + ")" );
      }
      hset.push_back( name );
      hset.push_back( f->encode( *t.entity ) );
   }
   return { hset };
}

Writes del( std::vector< String > const & args ) {
   if ( args.size() != 2 ) {
      throw UsageError( "delete needs one path" );
   }
   return { { "DEL", configTarget( args[ 1 ] ).path } };
}

int get( Redis::Connection & c, std::vector< String > const & args, std::ostream & out ) {
   Target t = resolve( args[ 1 ] );
   printText( out, collect( c, *t.entity ), 0 );
   return kOk;
}

} // namespace

std::optional< uint64_t > parseSize( String const & text ) {
   size_t end = 0;
   while ( end < text.size() && ( std::isdigit( uint8_t( text[ end ] ) ) || text[ end ] == '.' ) ) {
      ++end;
   }
   auto const dots = std::count( text.begin(), text.begin() + end, '.' );
   if ( end == size_t( dots ) || dots > 1 ) {
      return std::nullopt;
   }
   String unit = text.substr( end );
   for ( auto & ch : unit ) {
      ch = char( std::toupper( uint8_t( ch ) ) );
   }
   static std::map< String, int > const shifts{ { "", 0 },   { "B", 0 },   { "K", 10 },
                                                { "KB", 10 }, { "KIB", 10 }, { "M", 20 },
                                                { "MB", 20 }, { "MIB", 20 }, { "G", 30 },
                                                { "GB", 30 }, { "GIB", 30 }, { "T", 40 },
                                                { "TB", 40 }, { "TIB", 40 } };
   auto it = shifts.find( unit );
   if ( it == shifts.end() ) {
      return std::nullopt;
   }
   long double const value = std::stold( text.substr( 0, end ) ) * std::ldexp( 1.0L, it->second );
   if ( value >= 18446744073709551616.0L || ( it->second == 0 && value != std::floor( value ) ) ) {
      return std::nullopt;
   }
   return uint64_t( value );
}

String redacted( String const & field, String const & text ) {
   if ( field == "password" ) {
      return "***";
   }
   auto j = nlohmann::json::parse( text, nullptr, false );
   if ( j.is_object() && j.contains( "password" ) ) {
      if ( !j[ "password" ].get_ref< std::string const & >().empty() ) {
         j[ "password" ] = "***";
      }
      return jsonText( j );
   }
   return text;
}

int run( std::vector< String > const & args, Connect const & connect, std::ostream & out,
         std::ostream & err ) {
   try {
      if ( args.empty() || args[ 0 ] == "--help" || args[ 0 ] == "help" ) {
         ( args.empty() ? err : out ) << kUsageText;
         return args.empty() ? kUsage : kOk;
      }
      String const & cmd = args[ 0 ];
      Writes writes;
      if ( cmd == "daemon" ) {
         writes = daemon( args );
      } else if ( cmd == "containerz" ) {
         writes = containerz( args );
      } else if ( cmd == "vrf" ) {
         writes = vrf( args );
      } else if ( cmd == "set" ) {
         writes = set( args );
      } else if ( cmd == "delete" ) {
         writes = del( args );
      } else if ( cmd == "get" ) {
         if ( args.size() != 2 ) {
            throw UsageError( "get needs one path" );
         }
         resolve( args[ 1 ] );
         return get( *connect(), args, out );
      } else if ( cmd == "show" ) {
         Flags f = parseFlags( args, 1, { "--json" }, {} );
         noPositional( f );
         return show( *connect(), f.has( "--json" ), out );
      } else {
         throw UsageError( "unknown command '" + cmd + "'" );
      }
      connect()->pipeline( writes );
      return kOk;
   } catch ( UsageError const & e ) {
      err << "quyctl: " << e.what() << "\n(see quyctl --help)\n";
      return kUsage;
   } catch ( Redis::Error const & e ) {
      err << "quyctl: " << e.what() << "\n";
      return kFailed;
   }
}

} // namespace Quayd::Quyctl
