#include "tools/quyctl/Quyctl.h"

#include <hiredis/hiredis.h>

#include <cmath>
#include <filesystem>
#include <iomanip>
#include <istream>
#include <ostream>
#include <regex>

#include <boost/program_options/parsers.hpp>

#include "model/Model.h"
#include "platform/ContainerOptions.h"
#include "platform/Credentials.h"
#include "platform/Exception.h"

namespace Quayd::Quyctl {

namespace {

char const * const kUsageText =
   "Usage: quyctl [--redis ADDR] COMMAND\n"
   "  daemon enable [--on-flash] [--flash-limit SIZE]   run the quy sub-agent\n"
   "  daemon disable                                    stop it\n"
   "  containerz [--vrf NAME] [--log-driver syslog --syslog-server URL]\n"
   "  containerz --delete                               configure or remove Containerz\n"
   "  vrf NAME --active|--inactive|--delete             set a VRF's status\n"
   "  image load PATH [--delete]                        load an image tarball, or unload it\n"
   "  image persistent-path DIR                         tarballs in DIR/.quayd load at start\n"
   "  registry NAME --server HOST[:PORT] [--username U] [--password P | --password-stdin]\n"
   "           [--insecure]                             log in to a registry\n"
   "  registry NAME --delete\n"
   "  container NAME [PARAMETERS] [--profile P] [--enable|--disable]\n"
   "  container NAME --delete                           configure or remove a container\n"
   "  profile NAME [PARAMETERS] | --delete              parameters containers may name\n"
   "    PARAMETERS: --image I --command C --options O --cpu-shares N --cpuset-cpus 0-1\n"
   "      --memory 512m --network MODE --restart POLICY --privileged --tty --read-only\n"
   "      --init --volume HOST:CONTAINER[:ro] (repeatable) --clear-volumes\n"
   "      --startup-condition TEXT --poll-interval SECONDS\n"
   "  get PATH                                          print an entity\n"
   "  set PATH FIELD=VALUE...                           write configuration fields\n"
   "  delete PATH                                       remove a configuration entity\n"
   "  show [images|registries|containers|container NAME|containerz] [--json]\n"
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

// The stored fields of `e`, for an edit that keeps the ones it does not
// change. A field that does not decode would be silently replaced by its
// default, so the edit is refused instead.
void readForEdit( Redis::Connection & c, Entity & e ) {
   auto const invalid = readFields( c, e );
   if ( !invalid.empty() ) {
      auto const & [ field, why ] = *invalid.begin();
      throw RuntimeException( e.path() + " field " + field + " holds " + why +
                              "; rewrite it with 'quyctl set' or delete the entry first" );
   }
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
      fields.emplace_back( f.name,
                           it != invalid.end() ? it->second : redacted( f.name, f.encode( e ) ) );
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

// What `show` shows: everything, a group of sections, or one container.
struct ShowWhat {
   std::vector< String > titles{}; // empty: every section
   bool containerTable = false;
   String container{};
   bool containerz = false;
};

ShowWhat showWhat( std::vector< String > const & words ) {
   String const w = words.empty() ? "" : words[ 0 ];
   if ( w == "container" ) {
      if ( words.size() != 2 ) {
         throw UsageError( "show container needs one name" );
      }
      return { {}, false, words[ 1 ] };
   }
   if ( words.size() > 1 ) {
      throw UsageError( "unexpected argument '" + words[ 1 ] + "'" );
   }
   if ( w.empty() ) {
      return {};
   }
   if ( w == "images" ) {
      return { { "Persistent image path", "Images" } };
   }
   if ( w == "registries" ) {
      return { { "Registries" } };
   }
   if ( w == "containers" ) {
      return { { "Containers" }, true };
   }
   if ( w == "containerz" ) {
      return { {}, false, "", true };
   }
   throw UsageError(
      "show takes images, registries, containers, container NAME or containerz, not '" + w + "'" );
}

String fieldOf( Fields const & fields, String const & name ) {
   for ( auto const & [ n, v ] : fields ) {
      if ( n == name ) {
         return v;
      }
   }
   return {};
}

// The profile a container's configuration names, marked when no such
// profile is configured (the container then runs with its own parameters).
String profileOf( Redis::Connection & c, String const & container ) {
   String const p = c.hget( "quayd/container/config|" + container, "profile" ).value_or( "" );
   if ( p.empty() || c.exists( "quayd/container/profileConfig|" + p ) ) {
      return p;
   }
   return p + " (missing)";
}

// The daemon's word on one container: its state, "absent", or "?" when the
// daemon could not be asked.
using DaemonStates = std::optional< std::map< String, String > >;
String daemonStateOf( DaemonStates const & states, String const & name ) {
   if ( !states ) {
      return "?";
   }
   auto it = states->find( name );
   return it == states->end() ? "absent" : it->second;
}

// One line per container: what an operator scans for.
void printContainerTable( Redis::Connection & c, std::ostream & out, Shown const & s,
                          DaemonStates const & daemon ) {
   out << std::left << std::setw( 20 ) << "NAME" << std::setw( 24 ) << "STATE" << std::setw( 12 )
       << "DAEMON" << std::setw( 28 ) << "IMAGE" << std::setw( 20 ) << "PROFILE" << std::setw( 10 )
       << "ATTEMPTS"
       << "LAST ERROR\n";
   for ( auto const & [ name, fields ] : s.elements ) {
      auto params = nlohmann::json::parse( fieldOf( fields, "params" ), nullptr, false );
      String const image = params.is_object() ? params.value( "image", String() ) : String();
      out << std::setw( 20 ) << name << std::setw( 24 ) << fieldOf( fields, "state" )
          << std::setw( 12 ) << daemonStateOf( daemon, name ) << std::setw( 28 ) << image
          << std::setw( 20 ) << profileOf( c, name ) << std::setw( 10 )
          << fieldOf( fields, "startAttempts" ) << fieldOf( fields, "lastError" ) << "\n";
   }
}

int showContainer( Redis::Connection & c, String const & name, bool json, std::ostream & out,
                   std::ostream & err ) {
   String const statusPath = Cell::path( "quayd/container/status", 0 ) + "|" + name;
   String const configPath = "quayd/container/config|" + name;
   if ( !c.exists( statusPath ) && !c.exists( configPath ) ) {
      err << "quyctl: no container '" << name << "' is configured or known\n";
      return kFailed;
   }
   Fields const status = collectFields( c, *resolve( statusPath ).entity );
   Fields const config = collectFields( c, *resolve( configPath ).entity );
   if ( json ) {
      out << jsonText( { { "status", fieldsJson( status ) }, { "config", fieldsJson( config ) } },
                       2 )
          << "\n";
      return kOk;
   }
   out << "Container " << name << " (" << statusPath << ")\n";
   printFields( out, status, 2 );
   out << "Configuration (" << configPath << ")\n";
   printFields( out, config, 2 );
   return kOk;
}

// The Containerz sub-agent: what is configured, whether its VRF is usable,
// and whether its runtime runs.
int showContainerz( Redis::Connection & c, bool json, std::ostream & out ) {
   String const configPath = String( "mgmt/gnoi/config|" ) + Gnoi::kContainerzMember;
   Gnoi::Containerz::Config config;
   config.pathIs( configPath );
   readFields( c, config );
   auto const & crt = config.crtConfig();
   bool const configured = c.exists( configPath );
   bool usable = crt.vrfName.isDefault();
   if ( !usable ) {
      Ip::VrfStatusLocal vrf;
      vrf.pathIs( Cell::path( "ip/vrf/status/local", 0 ) + "|" + crt.vrfName.str() );
      readFields( c, vrf );
      usable = vrf.vrfState() == Ip::kVrfStateActive && vrf.vrfReady();
   }
   Gnoi::Containerz::ContainerRuntimeStatus status;
   status.pathIs( "mgmt/gnoi/containerz/crtStatus" );
   readFields( c, status );
   Fields const fields{ { "configured", configured ? "true" : "false" },
                        { "vrf", crt.vrfName.isDefault() ? "default" : crt.vrfName.str() },
                        { "logDriver", crt.logDriver == 1 ? "syslog" : "none" },
                        { "syslogServer", crt.syslogServer },
                        { "vrfUsable", usable ? "true" : "false" },
                        { "enabled", status.enabled() ? "true" : "false" } };
   if ( json ) {
      out << jsonText( fieldsJson( fields ), 2 ) << "\n";
   } else {
      out << "Containerz (" << configPath << ", mgmt/gnoi/containerz/crtStatus)\n";
      printFields( out, fields, 2 );
   }
   return kOk;
}

int show( Redis::Connection & c, ShowWhat const & what, bool json, std::ostream & out,
          std::ostream & err, DaemonView const & daemonView ) {
   if ( what.containerz ) {
      return showContainerz( c, json, out );
   }
   if ( !what.container.empty() ) {
      return showContainer( c, what.container, json, out, err );
   }
   nlohmann::json j = nlohmann::json::object();
   for ( auto const & s : sections() ) {
      if ( !what.titles.empty() &&
           std::find( what.titles.begin(), what.titles.end(), s.title ) == what.titles.end() ) {
         continue;
      }
      Target t = resolve( s.path );
      Shown shown = collect( c, *t.entity );
      bool const containers = s.title == String( "Containers" );
      DaemonStates const states = containers && daemonView ? daemonView() : std::nullopt;
      if ( json ) {
         j[ s.path ] = toJson( shown );
         if ( containers && daemonView && j[ s.path ].contains( "elements" ) ) {
            for ( auto it : j[ s.path ][ "elements" ].items() ) {
               it.value()[ "daemon" ] = daemonStateOf( states, it.key() );
            }
         }
         continue;
      }
      out << s.title << " (" << s.path << ")\n";
      if ( what.containerTable ) {
         printFields( out, shown.fields, 2 );
         printContainerTable( c, out, shown, states );
      } else {
         printText( out, shown, 2 );
      }
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
   std::map< String, std::vector< String > > repeated;
   std::set< String > present;
   std::vector< String > positional;
   bool has( String const & f ) const { return present.count( f ) != 0; }
   std::optional< String > get( String const & f ) const {
      auto it = values.find( f );
      return it == values.end() ? std::nullopt : std::optional< String >( it->second );
   }
};

Flags parseFlags( std::vector< String > const & args, size_t skip,
                  std::set< String > const & switches, std::set< String > const & withValue,
                  std::set< String > const & repeatable = {} ) {
   Flags f;
   for ( size_t i = skip; i < args.size(); ++i ) {
      String const & a = args[ i ];
      if ( a.rfind( "--", 0 ) != 0 ) {
         f.positional.push_back( a );
      } else if ( switches.count( a ) ) {
         f.present.insert( a );
      } else if ( withValue.count( a ) || repeatable.count( a ) ) {
         if ( i + 1 >= args.size() ) {
            throw UsageError( a + " needs a value" );
         }
         if ( !repeatable.count( a ) && f.present.count( a ) ) {
            throw UsageError( a + " given twice" );
         }
         f.present.insert( a );
         f.values[ a ] = args[ ++i ];
         f.repeated[ a ].push_back( f.values[ a ] );
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

// Puts a registry's password into the credential store and leaves its name
// in the configuration. Kept first, so that a failure to keep it writes
// nothing.
void keepPassword( RegistryConfig & r ) {
   RegistryParams p = r.params();
   if ( auto * store = credentialStore(); store && !p.password.empty() ) {
      p.credential = store->put( p.password );
      p.password.clear();
      r.paramsIs( p );
   }
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
         throw UsageError( t.path + " field " + name + ": not a valid " + t.entity->typeName() +
                           " value (" + err->reason + ")" );
      }
      if ( auto * r = dynamic_cast< RegistryConfig * >( t.entity.get() ) ) {
         keepPassword( *r );
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

// Commands that change one part of a stored entity read it first.
using Edit = std::function< Writes( Redis::Connection & ) >;

Edit fixed( Writes w ) {
   return [ w = std::move( w ) ]( Redis::Connection & ) { return w; };
}

String const & absolutePath( String const & p, String const & what ) {
   if ( p.empty() || p[ 0 ] != '/' ) {
      throw UsageError( what + " must be an absolute path, not '" + p + "'" );
   }
   return p;
}

bool matches( String const & text, char const * pattern ) {
   return std::regex_match( text, std::regex( pattern ) );
}

// Container, profile and registry names, as the daemon takes container names.
bool validName( String const & name ) { return matches( name, "[A-Za-z0-9][A-Za-z0-9_.-]+" ); }

// A name that is one element key and a valid container name.
String const & checkedName( Flags const & f, char const * what ) {
   if ( f.positional.size() != 1 ) {
      throw UsageError( String( what ) + " needs one name" );
   }
   if ( !validName( f.positional[ 0 ] ) ) {
      throw UsageError( "bad " + String( what ) + " name '" + f.positional[ 0 ] +
                        "': two or more letters, digits, '_', '.' or '-' (not first)" );
   }
   return f.positional[ 0 ];
}

Edit image( std::vector< String > const & args ) {
   String const sub = args.size() > 1 ? args[ 1 ] : "";
   if ( sub == "load" ) {
      Flags f = parseFlags( args, 2, { "--delete" }, {} );
      if ( f.positional.size() != 1 ) {
         throw UsageError( "image load needs one tarball path" );
      }
      String const path = absolutePath( f.positional[ 0 ], "the tarball" );
      bool const unload = f.has( "--delete" );
      return [ path, unload ]( Redis::Connection & c ) {
         ImageLoadConfigDir d;
         d.pathIs( "quayd/image/config" );
         readForEdit( c, d );
         if ( unload ) {
            d.tarballDel( path );
         } else {
            d.tarballIs( path );
         }
         return Writes{ hsetArgs( d ) };
      };
   }
   if ( sub == "persistent-path" ) {
      Flags f = parseFlags( args, 2, {}, {} );
      if ( f.positional.size() != 1 ) {
         throw UsageError( "image persistent-path needs one directory" );
      }
      return fixed( { { "HSET", "quayd/image/persistentPathConfig", "path",
                        absolutePath( f.positional[ 0 ], "the persistent path" ) } } );
   }
   throw UsageError( "image needs 'load' or 'persistent-path'" );
}

Edit registry( std::vector< String > const & args, std::istream & in ) {
   Flags f = parseFlags( args, 1, { "--delete", "--insecure", "--password-stdin" },
                         { "--server", "--username", "--password" } );
   String const path = "quayd/registry/config|" + checkedName( f, "registry" );
   if ( f.has( "--delete" ) ) {
      if ( f.present.size() > 1 ) {
         throw UsageError( "--delete takes no other option" );
      }
      return fixed( { { "DEL", path } } );
   }
   RegistryParams p;
   p.server = f.get( "--server" ).value_or( "" );
   if ( !matches( p.server, "[A-Za-z0-9.-]+(:[0-9]{1,5})?(/[^ ]*)?" ) ) {
      throw UsageError( "registry needs --server HOST[:PORT] (no scheme), not '" + p.server + "'" );
   }
   p.username = f.get( "--username" ).value_or( "" );
   if ( f.has( "--password" ) && f.has( "--password-stdin" ) ) {
      throw UsageError( "give --password or --password-stdin, not both" );
   }
   if ( f.has( "--password-stdin" ) ) {
      std::getline( in, p.password );
   } else {
      p.password = f.get( "--password" ).value_or( "" );
   }
   if ( !p.password.empty() && p.username.empty() ) {
      throw UsageError( "a password needs --username" );
   }
   p.insecure = f.has( "--insecure" );
   RegistryConfig r;
   r.pathIs( path );
   r.paramsIs( p );
   keepPassword( r );
   return fixed( { hsetArgs( r ) } );
}

// Removes the kept passwords that no registry configuration or status
// names any more. One the agent still names in its status stays until the
// next sweep.
void sweepCredentials( Redis::Connection & c ) {
   auto * store = credentialStore();
   if ( !store ) {
      return;
   }
   std::set< String > named;
   for ( String const & dir :
         { String( "quayd/registry/config" ), Cell::path( "quayd/registry/status", 0 ) } ) {
      for ( auto const & key : c.scan( Redis::globEscape( dir + "|" ) + "*" ) ) {
         auto j = nlohmann::json::parse( c.hget( key, "params" ).value_or( "" ), nullptr, false );
         if ( j.is_object() && j.contains( "credential" ) && j[ "credential" ].is_string() ) {
            named.insert( j[ "credential" ].get< String >() );
         }
      }
   }
   std::error_code ec;
   for ( auto const & entry : std::filesystem::directory_iterator( store->dir(), ec ) ) {
      String const name = entry.path().filename();
      if ( CredentialStore::isName( name ) && !named.count( name ) ) {
         store->drop( name );
      }
   }
}

// The parameter flags of containers and profiles, named as `docker run`
// names them.
std::set< String > const kParamSwitches{ "--privileged", "--no-privileged", "--tty",
                                         "--no-tty",     "--read-only",     "--no-read-only",
                                         "--init",       "--no-init",       "--clear-volumes" };
std::set< String > const kParamValues{ "--image",        "--command",     "--options",
                                       "--cpu-shares",   "--cpuset-cpus", "--memory",
                                       "--network",      "--restart",     "--startup-condition",
                                       "--poll-interval" };

BindMountEntry parseVolume( String const & v ) {
   std::smatch m;
   if ( !std::regex_match( v, m, std::regex( "([^:]+):([^:]+)(:(ro|rw))?" ) ) ) {
      throw UsageError( "bad --volume '" + v + "': give HOST:CONTAINER or HOST:CONTAINER:ro" );
   }
   return { absolutePath( m[ 1 ], "the --volume host path" ),
            absolutePath( m[ 2 ], "the --volume container path" ), m[ 4 ] == "ro" };
}

// The values of the container options, as the option table checks them:
// the parameter flags, and the flags the table knows in --options (the
// docker client checks the others when it runs the container).
void checkContainerOptions( Flags const & f ) {
   for ( auto const & row : containerOptions() ) {
      auto v = *row.field ? f.get( "--" + String( row.flag ) ) : std::nullopt;
      if ( auto err = v && !v->empty() ? optionValueError( row, *v ) : std::nullopt ) {
         throw UsageError( *err );
      }
   }
   auto options = f.get( "--options" );
   if ( !options ) {
      return;
   }
   std::vector< String > words;
   try {
      words = boost::program_options::split_unix( *options );
   } catch ( std::exception const & e ) {
      throw UsageError( "bad --options '" + *options + "': " + e.what() );
   }
   for ( auto const & [ row, value ] : parseOptionWords( words ).known ) {
      if ( auto err = optionValueError( *row, value ) ) {
         throw UsageError( "in --options: " + *err );
      }
   }
}

// Checks every parameter flag first, then applies them to `c`.
std::function< void( ContainerConfig & ) > paramEdit( Flags const & f ) {
   auto check = [ & ]( char const * flag, char const * pattern, char const * hint ) {
      if ( auto v = f.get( flag ); v && !v->empty() && !matches( *v, pattern ) ) {
         throw UsageError( "bad " + String( flag ) + " '" + *v + "': " + hint );
      }
   };
   check( "--image", "[^\\s]+", "an image reference without blanks" );
   checkContainerOptions( f );
   check( "--poll-interval", "[1-9][0-9]{0,4}", "seconds, 1 to 65535" );
   if ( auto v = f.get( "--poll-interval" ); v && std::stoul( *v ) > 65535 ) {
      throw UsageError( "bad --poll-interval '" + *v + "': seconds, 1 to 65535" );
   }
   std::vector< BindMountEntry > volumes;
   if ( auto it = f.repeated.find( "--volume" ); it != f.repeated.end() ) {
      for ( auto const & v : it->second ) {
         volumes.push_back( parseVolume( v ) );
      }
   }
   return [ f, volumes ]( ContainerConfig & c ) {
      ContainerParams p = c.params();
      auto text = [ & ]( char const * flag, String & field ) {
         if ( auto v = f.get( flag ) ) {
            field = *v;
         }
      };
      text( "--image", p.image );
      text( "--command", p.command );
      text( "--options", p.options );
      text( "--cpuset-cpus", p.cpuCores );
      text( "--memory", p.memory );
      text( "--network", p.networking );
      text( "--restart", p.restartPolicy );
      text( "--startup-condition", p.startupConditionBash );
      if ( auto v = f.get( "--cpu-shares" ) ) {
         p.cpuShares = v->empty() ? 0 : uint32_t( std::stoul( *v ) );
      }
      if ( auto v = f.get( "--poll-interval" ) ) {
         p.startupConditionPollInterval.value = v->empty() ? 0 : uint16_t( std::stoul( *v ) );
      }
      auto flag = [ & ]( String const & name, uint8_t & field ) {
         if ( f.has( "--" + name ) ) {
            field = 1;
         } else if ( f.has( "--no-" + name ) ) {
            field = 0;
         }
      };
      flag( "privileged", p.privileged );
      flag( "tty", p.tty );
      flag( "read-only", p.readOnlyRootfs );
      flag( "init", p.init );
      c.paramsIs( p );
      if ( f.has( "--clear-volumes" ) || !volumes.empty() ) {
         c.bindMountDelAll();
      }
      for ( auto const & v : volumes ) {
         c.bindMountIs( v );
      }
   };
}

// `container NAME ...` and `profile NAME ...`: edits of the stored entry.
Edit containerLike( std::vector< String > const & args, bool isProfile ) {
   std::set< String > switches = kParamSwitches, values = kParamValues;
   switches.insert( "--delete" );
   if ( !isProfile ) {
      switches.insert( { "--enable", "--disable" } );
      values.insert( "--profile" );
   }
   Flags f = parseFlags( args, 1, switches, values, { "--volume" } );
   char const * what = isProfile ? "profile" : "container";
   String const path =
      String( isProfile ? "quayd/container/profileConfig|" : "quayd/container/config|" ) +
      checkedName( f, what );
   if ( f.has( "--delete" ) ) {
      if ( f.present.size() > 1 ) {
         throw UsageError( "--delete takes no other option" );
      }
      return fixed( { { "DEL", path } } );
   }
   if ( f.has( "--enable" ) && f.has( "--disable" ) ) {
      throw UsageError( "give --enable or --disable, not both" );
   }
   for ( char const * name : { "privileged", "tty", "read-only", "init" } ) {
      if ( f.has( String( "--" ) + name ) && f.has( String( "--no-" ) + name ) ) {
         throw UsageError( String( "give --" ) + name + " or --no-" + name + ", not both" );
      }
   }
   auto params = paramEdit( f );
   auto profile = f.get( "--profile" );
   if ( profile && !profile->empty() && !validName( *profile ) ) {
      throw UsageError( "bad --profile '" + *profile + "'" );
   }
   bool const enable = f.has( "--enable" ), disable = f.has( "--disable" );
   return [ = ]( Redis::Connection & c ) {
      ContainerConfig cc;
      cc.pathIs( path );
      // A new container runs unless told otherwise; a stored one keeps its
      // state.
      bool const exists = c.exists( path );
      readForEdit( c, cc );
      params( cc );
      if ( profile ) {
         cc.profileIs( *profile );
      }
      if ( !isProfile ) {
         cc.enabledIs( enable || ( !disable && ( !exists || cc.enabled() ) ) );
      }
      return Writes{ hsetArgs( cc ) };
   };
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
   static std::map< String, int > const shifts{ { "", 0 },    { "B", 0 },    { "K", 10 },
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
         std::ostream & err, std::istream & in, DaemonView const & daemonView ) {
   try {
      if ( args.empty() || args[ 0 ] == "--help" || args[ 0 ] == "help" ) {
         ( args.empty() ? err : out ) << kUsageText;
         return args.empty() ? kUsage : kOk;
      }
      String const & cmd = args[ 0 ];
      Edit edit;
      if ( cmd == "daemon" ) {
         edit = fixed( daemon( args ) );
      } else if ( cmd == "containerz" ) {
         edit = fixed( containerz( args ) );
      } else if ( cmd == "vrf" ) {
         edit = fixed( vrf( args ) );
      } else if ( cmd == "image" ) {
         edit = image( args );
      } else if ( cmd == "registry" ) {
         edit = registry( args, in );
      } else if ( cmd == "container" || cmd == "profile" ) {
         edit = containerLike( args, cmd == "profile" );
      } else if ( cmd == "set" ) {
         edit = fixed( set( args ) );
      } else if ( cmd == "delete" ) {
         edit = fixed( del( args ) );
      } else if ( cmd == "get" ) {
         if ( args.size() != 2 ) {
            throw UsageError( "get needs one path" );
         }
         resolve( args[ 1 ] );
         return get( *connect(), args, out );
      } else if ( cmd == "show" ) {
         Flags f = parseFlags( args, 1, { "--json" }, {} );
         ShowWhat const what = showWhat( f.positional );
         return show( *connect(), what, f.has( "--json" ), out, err, daemonView );
      } else {
         throw UsageError( "unknown command '" + cmd + "'" );
      }
      auto c = connect();
      c->pipeline( edit( *c ) );
      if ( cmd == "registry" ) {
         sweepCredentials( *c );
      }
      return kOk;
   } catch ( UsageError const & e ) {
      err << "quyctl: " << e.what() << "\n(see quyctl --help)\n";
      return kUsage;
   } catch ( Redis::Error const & e ) {
      err << "quyctl: " << e.what() << "\n";
      return kFailed;
   } catch ( RuntimeException const & e ) {
      err << "quyctl: " << e.what() << "\n";
      return kFailed;
   }
}

} // namespace Quayd::Quyctl
