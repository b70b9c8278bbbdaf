#include "platform/OptionValues.h"

#include <cmath>
#include <cstdlib>
#include <fstream>
#include <map>
#include <regex>
#include <sstream>

namespace Quayd::OptionValues {

using nlohmann::json;

json & slot( json & body, std::string_view target ) {
   json * at = &body;
   if ( target.starts_with( "Config." ) ) {
      target.remove_prefix( 7 );
   }
   for ( ;; ) {
      auto dot = target.find( '.' );
      at = &( *at )[ String( target.substr( 0, dot ) ) ];
      if ( dot == std::string_view::npos ) {
         return *at;
      }
      target.remove_prefix( dot + 1 );
   }
}

std::pair< String, String > splitAt( String const & s, char sep ) {
   auto at = s.find( sep );
   return at == String::npos ? std::pair{ s, String() }
                             : std::pair{ s.substr( 0, at ), s.substr( at + 1 ) };
}

namespace {
// From 2^63 on, a double has no int64_t to convert to.
constexpr double kInt64End = 9223372036854775808.0;

std::optional< int64_t > inRange( double n ) {
   return n < kInt64End ? std::optional< int64_t >( int64_t( n ) ) : std::nullopt;
}
} // namespace

std::optional< int64_t > parseBytes( String const & v ) {
   std::smatch m;
   static std::regex const re( "([0-9]+(\\.[0-9]+)?)([kmgtKMGT])?[bB]?" );
   if ( !std::regex_match( v, m, re ) ) {
      return std::nullopt;
   }
   static String const units = "kmgt";
   double n = std::strtod( m[ 1 ].str().c_str(), nullptr );
   if ( m[ 3 ].matched ) {
      auto shift = 10 * ( 1 + units.find( char( std::tolower( m[ 3 ].str()[ 0 ] ) ) ) );
      n *= double( uint64_t( 1 ) << shift );
   }
   return inRange( n );
}

std::optional< int64_t > parseDuration( String const & v ) {
   static std::regex const part( "([0-9]+(\\.[0-9]+)?)(ns|us|ms|s|m|h)" );
   static std::map< String, double > const ns{ { "ns", 1 },  { "us", 1e3 }, { "ms", 1e6 },
                                               { "s", 1e9 }, { "m", 60e9 }, { "h", 3600e9 } };
   if ( v == "0" ) {
      return 0;
   }
   double total = 0;
   size_t at = 0;
   for ( std::sregex_iterator it( v.begin(), v.end(), part ), end; it != end; ++it ) {
      if ( size_t( it->position() ) != at ) {
         return std::nullopt;
      }
      total += std::strtod( ( *it )[ 1 ].str().c_str(), nullptr ) * ns.at( ( *it )[ 3 ] );
      at += it->length();
   }
   return at == v.size() && at > 0 ? inRange( total ) : std::nullopt;
}

std::optional< int64_t > parseInteger( String const & v ) {
   char * end = nullptr;
   long long n = std::strtoll( v.c_str(), &end, 10 );
   return !v.empty() && *end == '\0' ? std::optional< int64_t >( n ) : std::nullopt;
}

// ------------------------------------------------------- conversions of their own

bool landEnv( json & body, ContainerOption const &, String const & v,
              Environment const & environment ) {
   // A bare name takes the variable from the environment, as the client does.
   auto const from = v.find( '=' ) == String::npos ? environment.find( v ) : environment.end();
   body[ "Env" ].push_back( from != environment.end() ? v + "=" + from->second : v );
   return true;
}

bool landEnvFile( json & body, ContainerOption const & row, String const & path,
                  Environment const & environment ) {
   std::ifstream in( path );
   if ( !in ) {
      return false; // the client reports it as it does
   }
   String line;
   while ( std::getline( in, line ) ) {
      line.erase( 0, line.find_first_not_of( " \t" ) );
      if ( line.empty() || line[ 0 ] == '#' ) {
         continue;
      }
      if ( line.find( '=' ) == String::npos && !environment.count( line ) ) {
         continue;
      }
      landEnv( body, row, line, environment );
   }
   return true;
}

bool landPublish( json & body, ContainerOption const &, String const & v, Environment const & ) {
   // An address has dots, so that "8080:80" is a host port, not an address.
   static std::regex const re(
      "(?:([0-9]+(?:\\.[0-9]+){3}):)?(?:([0-9]*):)?([0-9]+)(?:/(tcp|udp|sctp))?" );
   std::smatch m;
   if ( !std::regex_match( v, m, re ) ) {
      return false; // ranges, IPv6 addresses
   }
   String const port = m[ 3 ].str() + "/" + ( m[ 4 ].matched ? m[ 4 ].str() : "tcp" );
   body[ "ExposedPorts" ][ port ] = json::object();
   body[ "HostConfig" ][ "PortBindings" ][ port ].push_back(
      { { "HostIp", m[ 1 ].str() }, { "HostPort", m[ 2 ].str() } } );
   return true;
}

bool landExpose( json & body, ContainerOption const &, String const & v, Environment const & ) {
   body[ "ExposedPorts" ][ v.find( '/' ) == String::npos ? v + "/tcp" : v ] = json::object();
   return true;
}

bool landDevice( json & body, ContainerOption const &, String const & v, Environment const & ) {
   auto [ host, rest ] = splitAt( v, ':' );
   auto [ inside, perms ] = splitAt( rest, ':' );
   if ( perms.empty() && std::regex_match( inside, std::regex( "[rwm]+" ) ) ) {
      std::swap( inside, perms );
   }
   body[ "HostConfig" ][ "Devices" ].push_back(
      { { "PathOnHost", host },
        { "PathInContainer", inside.empty() ? host : inside },
        { "CgroupPermissions", perms.empty() ? "rwm" : perms } } );
   return true;
}

bool landUlimit( json & body, ContainerOption const &, String const & v, Environment const & ) {
   auto [ name, limits ] = splitAt( v, '=' );
   auto [ soft, hard ] = splitAt( limits, ':' );
   auto s = parseInteger( soft ), h = parseInteger( hard.empty() ? soft : hard );
   if ( !s || !h ) {
      return false;
   }
   body[ "HostConfig" ][ "Ulimits" ].push_back(
      { { "Name", name }, { "Hard", *h }, { "Soft", *s } } );
   return true;
}

bool landRestart( json & body, ContainerOption const &, String const & v, Environment const & ) {
   auto [ name, retries ] = splitAt( v, ':' );
   auto n = retries.empty() ? std::optional< int64_t >( 0 ) : parseInteger( retries );
   if ( !n ) {
      return false;
   }
   body[ "HostConfig" ][ "RestartPolicy" ] = { { "Name", name }, { "MaximumRetryCount", *n } };
   return true;
}

bool landVolume( json & body, ContainerOption const &, String const & v, Environment const & ) {
   if ( v.find( ':' ) == String::npos ) {
      body[ "Volumes" ][ v ] = json::object(); // an anonymous volume
   } else {
      body[ "HostConfig" ][ "Binds" ].push_back( v );
   }
   return true;
}

bool landMount( json & body, ContainerOption const &, String const & v, Environment const & ) {
   json m = { { "Type", "volume" } };
   std::istringstream in( v );
   String item;
   while ( std::getline( in, item, ',' ) ) {
      auto [ key, value ] = splitAt( item, '=' );
      bool const hasValue = item.find( '=' ) != String::npos;
      if ( key == "type" ) {
         m[ "Type" ] = value;
      } else if ( key == "source" || key == "src" ) {
         m[ "Source" ] = value;
      } else if ( key == "target" || key == "destination" || key == "dst" ) {
         m[ "Target" ] = value;
      } else if ( key == "readonly" || key == "ro" ) {
         if ( hasValue && value != "true" && value != "1" && value != "false" && value != "0" ) {
            return false;
         }
         m[ "ReadOnly" ] = !hasValue || value == "true" || value == "1";
      } else if ( key == "bind-propagation" ) {
         m[ "BindOptions" ][ "Propagation" ] = value;
      } else if ( key == "tmpfs-size" ) {
         auto n = parseBytes( value );
         if ( !n ) {
            return false;
         }
         m[ "TmpfsOptions" ][ "SizeBytes" ] = *n;
      } else {
         return false; // volume drivers and options stay with the client
      }
   }
   body[ "HostConfig" ][ "Mounts" ].push_back( m );
   return true;
}

bool landTmpfs( json & body, ContainerOption const &, String const & v, Environment const & ) {
   auto [ path, opts ] = splitAt( v, ':' );
   body[ "HostConfig" ][ "Tmpfs" ][ path ] = opts;
   return true;
}

bool landCpus( json & body, ContainerOption const &, String const & v, Environment const & ) {
   body[ "HostConfig" ][ "NanoCpus" ] = std::llround( std::strtod( v.c_str(), nullptr ) * 1e9 );
   return true;
}

bool landEntrypoint( json & body, ContainerOption const &, String const & v, Environment const & ) {
   body[ "Entrypoint" ] = json::array( { v } );
   return true;
}

bool landHealthCmd( json & body, ContainerOption const &, String const & v, Environment const & ) {
   body[ "Healthcheck" ][ "Test" ] = { "CMD-SHELL", v };
   return true;
}

bool landNoHealthcheck( json & body, ContainerOption const &, String const & v,
                        Environment const & ) {
   if ( v == "true" ) {
      body[ "Healthcheck" ][ "Test" ] = { "NONE" };
   }
   return true;
}

bool landSecurityOpt( json & body, ContainerOption const &, String const & v,
                      Environment const & ) {
   // A seccomp profile file is read by the client and sent inline.
   if ( v.starts_with( "seccomp=" ) && v != "seccomp=unconfined" ) {
      return false;
   }
   body[ "HostConfig" ][ "SecurityOpt" ].push_back( v );
   return true;
}

bool landNothing( json &, ContainerOption const &, String const &, Environment const & ) {
   return true; // every container runs detached
}

} // namespace Quayd::OptionValues
