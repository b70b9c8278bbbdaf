// daemon, containerz and vrf: the sub-agent, the Containerz service and the
// VRFs it may run in.
#include "tools/quyctl/Command.h"
#include "tools/quyctl/Quyctl.h"

namespace Quayd::Quyctl {

namespace {

void addDaemon( CLI::App & app, Parsed & p ) {
   CLI::App * daemon = command( app, "daemon", "run or stop the quy sub-agent",
                                "quyctl daemon enable --on-flash --flash-limit 2G" );
   daemon->require_subcommand( 1 );
   CLI::App * enable = command( *daemon, "enable", "run the sub-agent",
                                "quyctl daemon enable --on-flash --flash-limit 2G" );
   addDryRun( enable, p );
   auto onFlash = std::make_shared< bool >( false );
   auto limit = std::make_shared< String >();
   enable->add_flag( "--on-flash", *onFlash, "keep the daemon's data root on flash" );
   enable
      ->add_option( "--flash-limit", *limit,
                    "the most the data root may use on flash: bytes or 512M, 2G (binary)" )
      ->type_name( "SIZE" );
   enable->callback( [ &p, onFlash, limit ] {
      QuaydConfig c;
      c.pathIs( Paths::kQuaydConfig );
      c.enabledIs( true );
      c.onFlashIs( *onFlash );
      if ( !limit->empty() ) {
         auto bytes = parseSize( *limit );
         if ( !bytes ) {
            throw UsageError( "bad --flash-limit '" + *limit + "': give bytes or a size like 2G" );
         }
         if ( !*onFlash ) {
            throw UsageError( "--flash-limit needs --on-flash" );
         }
         c.flashLimitIs( *bytes );
      }
      // Only these fields: the sampling settings stay as they are.
      p.edit = fixed( { c.path() }, { { "HSET", c.path(), "enabled", "true", "onFlash",
                                        encodeValue( c.onFlash() ), "flashLimit",
                                        encodeValue( c.flashLimit() ) } } );
   } );
   CLI::App * disable =
      command( *daemon, "disable", "stop the sub-agent", "quyctl daemon disable" );
   addDryRun( disable, p );
   disable->callback( [ &p ] {
      p.edit =
         fixed( { Paths::kQuaydConfig }, { { "HSET", Paths::kQuaydConfig, "enabled", "false" } } );
   } );
}

struct ContainerzFlags {
   std::optional< String > vrf, logDriver, syslogServer, grpcAddress, tlsCert, tlsKey, tlsCa,
      authzPolicy, privilegePolicy;
   std::optional< uint16_t > grpcPort;
   bool remove = false;
};

// The stored Containerz configuration with the flags given applied.
Edit containerzEdit( ContainerzFlags const & f ) {
   String const path = String( Paths::kGnoiConfig ) + "|" + Gnoi::kContainerzMember;
   if ( f.remove ) {
      return fixed( { path }, { { "DEL", path } } );
   }
   Gnoi::Containerz::CrtConfig crt;
   try {
      crt.vrfName = L3::VrfName( f.vrf.value_or( "default" ) );
   } catch ( std::length_error const & e ) {
      throw UsageError( e.what() );
   }
   return { { path }, [ f, path, crt ]( Redis::Connection & c ) {
              Gnoi::Containerz::Config z;
              z.pathIs( path );
              bool const isNew = !c.exists( path );
              readForEdit( c, z );
              auto stored = z.crtConfig();
              if ( f.vrf || isNew ) {
                 stored.vrfName = crt.vrfName;
              }
              if ( f.logDriver ) {
                 stored.logDriver = *f.logDriver == "syslog" ? 1 : 0;
                 stored.syslogServer = f.syslogServer.value_or( "" );
              }
              z.crtConfigIs( stored );
              auto grpc = z.grpcConfig();
              grpc.port = f.grpcPort.value_or( grpc.port );
              grpc.address = f.grpcAddress.value_or( grpc.address );
              grpc.tlsCert = f.tlsCert.value_or( grpc.tlsCert );
              grpc.tlsKey = f.tlsKey.value_or( grpc.tlsKey );
              grpc.tlsCa = f.tlsCa.value_or( grpc.tlsCa );
              grpc.authzPolicy = f.authzPolicy.value_or( grpc.authzPolicy );
              grpc.privilegePolicy = f.privilegePolicy.value_or( grpc.privilegePolicy );
              if ( auto const why = grpc.unsafe() ) {
                 throw UsageError( *why + "; give --tls-ca too" );
              }
              z.grpcConfigIs( grpc );
              return Writes{ hsetArgs( z ) };
           } };
}

void addContainerz( CLI::App & app, Parsed & p ) {
   CLI::App * cmd =
      command( app, "containerz",
               "configure the Containerz runtime and its gRPC service, or remove it",
               "quyctl containerz --vrf red --grpc-port 9339 --tls-cert /etc/quayd/c.pem "
               "--tls-key /etc/quayd/k.pem --tls-ca /etc/quayd/ca.pem" );
   addDryRun( cmd, p );
   auto f = std::make_shared< ContainerzFlags >();
   cmd->add_flag( "--delete", f->remove, "remove the Containerz configuration" );
   cmd->add_option( "--vrf", f->vrf, "the VRF it runs in (default: default)" )->type_name( "NAME" );
   cmd->add_option( "--log-driver", f->logDriver, "where containers log: syslog or none" )
      ->type_name( "DRIVER" )
      ->check( CLI::IsMember( { "syslog", "none" } ).description( "" ) );
   cmd->add_option( "--syslog-server", f->syslogServer,
                    "the syslog server, e.g. udp://10.0.0.1:514 (with --log-driver syslog)" )
      ->type_name( "URL" );
   cmd->add_option( "--grpc-port", f->grpcPort, "the gRPC service's port (default 9339)" )
      ->type_name( "PORT" )
      ->check( CLI::Range( 1, 65535 ).description( "" ) );
   cmd->add_option( "--grpc-address", f->grpcAddress,
                    "the address it listens on with TLS (empty: all); without TLS it "
                    "listens on /run/quayd/containerz.sock only" )
      ->type_name( "ADDR" );
   cmd->add_option( "--tls-cert", f->tlsCert, "the service's certificate (PEM)" )
      ->type_name( "FILE" );
   cmd->add_option( "--tls-key", f->tlsKey, "its private key (PEM)" )->type_name( "FILE" );
   cmd->add_option( "--tls-ca", f->tlsCa,
                    "the CA that signs client certificates (PEM); required with TLS" )
      ->type_name( "FILE" );
   cmd->add_option( "--authz-policy", f->authzPolicy,
                    "who may call what: a gRPC authorization policy (JSON; none: every client "
                    "of the CA may call everything)" )
      ->type_name( "FILE" );
   cmd->add_option( "--privilege-policy", f->privilegePolicy,
                    "the bind prefixes, devices, capabilities and container networks clients "
                    "may give containers (JSON)" )
      ->type_name( "FILE" );
   cmd->callback( [ &p, f, cmd ] {
      deleteAlone( *cmd );
      if ( f->syslogServer && f->logDriver != "syslog" ) {
         throw UsageError( "--syslog-server needs --log-driver syslog" );
      }
      for ( auto const * file :
            { &f->tlsCert, &f->tlsKey, &f->tlsCa, &f->authzPolicy, &f->privilegePolicy } ) {
         if ( *file && !file->value().empty() ) {
            absolutePath( file->value(), "a TLS or policy file" );
         }
      }
      p.edit = containerzEdit( *f );
   } );
}

void addVrf( CLI::App & app, Parsed & p ) {
   CLI::App * cmd = command( app, "vrf", "set a VRF's status (where no routing agent does)",
                             "quyctl vrf red --active" );
   addDryRun( cmd, p );
   auto name = std::make_shared< String >();
   auto state = std::make_shared< String >();
   cmd->add_option( "name", *name, "the VRF" )->required()->type_name( "NAME" );
   static constexpr char const * kOneState = "give one of --active, --inactive and --delete";
   // Three plain flags rather than an option group: CLI11 takes an empty
   // word for the group's (empty) name and loops on it.
   for ( auto const & [ flag, help ] :
         { std::pair{ "active", "the VRF is up" }, std::pair{ "inactive", "it is down" },
           std::pair{ "delete", "it is gone" } } ) {
      cmd->add_flag_callback(
         String( "--" ) + flag,
         [ state, flag = String( flag ) ] {
            if ( !state->empty() ) {
               throw UsageError( kOneState );
            }
            *state = flag;
         },
         help );
   }
   cmd->callback( [ &p, name, state ] {
      if ( state->empty() ) {
         throw UsageError( kOneState );
      }
      try {
         static_cast< void >( L3::VrfName( *name ) );
      } catch ( std::length_error const & e ) {
         throw UsageError( e.what() );
      }
      String const path = Cell::path( Paths::kVrfStatusLocal, 0 ) + "|" + *name;
      if ( *state == "delete" ) {
         p.edit = fixed( { path }, { { "DEL", path } } );
         return;
      }
      Ip::VrfStatusLocal v;
      v.pathIs( path );
      bool const active = *state == "active";
      v.vrfStateIs( active ? Ip::kVrfStateActive : 0 );
      v.vrfReadyIs( active );
      p.edit = fixed( { path }, { hsetArgs( v ) } );
   } );
}

} // namespace

void addDaemonCommands( CLI::App & app, Parsed & p ) {
   addDaemon( app, p );
   addContainerz( app, p );
   addVrf( app, p );
}

} // namespace Quayd::Quyctl
