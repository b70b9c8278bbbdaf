#include "tools/quayd-containerz/PrivilegePolicy.h"

#include <filesystem>

#include "tools/quayd-containerz/CallError.h"

namespace Quayd::Containerz {

namespace pb = ::gnoi::containerz;
namespace fs = std::filesystem;

namespace {

// Never bound into a container, nor any directory above them.
constexpr char const * kHostTrees[] = {
   "/etc", "/var/lib/docker", "/run", "/proc", "/sys", "/dev"
};

// What the daemon grants every container unasked.
constexpr char const * kDefaultCaps[] = {
   "AUDIT_WRITE",      "CHOWN",   "DAC_OVERRIDE", "FOWNER", "FSETID",  "KILL",   "MKNOD",
   "NET_BIND_SERVICE", "NET_RAW", "SETFCAP",      "SETGID", "SETPCAP", "SETUID", "SYS_CHROOT"
};

// The path with ".." and every symlink of its existing part resolved.
String realPath( String const & p ) {
   std::error_code ec;
   auto r = fs::weakly_canonical( fs::path( p ), ec );
   if ( ec ) {
      r = fs::path( p ).lexically_normal();
   }
   return r.has_filename() || r == r.root_path() ? r.string() : r.parent_path().string();
}

bool under( String const & path, String const & dir ) {
   fs::path const p( path ), d( dir );
   auto const [ end, _ ] = std::mismatch( d.begin(), d.end(), p.begin(), p.end() );
   return end == d.end();
}

String capName( String c ) {
   std::transform( c.begin(), c.end(), c.begin(), ::toupper );
   return c.starts_with( "CAP_" ) ? c.substr( 4 ) : c;
}

bool listed( std::vector< String > const & list, String const & v ) {
   return std::find( list.begin(), list.end(), v ) != list.end();
}

[[noreturn]] void refuse( String const & field, String const & value, String const & why ) {
   throw CallError( grpc::StatusCode::PERMISSION_DENIED, field + " " + value + ": " + why );
}

std::vector< String > strings( nlohmann::json const & doc, char const * field ) {
   std::vector< String > out;
   if ( !doc.contains( field ) ) {
      return out;
   }
   if ( !doc[ field ].is_array() ) {
      throw std::invalid_argument( String( field ) + " is not a list" );
   }
   for ( auto const & v : doc[ field ] ) {
      if ( !v.is_string() || v.get< String >().empty() ) {
         throw std::invalid_argument( String( field ) + " holds a value that is no string" );
      }
      out.push_back( v.get< String >() );
   }
   return out;
}

} // namespace

PrivilegePolicy::PrivilegePolicy( String volumesDir, std::vector< String > protectedDirs )
    : bindPrefixes_{ realPath( volumesDir ) } {
   for ( auto const & d : protectedDirs ) {
      protected_.push_back( realPath( d ) );
   }
   for ( char const * d : kHostTrees ) {
      protected_.push_back( realPath( d ) );
   }
}

PrivilegePolicy::PrivilegePolicy( nlohmann::json const & doc, PrivilegePolicy const & defaults )
    : PrivilegePolicy( defaults ) {
   if ( !doc.is_object() ) {
      throw std::invalid_argument( "the policy is not an object" );
   }
   for ( auto const & [ k, v ] : doc.items() ) {
      if ( k != "bindPrefixes" && k != "devices" && k != "capabilities" &&
           k != "containerNetworks" ) {
         throw std::invalid_argument( "unknown field \"" + k + "\"" );
      }
   }
   for ( auto const & p : strings( doc, "bindPrefixes" ) ) {
      if ( !p.starts_with( '/' ) ) {
         throw std::invalid_argument( "bindPrefixes holds " + p + ", not an absolute path" );
      }
      bindPrefixes_.push_back( realPath( p ) );
   }
   for ( auto const & d : strings( doc, "devices" ) ) {
      devices_.push_back( realPath( d ) );
   }
   for ( auto const & c : strings( doc, "capabilities" ) ) {
      capabilities_.push_back( capName( c ) );
   }
   containerNetworks_ = strings( doc, "containerNetworks" );
}

void PrivilegePolicy::checkBindSource( String const & field, String const & source ) const {
   if ( !source.starts_with( '/' ) ) {
      refuse( field, source, "a bind source is an absolute path" );
   }
   String const real = realPath( source );
   for ( auto const & p : protected_ ) {
      if ( under( real, p ) || under( p, real ) ) {
         refuse( field, source, "resolves to " + real + ", which is never bound" );
      }
   }
   if ( std::none_of( bindPrefixes_.begin(), bindPrefixes_.end(),
                      [ &real ]( String const & p ) { return under( real, p ); } ) ) {
      refuse( field, source, "resolves to " + real + ", under no allowed bind prefix" );
   }
}

void PrivilegePolicy::checkStart( pb::StartContainerRequest const & req ) const {
   for ( int i = 0; i < req.volumes_size(); ++i ) {
      // A name with a slash is a host path, anything else a named volume.
      String const & name = req.volumes( i ).name();
      if ( name.find( '/' ) != String::npos ) {
         checkBindSource( "volumes[" + std::to_string( i ) + "].name", name );
      }
   }
   for ( int i = 0; i < req.devices_size(); ++i ) {
      String const & src = req.devices( i ).src_path();
      if ( !listed( devices_, realPath( src ) ) ) {
         refuse( "devices[" + std::to_string( i ) + "].src_path", src,
                 "no device is given to a container unless listed" );
      }
   }
   for ( auto const & c : req.cap().add() ) {
      String const name = capName( c );
      if ( !listed( capabilities_, name ) &&
           ( name == "ALL" || std::find( std::begin( kDefaultCaps ), std::end( kDefaultCaps ),
                                         name ) == std::end( kDefaultCaps ) ) ) {
         refuse( "cap.add", c, "beyond the daemon's default capabilities and not listed" );
      }
   }
   String const & net = req.network();
   if ( net.starts_with( "container:" ) &&
        !listed( containerNetworks_, net.substr( net.find( ':' ) + 1 ) ) ) {
      refuse( "network", net, "another container's network is joined only when listed" );
   }
}

} // namespace Quayd::Containerz
