// registry: the registries the daemon logs in to, and the passwords kept
// for them outside the state database.
#include <filesystem>
#include <istream>
#include <set>

#include "platform/posix/Credentials.h"
#include "tools/quyctl/Command.h"

namespace Quayd::Quyctl {

std::shared_ptr< void const > keepPassword( CredentialStore * store, RegistryConfig & r ) {
   RegistryParams p = r.params();
   if ( !store || p.password.empty() ) {
      return nullptr;
   }
   auto lock = std::make_shared< CredentialStore::Lock >( store->dir(), false );
   p.credential = store->put( p.password );
   p.password.clear();
   r.paramsIs( p );
   return lock;
}

namespace {

// A password the agent still names in its status stays until the next sweep.
void sweepCredentials( CredentialStore & store, Redis::Connection & c ) {
   CredentialStore::Lock const lock( store.dir(), true );
   std::set< String > named;
   for ( String const & dir :
         { String( Paths::kRegistryConfig ), Cell::path( Paths::kRegistryStatus, 0 ) } ) {
      for ( auto const & key : c.scan( Redis::globEscape( dir + "|" ) + "*" ) ) {
         RegistryConfig r;
         r.pathIs( key );
         readFields( c, r );
         if ( !r.params().credential.empty() ) {
            named.insert( r.params().credential );
         }
      }
   }
   std::error_code ec;
   for ( auto const & entry : std::filesystem::directory_iterator( store.dir(), ec ) ) {
      String const name = entry.path().filename();
      if ( isCredentialName( name ) && !named.count( name ) ) {
         store.drop( name );
      }
   }
}

} // namespace

std::function< void( Redis::Connection & ) > credentialSweep( CredentialStore * store ) {
   if ( !store ) {
      return nullptr;
   }
   return [ store ]( Redis::Connection & c ) { sweepCredentials( *store, c ); };
}

namespace {

struct RegistryFlags {
   String name, server, username;
   std::optional< String > password;
   bool passwordStdin = false, insecure = false, remove = false;
};

Edit registryEdit( RegistryFlags const & f, std::istream & in, bool dryRun,
                   CredentialStore * store ) {
   checkName( f.name, "registry" );
   String const path = String( Paths::kRegistryConfig ) + "|" + f.name;
   if ( f.remove ) {
      Edit e = fixed( { path }, { { "DEL", path } } );
      e.after = credentialSweep( store );
      return e;
   }
   RegistryParams p;
   p.server = f.server;
   if ( !matches( p.server, "[A-Za-z0-9.-]+(:[0-9]{1,5})?(/[^ ]*)?" ) ) {
      throw UsageError( "registry needs --server HOST[:PORT] (no scheme), not '" + p.server + "'" );
   }
   p.username = f.username;
   if ( f.passwordStdin ) {
      std::getline( in, p.password );
   } else {
      p.password = f.password.value_or( "" );
   }
   if ( !p.password.empty() && p.username.empty() ) {
      throw UsageError( "a password needs --username" );
   }
   p.insecure = f.insecure;
   RegistryConfig r;
   r.pathIs( path );
   r.paramsIs( p );
   auto hold = dryRun ? nullptr : keepPassword( store, r );
   Edit e = fixed( { path }, { hsetArgs( r ) } );
   e.after = credentialSweep( store );
   e.hold = std::move( hold );
   return e;
}

} // namespace

void addRegistryCommands( CLI::App & app, Parsed & p, std::istream & in,
                          CredentialStore * credentials ) {
   CLI::App * cmd =
      command( app, "registry", "log in to a registry, or forget it",
               "quyctl registry lab --server 10.0.0.5:5000 --username ops --password-stdin" );
   addDryRun( cmd, p );
   auto f = std::make_shared< RegistryFlags >();
   cmd->add_option( "name", f->name, "the registry's name" )->required()->type_name( "NAME" );
   cmd->add_flag( "--delete", f->remove, "forget the registry" );
   cmd->add_option( "--server", f->server, "the registry, without scheme" )
      ->type_name( "HOST[:PORT]" );
   cmd->add_option( "--username", f->username, "the login name" )->type_name( "USER" );
   auto * password =
      cmd->add_option( "--password", f->password,
                       "the password (visible to other users: prefer --password-stdin)" )
         ->type_name( "PASSWORD" );
   auto * fromStdin = cmd->add_flag( "--password-stdin", f->passwordStdin,
                                     "read the password's first line from stdin" );
   cmd->add_flag( "--insecure", f->insecure, "plain HTTP or an unverified certificate" );
   password->excludes( fromStdin );
   cmd->callback( [ &p, &in, f, cmd, credentials ] {
      deleteAlone( *cmd );
      p.edit = registryEdit( *f, in, p.dryRun, credentials );
   } );
}

} // namespace Quayd::Quyctl
