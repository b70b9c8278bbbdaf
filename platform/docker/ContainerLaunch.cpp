#include "platform/docker/ContainerLaunch.h"

#include <nlohmann/json.hpp>

#include "platform/docker/EngineAnswers.h"

namespace Quayd {

String containerPath( String const & ref ) {
   return "/containers/" + DockerApiClient::escape( ref );
}

String createPath( String const & name ) {
   return "/containers/create" + ( name.empty() ? "" : "?name=" + DockerApiClient::escape( name ) );
}

String createdId( DockerApiClient::Response const & r ) {
   if ( r.status != 201 ) {
      throw LaunchRefused( LaunchRefused::Step::create, r );
   }
   return textOf( nlohmann::json::parse( r.body, nullptr, false ), "Id" );
}

// 304: it runs already.
bool startAccepted( DockerApiClient::Response const & s ) {
   return s.status == 204 || s.status == 304;
}

String deletePath( String const & id, bool force ) {
   return containerPath( id ) + "?v=1" + ( force ? "&force=1" : "" );
}

String launchContainer( DockerApiClient & api, String const & name, String const & body,
                        LaunchOptions const & options ) {
   String const create = createPath( name );
   auto r = api.request( "POST", create, body );
   // Looked into only now, so that the usual launch costs no lookup.
   if ( r.status == 409 && options.freeName && options.freeName() ) {
      r = api.request( "POST", create, body );
   }
   if ( r.status == 404 && options.pullImage ) {
      options.pullImage();
      r = api.request( "POST", create, body );
   }
   String const id = createdId( r );
   if ( auto refused = startContainer( api, id ) ) {
      try {
         deleteContainer( api, id, true );
      } catch ( RuntimeException const & ) {
         // The start's own failure is the one worth reporting.
      }
      throw LaunchRefused( LaunchRefused::Step::start, *refused );
   }
   return id;
}

std::optional< DockerApiClient::Response > startContainer( DockerApiClient & api,
                                                           String const & ref ) {
   auto s = api.request( "POST", containerPath( ref ) + "/start" );
   if ( startAccepted( s ) ) {
      return std::nullopt;
   }
   return s;
}

void deleteContainer( DockerApiClient & api, String const & id, bool force ) {
   api.call( "DELETE", deletePath( id, force ), nullptr, kRemoveLimitSec );
}

} // namespace Quayd
