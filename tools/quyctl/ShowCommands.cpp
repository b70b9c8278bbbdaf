// show: the status an operator acts on, from the state database.
#include <ostream>

#include "platform/ContainerOptions.h"
#include "tools/quyctl/Command.h"
#include "tools/quyctl/ContainerView.h"
#include "tools/quyctl/Quyctl.h"
#include "tools/quyctl/Show.h"
#include "tools/quyctl/SupervisionView.h"

namespace Quayd::Quyctl {

namespace {

void printJson( std::ostream & out, nlohmann::json const & j ) { out << jsonText( j, 2 ) << "\n"; }

// The sections of `show images` and `show registries`: the raw entities.
int showEntities( Redis::Connection & c,
                  std::vector< std::pair< char const *, String > > const & sections, bool json,
                  Streams const & s ) {
   nlohmann::json j = nlohmann::json::object();
   for ( auto const & [ title, path ] : sections ) {
      Shown const shown = collect( c, *resolve( path ).entity );
      if ( json ) {
         j[ path ] = toJson( shown );
      } else {
         s.out << title << " (" << path << ")\n";
         printText( s.out, shown, 2 );
      }
   }
   if ( json ) {
      printJson( s.out, j );
   }
   return kOk;
}

int showContainers( Redis::Connection & c, bool json, Streams const & s ) {
   nlohmann::json rows = nlohmann::json::array();
   for ( auto const & name : containerNames( c ) ) {
      rows.push_back( containerRow( c, name, s.now ) );
   }
   if ( json ) {
      printJson( s.out, { { "containers", rows } } );
   } else {
      printContainerTable( s.out, rows );
   }
   return kOk;
}

// The parameters as `docker run` takes them, image and command last.
String runLine( ContainerParams const & p ) {
   String line = "docker run";
   for ( auto const & [ flag, value ] : fieldSettings( nlohmann::json( p ) ) ) {
      line += " --" + flag + ( value == "true" ? String() : " " + value );
   }
   if ( !p.options.empty() ) {
      line += " " + p.options;
   }
   return line + " " + p.image + ( p.command.empty() ? "" : " " + p.command );
}

int showContainer( Redis::Connection & c, String const & name, bool json, Streams const & s ) {
   ContainerStatus status;
   status.pathIs( Cell::path( Paths::kContainerStatus, 0 ) + "|" + name );
   String const configPath = String( Paths::kContainerConfig ) + "|" + name;
   if ( !c.exists( status.path() ) && !c.exists( configPath ) ) {
      s.err << "quyctl: no container '" << name << "' is configured or known\n";
      return kFailed;
   }
   readFields( c, status );
   nlohmann::json row = containerRow( c, name, s.now );
   row[ "run" ] = runLine( status.params() );
   nlohmann::json mounts = nlohmann::json::array();
   for ( auto const & [ key, m ] : status.bindMount() ) {
      mounts.push_back( m );
   }
   row[ "bindMounts" ] = mounts;
   row[ "startupCondition" ] = { { "command", status.params().startupConditionBash },
                                 { "runs", status.conditionRuns() },
                                 { "failures", status.conditionFailures() },
                                 { "timeouts", status.conditionTimeouts() } };
   addSupervision( c, name, status, row );
   if ( json ) {
      printJson( s.out, row );
      return kOk;
   }
   s.out << "Container " << name << "\n";
   Fields fields;
   for ( auto const & [ key, value ] : row.items() ) {
      if ( key != "name" && key != "bindMounts" && key != "startupCondition" && key != "history" ) {
         fields.emplace_back( key, value.is_string() ? value.get< String >() : value.dump() );
      }
   }
   printFields( s.out, fields, 2 );
   s.out << "Bind mounts\n";
   for ( auto const & m : mounts ) {
      s.out << "  " << m[ "hostPath" ].get< String >() << " -> "
            << m[ "containerPath" ].get< String >() << ( m[ "readOnly" ] ? " (ro)" : "" ) << "\n";
   }
   s.out << "Startup condition\n";
   Fields cond;
   for ( auto const & [ key, value ] : row[ "startupCondition" ].items() ) {
      cond.emplace_back( key, value.is_string() ? value.get< String >() : value.dump() );
   }
   printFields( s.out, cond, 2 );
   printHistory( s.out, row[ "history" ] );
   return kOk;
}

// The Containerz sub-agent: what is configured, whether its VRF is usable,
// whether its runtime runs and where its gRPC service listens.
int showContainerz( Redis::Connection & c, bool json, Streams const & s ) {
   String const configPath = String( Paths::kGnoiConfig ) + "|" + Gnoi::kContainerzMember;
   Gnoi::Containerz::Config config;
   config.pathIs( configPath );
   readFields( c, config );
   auto const & crt = config.crtConfig();
   auto const & grpc = config.grpcConfig();
   bool const configured = c.exists( configPath );
   bool usable = crt.vrfName.isDefault();
   if ( !usable ) {
      Ip::VrfStatusLocal vrf;
      vrf.pathIs( Cell::path( Paths::kVrfStatusLocal, 0 ) + "|" + crt.vrfName.str() );
      readFields( c, vrf );
      usable = vrf.vrfState() == Ip::kVrfStateActive && vrf.vrfReady();
   }
   Gnoi::Containerz::ContainerRuntimeStatus status;
   status.pathIs( Paths::kCrtStatus );
   readFields( c, status );
   Gnoi::Containerz::ServerStatus server;
   server.pathIs( Paths::kServerStatus );
   readFields( c, server );
   Fields const fields{ { "configured", configured ? "true" : "false" },
                        { "vrf", crt.vrfName.isDefault() ? "default" : crt.vrfName.str() },
                        { "logDriver", crt.logDriver == 1 ? "syslog" : "none" },
                        { "syslogServer", crt.syslogServer },
                        { "vrfUsable", usable ? "true" : "false" },
                        { "enabled", status.enabled() ? "true" : "false" },
                        { "grpcPort", std::to_string( grpc.port ) },
                        { "grpcAddress", grpc.address },
                        { "tls", grpc.tls() ? "true" : "false" },
                        { "serverState", server.state() },
                        { "serverAddress", server.address() },
                        { "serverRestarts", std::to_string( server.restarts() ) },
                        { "serverError", server.lastError() } };
   if ( json ) {
      auto j = fieldsJson( fields );
      j[ "vrf" ] = crt.vrfName.isDefault() ? "default" : crt.vrfName.str();
      printJson( s.out, j );
   } else {
      s.out << "Containerz (" << configPath << ")\n";
      printFields( s.out, fields, 2 );
   }
   return kOk;
}

} // namespace

void addShowCommands( CLI::App & app, Parsed & p ) {
   CLI::App * show = command( app, "show", "print the status an operator acts on",
                              "quyctl show containers --json" );
   auto json = std::make_shared< bool >( false );
   show->add_flag( "--json", *json, "print JSON (shapes in docs/quyctl.md)" );
   show->fallthrough();
   show->callback( [ &p, json ] {
      if ( p.query ) {
         return; // a subcommand of show said what
      }
      p.query = [ json ]( Redis::Connection & c, Streams const & s ) {
         return showSummary( c, *json, s );
      };
   } );
   auto sub = [ & ]( char const * name, char const * what, Query q ) {
      CLI::App * cmd = command( *show, name, what, ( String( "quyctl show " ) + name ).c_str() );
      cmd->callback( [ &p, q ] { p.query = q; } );
      return cmd;
   };
   sub( "containers", "every container: configured, states, since when, why not running",
        [ json ]( Redis::Connection & c, Streams const & s ) {
           return showContainers( c, *json, s );
        } );
   sub( "images", "the tarballs and what they loaded",
        [ json ]( Redis::Connection & c, Streams const & s ) {
           return showEntities( c,
                                { { "Persistent image path",
                                    Cell::path( Paths::kPersistentPathStatus, 0 ) },
                                  { "Images", Cell::path( Paths::kImageStatus, 0 ) } },
                                *json, s );
        } );
   sub( "registries", "the registries and whether the daemon is logged in",
        [ json ]( Redis::Connection & c, Streams const & s ) {
           return showEntities( c, { { "Registries", Cell::path( Paths::kRegistryStatus, 0 ) } },
                                *json, s );
        } );
   sub( "containerz", "the Containerz runtime and its gRPC service",
        [ json ]( Redis::Connection & c, Streams const & s ) {
           return showContainerz( c, *json, s );
        } );
   auto name = std::make_shared< String >();
   CLI::App * one = command( *show, "container",
                             "one container, with its run parameters, bind mounts and startup "
                             "condition",
                             "quyctl show container web" );
   one->add_option( "name", *name, "the container" )->required()->type_name( "NAME" );
   one->callback( [ &p, json, name ] {
      p.query = [ json, name ]( Redis::Connection & c, Streams const & s ) {
         return showContainer( c, *name, *json, s );
      };
   } );
}

} // namespace Quayd::Quyctl
