#pragma once
// What the command groups of quyctl share: the parsed command they leave
// behind, the edits they build and the checks their values pass.
#include <chrono>
#include <functional>
#include <iosfwd>
#include <map>
#include <stdexcept>

#include <CLI/CLI.hpp>

#include "model/Model.h"
#include "platform/redis/RedisClient.h"

namespace Quayd {
class CredentialStore;
}

namespace Quayd::Quyctl {

// Refused input: reported with a pointer to the help, exit status 2.
struct UsageError : std::runtime_error {
   using std::runtime_error::runtime_error;
};

using Writes = std::vector< std::vector< String > >;

// One edit of the state database: the keys it reads and writes, watched
// while `build` reads them and turns what it read into the writes.
struct Edit {
   std::vector< String > keys;
   std::function< Writes( Redis::Connection & ) > build;
   // Runs once the writes are committed (the credential sweep).
   std::function< void( Redis::Connection & ) > after{};
   // Held until the writes are committed (the credential store's lock).
   std::shared_ptr< void const > hold{};
};
Edit fixed( std::vector< String > keys, Writes writes );

struct Streams {
   std::ostream & out;
   std::ostream & err;
   std::chrono::system_clock::time_point now;
   // Runs a program (the docker client) with the tool's terminal.
   std::function< int( std::vector< String > const & ) > exec;
};

// A query that only reads: it prints to `s.out` and returns the exit status.
using Query = std::function< int( Redis::Connection &, Streams const & ) >;

// `show` alone: the one-screen summary.
int showSummary( Redis::Connection & c, bool json, Streams const & s );

// What the command line asked for; set by the subcommand that was given.
struct Parsed {
   std::optional< Edit > edit;
   Query query;
   bool dryRun = false;
};

// The command groups, each adding its subcommands to `app`. `in` gives the
// password of --password-stdin.
void addDaemonCommands( CLI::App & app, Parsed & p );
void addImageCommands( CLI::App & app, Parsed & p );
void addRegistryCommands( CLI::App & app, Parsed & p, std::istream & in,
                          CredentialStore * credentials );
void addContainerCommands( CLI::App & app, Parsed & p );
void addPathCommands( CLI::App & app, Parsed & p, CredentialStore * credentials );
void addShowCommands( CLI::App & app, Parsed & p );
void addLogsAndWaitCommands( CLI::App & app, Parsed & p );
void addUsageCommands( CLI::App & app, Parsed & p );

// A subcommand with its one-line description and an example in its help.
CLI::App * command( CLI::App & app, char const * name, char const * what, char const * example );
// Refuses --delete beside any other option of `cmd`.
void deleteAlone( CLI::App const & cmd );
// --dry-run on an edit's subcommand.
void addDryRun( CLI::App * cmd, Parsed & p );

// Every plain field of `e` and its value, for HSET.
std::vector< String > fieldArgs( Entity const & e );
// HSET of every plain field of `e`.
std::vector< String > hsetArgs( Entity const & e );
// The stored fields of `e` decoded into it; invalid ones as their reason.
std::map< String, String > readFields( Redis::Connection & c, Entity & e );
// readFields for an edit that keeps the fields it does not change: a field
// that does not decode is refused rather than replaced with its default.
void readForEdit( Redis::Connection & c, Entity & e );

struct Target {
   String path;
   Ptr< Entity > entity;
   MountAccess access = MountAccess::read;
};
// The entity type at `path`: a mounted path, or an element "P|key" of one.
Target resolve( String const & path );
// resolve() for a path the operator may write.
Target configTarget( String const & path );

// Moves a registry's password into `store`, leaving its name in `r`;
// returns the lock to hold until `r` is committed (none without a store or
// a password).
std::shared_ptr< void const > keepPassword( CredentialStore * store, RegistryConfig & r );
// What removes the passwords kept in `store` that no registry configuration
// or status names; nothing without a store.
std::function< void( Redis::Connection & ) > credentialSweep( CredentialStore * store );

bool matches( String const & text, char const * pattern );
String const & absolutePath( String const & p, String const & what );
// Container, profile and registry names, as the daemon takes container
// names; throws UsageError naming `what` otherwise.
void checkName( String const & name, char const * what );

} // namespace Quayd::Quyctl
