#include "tools/quayd-containerz/StartRequest.h"

#include <cctype>

#include "platform/docker/ContainerCreateBody.h"
#include "tools/quayd-containerz/CallError.h"

namespace Quayd::Containerz {

namespace pb = ::gnoi::containerz;

namespace {

// Where a container runs on a device with one supervisor card: there.
constexpr char const * kLocationIntended = "net.openconfig.containerz.location.intended";
constexpr char const * kLocationActual = "net.openconfig.containerz.location.actual";

String restartValue( pb::StartContainerRequest::Restart const & r ) {
   using P = pb::StartContainerRequest::Restart;
   switch ( r.policy() ) {
   case P::NONE:
      return "no";
   case P::ALWAYS:
      return "always";
   case P::UNLESS_STOPPED:
      return "unless-stopped";
   case P::ON_FAILURE:
      return r.attempts() ? "on-failure:" + std::to_string( r.attempts() ) : "on-failure";
   default:
      throw CallError( grpc::StatusCode::FAILED_PRECONDITION,
                       "unknown restart policy " + std::to_string( r.policy() ) );
   }
}

String devicePermissions( pb::Device const & d ) {
   String p;
   for ( int perm : d.permissions() ) {
      char const c = perm == pb::Device::READ    ? 'r'
                     : perm == pb::Device::WRITE ? 'w'
                     : perm == pb::Device::MKNOD ? 'm'
                                                 : 0;
      if ( c && p.find( c ) == String::npos ) {
         p += c;
      }
   }
   return p;
}

// A number the option table reads as a plain count of bytes.
String bytesValue( int64_t n, char const * what ) {
   if ( n < 0 ) {
      throw CallError( grpc::StatusCode::INVALID_ARGUMENT,
                       String( what ) + " " + std::to_string( n ) + " is negative" );
   }
   return std::to_string( n );
}

} // namespace

String imageRef( String const & name, String const & tag ) {
   return name + ":" + ( tag.empty() ? "latest" : tag );
}

std::vector< String > splitCommand( String const & cmd ) {
   std::vector< String > words;
   String word;
   bool inWord = false;
   char quote = 0;
   for ( char c : cmd ) {
      if ( quote ) {
         if ( c == quote ) {
            quote = 0;
         } else {
            word += c;
         }
      } else if ( c == '\'' || c == '"' ) {
         quote = c;
         inWord = true;
      } else if ( std::isspace( static_cast< unsigned char >( c ) ) ) {
         if ( inWord ) {
            words.push_back( std::move( word ) );
            word.clear();
            inWord = false;
         }
      } else {
         word += c;
         inWord = true;
      }
   }
   if ( quote ) {
      throw CallError( grpc::StatusCode::INVALID_ARGUMENT, "unclosed quote in command: " + cmd );
   }
   if ( inWord ) {
      words.push_back( std::move( word ) );
   }
   return words;
}

Ptr< RunContainerParams > runParamsOf( pb::StartContainerRequest const & req ) {
   auto p = runContainerParamsFactory();
   p->name = req.instance_name();
   p->image = imageRef( req.image_name(), req.tag() );
   auto opt = [ &p ]( char const * flag, String const & value ) {
      p->optionsPush( String( "--" ) + flag );
      p->optionsPush( value );
   };
   for ( auto const & port : req.ports() ) {
      opt( "publish", port.external() ? std::to_string( port.external() ) + ":" +
                                           std::to_string( port.internal() )
                                      : std::to_string( port.internal() ) );
   }
   // Sorted, so that the same request always makes the same container.
   std::map< String, String > const env( req.environment().begin(), req.environment().end() );
   for ( auto const & [ k, v ] : env ) {
      opt( "env", k + "=" + v );
   }
   for ( auto const & v : req.volumes() ) {
      opt( "volume", v.name() + ":" + v.mount_point() + ( v.read_only() ? ":ro" : "" ) );
   }
   for ( auto const & d : req.devices() ) {
      String const perms = devicePermissions( d );
      opt( "device", d.src_path() + ":" + ( d.dst_path().empty() ? d.src_path() : d.dst_path() ) +
                        ( perms.empty() ? "" : ":" + perms ) );
   }
   for ( auto const & c : req.cap().remove() ) {
      opt( "cap-drop", c );
   }
   for ( auto const & c : req.cap().add() ) {
      opt( "cap-add", c );
   }
   if ( !req.network().empty() ) {
      p->settingIs( "network", req.network() );
   }
   if ( req.has_restart() ) {
      p->settingIs( "restart", restartValue( req.restart() ) );
   }
   if ( !req.run_as().user().empty() ) {
      p->settingIs( "user", req.run_as().user() +
                               ( req.run_as().group().empty() ? "" : ":" + req.run_as().group() ) );
   } else if ( !req.run_as().group().empty() ) {
      throw CallError( grpc::StatusCode::FAILED_PRECONDITION, "run_as has a group but no user" );
   }
   auto const & limits = req.limits();
   if ( limits.max_cpu() < 0 ) {
      throw CallError( grpc::StatusCode::INVALID_ARGUMENT, "max_cpu is negative" );
   }
   if ( limits.max_cpu() > 0 ) {
      p->settingIs( "cpus", std::to_string( limits.max_cpu() ) );
   }
   if ( limits.hard_mem_bytes() ) {
      p->settingIs( "memory", bytesValue( limits.hard_mem_bytes(), "hard_mem_bytes" ) );
   }
   if ( limits.soft_mem_bytes() ) {
      p->settingIs( "memory-reservation", bytesValue( limits.soft_mem_bytes(), "soft_mem_bytes" ) );
   }
   std::map< String, String > const labels( req.labels().begin(), req.labels().end() );
   for ( auto const & [ k, v ] : labels ) {
      opt( "label", k + "=" + v );
   }
   for ( auto const & w : splitCommand( req.cmd() ) ) {
      p->commandPush( w );
   }
   return p;
}

nlohmann::json createBodyOf( pb::StartContainerRequest const & req ) {
   auto const p = runParamsOf( req );
   String const location = pb::StartContainerRequest::Location_Name( req.location() );
   // Every variable of a request carries its value: none is read from the
   // server's own environment.
   auto made =
      containerCreateBody( *p,
                           { { kLocationIntended, location }, { kLocationActual, "L_PRIMARY" } },
                           {} );
   if ( !made.clientFlag.empty() ) {
      throw CallError( grpc::StatusCode::INVALID_ARGUMENT,
                       "the daemon cannot take the value of " + made.clientFlag + " of " +
                          ( p->name.empty() ? p->image : p->name ) );
   }
   return made.body;
}

} // namespace Quayd::Containerz
