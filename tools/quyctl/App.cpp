#include "tools/quyctl/Quyctl.h"

#include <algorithm>
#include <cmath>
#include <istream>
#include <map>
#include <ostream>

#include "platform/Exception.h"
#include "tools/quyctl/Command.h"
#include "tools/quyctl/DryRun.h"
#include "tools/quyctl/Transaction.h"

namespace Quayd::Quyctl {

namespace {

char const * const kFooter =
   "Exit status: 0 done; 1 failed (the state database unreachable, an edit not\n"
   "committed, a wait timed out); 2 bad usage (nothing written).\n"
   "'quyctl COMMAND --help' tells each command's options, their types and an example.";

// The commands, each group in a file of its own.
void addCommands( CLI::App & app, Parsed & p, std::istream & in, CredentialStore * credentials ) {
   addDaemonCommands( app, p );
   addImageCommands( app, p );
   addRegistryCommands( app, p, in, credentials );
   addContainerCommands( app, p );
   addPathCommands( app, p, credentials );
   addShowCommands( app, p );
   addLogsAndWaitCommands( app, p );
   addUsageCommands( app, p );
}

// `quyctl help [COMMAND...]`: the help of the command named.
String helpOf( CLI::App & app, std::vector< String > const & words ) {
   CLI::App * target = &app;
   for ( auto const & w : words ) {
      try {
         target = target->get_subcommand( w );
      } catch ( CLI::OptionNotFound const & ) {
         throw UsageError( "no command '" + w + "'" );
      }
   }
   // help() of the top would print the help of the selected `help` command.
   return target->get_formatter()->make_help( target, "", CLI::AppFormatMode::Normal );
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
         std::ostream & err, std::istream & in, Exec const & exec,
         std::chrono::system_clock::time_point now, CredentialStore * credentials ) {
   CLI::App app( "quyctl: configures the container agent and shows its status", "quyctl" );
   app.footer( kFooter );
   app.set_version_flag( "--version", QUAYD_VERSION );
   app.require_subcommand( 1 );
   std::optional< String > address;
   app.add_option( "--redis", address, "the state database (default: the agent's)" )
      ->type_name( "HOST:PORT|SOCKET" );
   Parsed p;
   addCommands( app, p, in, credentials );
   std::vector< String > helpWords;
   CLI::App * help = app.add_subcommand( "help", "print the help of quyctl or of a command" );
   help->add_option( "command", helpWords, "the command" )->type_name( "COMMAND" );
   try {
      if ( args.empty() ) {
         err << app.help();
         return kUsage;
      }
      if ( args[ 0 ][ 0 ] != '-' &&
           app.get_subcommands( [ & ]( CLI::App * c ) { return c->check_name( args[ 0 ] ); } )
              .empty() ) {
         throw UsageError( "unknown command '" + args[ 0 ] + "'" );
      }
      app.parse( std::vector< String >( args.rbegin(), args.rend() ) );
      if ( help->parsed() ) {
         out << helpOf( app, helpWords );
         return kOk;
      }
      if ( address ) {
         Redis::Address::parse( *address );
      }
      auto c = connect( address );
      Streams const s{ out, err, now, exec };
      if ( p.query ) {
         return p.query( *c, s );
      }
      if ( p.dryRun ) {
         Writes const writes = p.edit->build( *c );
         printWrites( writes, out );
         printPlan( *c, writes, out );
         return kOk;
      }
      commit( *c, *p.edit );
      p.edit->hold.reset();
      if ( p.edit->after ) {
         p.edit->after( *c );
      }
      return kOk;
   } catch ( CLI::CallForHelp const & e ) {
      return app.exit( e, out, err );
   } catch ( CLI::CallForVersion const & e ) {
      return app.exit( e, out, err );
   } catch ( CLI::ParseError const & e ) {
      err << "quyctl: " << e.what() << "\n(see quyctl --help)\n";
      return kUsage;
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
