#include "platform/docker/ContainerLaunch.h"

#include <nlohmann/json.hpp>

#include "platform/docker/EngineAnswers.h"

namespace Quayd {

namespace {
// A removal may wait for the container's processes to be killed.
constexpr long kRemoveLimitSec = 30;

String containerPath( String const & ref ) {
   // Escaped: a configured name must not reach another endpoint.
   return "/containers/" + DockerApiClient::escape( ref );
}
} // namespace

String launchContainer( DockerApiClient & api, String const & name, String const & body,
                        LaunchOptions const & options ) {
   String const create =
      "/containers/create" + ( name.empty() ? "" : "?name=" + DockerApiClient::escape( name ) );
   auto r = api.request( "POST", create, body );
   // Looked into only now, so that the usual launch costs no lookup.
   if ( r.status == 409 && options.freeName && options.freeName() ) {
      r = api.request( "POST", create, body );
   }
   if ( r.status == 404 && options.pullImage ) {
      options.pullImage();
      r = api.request( "POST", create, body );
   }
   if ( r.status != 201 ) {
      throw LaunchRefused( LaunchRefused::Step::create, r );
   }
   String const id = textOf( nlohmann::json::parse( r.body, nullptr, false ), "Id" );
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
   // 304: it runs already.
   if ( s.status == 204 || s.status == 304 ) {
      return std::nullopt;
   }
   return s;
}

void deleteContainer( DockerApiClient & api, String const & id, bool force ) {
   api.call( "DELETE", containerPath( id ) + "?v=1" + ( force ? "&force=1" : "" ), nullptr,
             kRemoveLimitSec );
}

} // namespace Quayd
