#pragma once
// A small Engine API client: HTTP over the daemon's unix socket, one curl
// handle reused for every request. Not thread-safe, like the rest of the agent.
#include <cstdio>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Types.h"

namespace Quayd {

class DockerApiClient {
 public:
   struct Response {
      long status = 0;
      String body;
   };

   explicit DockerApiClient( String socketPath );
   ~DockerApiClient();
   DockerApiClient( DockerApiClient const & ) = delete;
   DockerApiClient & operator=( DockerApiClient const & ) = delete;

   void socketPathIs( String const & p ) { socketPath_ = p; }
   String const & socketPath() const { return socketPath_; }

   // One request; transport failures throw RuntimeException, any HTTP status
   // is returned. `upload`, when given, is streamed as the request body;
   // `headers` ("Name: value") are added and never appear in a message.
   Response request( String const & method, String const & path, String const & body = "",
                     FILE * upload = nullptr, long timeoutSec = 0,
                     std::vector< String > const & headers = {} );
   // As request, but a non-2xx answer throws ApiRequestException with the
   // daemon's message; the body is parsed as JSON when non-empty.
   nlohmann::json call( String const & method, String const & path,
                        nlohmann::json const & body = nullptr, long timeoutSec = 0 );

   // The daemon's "message" of an error body, or the body itself.
   static String errorMessage( Response const & r );
   static String escape( String const & s );

 private:
   void * curl_;
   String socketPath_;
};

} // namespace Quayd
