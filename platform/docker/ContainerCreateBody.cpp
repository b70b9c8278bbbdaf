#include "platform/docker/ContainerCreateBody.h"

#include "platform/ContainerOptions.h"

namespace Quayd {

namespace {
String bindText( BindMountEntry const & b ) {
   return b.hostPath + ":" + b.containerPath + ( b.readOnly ? ":ro" : "" );
}
} // namespace

ContainerCreateBody containerCreateBody( RunContainerParams const & p,
                                         std::map< String, String > const & labels,
                                         Environment const & environment ) {
   ContainerCreateBody out;
   nlohmann::json & b = out.body;
   b[ "Image" ] = p.image;
   // What the docker client sends for a run without options, so that a
   // container looks the same in `docker inspect` whichever way it ran.
   b[ "HostConfig" ] = { { "PortBindings", nlohmann::json::object() },
                         { "RestartPolicy", { { "Name", "no" } } },
                         { "Dns", nlohmann::json::array() },
                         { "DnsOptions", nlohmann::json::array() },
                         { "DnsSearch", nlohmann::json::array() },
                         { "Devices", nlohmann::json::array() },
                         { "BlkioWeightDevice", nlohmann::json::array() } };
   for ( auto const & [ k, v ] : labels ) {
      b[ "Labels" ][ k ] = v;
   }
   for ( auto const & [ option, value ] : p.settings() ) {
      auto const * row = findOption( option );
      if ( !row || !landOption( b, *row, value, environment ) ) {
         out.clientFlag = "--" + option;
         return out;
      }
   }
   for ( auto const & [ path, bind ] : p.binds() ) {
      b[ "HostConfig" ][ "Binds" ].push_back( bindText( bind ) );
   }
   ParsedOptions const parsed = parseOptionWords( p.options() );
   if ( !parsed.unknown.empty() ) {
      out.clientFlag = parsed.unknown;
      return out;
   }
   for ( auto const & [ row, value ] : parsed.known ) {
      if ( !landOption( b, *row, value, environment ) ) {
         out.clientFlag = "--" + String( row->flag );
         return out;
      }
   }
   if ( !p.command().empty() ) {
      b[ "Cmd" ] = p.command();
   }
   return out;
}

std::vector< String > clientRunArgs( RunContainerParams const & p,
                                     std::map< String, String > const & labels ) {
   std::vector< String > w;
   for ( auto const & [ k, v ] : labels ) {
      w.insert( w.end(), { "--label", k + "=" + v } );
   }
   for ( auto const & [ option, value ] : p.settings() ) {
      auto const * row = findOption( option );
      if ( row && !row->takesValue() ) {
         w.push_back( "--" + option + ( value == "true" ? "" : "=" + value ) );
      } else {
         w.insert( w.end(), { "--" + option, value } );
      }
   }
   for ( auto const & [ path, bind ] : p.binds() ) {
      w.insert( w.end(), { "--volume", bindText( bind ) } );
   }
   // The configured options come last so that they win over ours, as they
   // would on a `docker run` command line.
   w.insert( w.end(), p.options().begin(), p.options().end() );
   w.push_back( p.image );
   w.insert( w.end(), p.command().begin(), p.command().end() );
   return w;
}

} // namespace Quayd
