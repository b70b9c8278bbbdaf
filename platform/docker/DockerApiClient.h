#pragma once
// A small Engine API client: HTTP over the daemon's unix socket, one curl
// handle reused for every request. Not thread-safe, like the rest of the agent.
//
// No request waits without end: each has a limit that fits it (an answer
// within a few seconds for a look-up, longer for a change; a load or a pull
// goes on as long as bytes flow), and each gives up at once when the agent
// is told to stop. Either way the request throws RuntimeException; one the
// daemon did not answer throws DaemonUnansweredException.
#include <chrono>
#include <functional>
#include <string_view>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Types.h"

namespace Quayd {

class ServiceManager;

class DockerApiClient {
 public:
   struct Response {
      long status = 0;
      String body;
   };
   // Where a followed answer goes, instead of Response::body (see follow).
   struct Follower {
      std::function< bool( std::string_view ) > const & sink;
      std::function< bool() > const & keepGoing;
      bool stopped = false;
   };
   // Limits of a request with none given: a look-up, a change.
   static constexpr long kLookupLimitSec = 5;
   static constexpr long kChangeLimitSec = 20;
   // Fills `buf` with up to `size` bytes of a request's body; 0 at its end.
   // What it throws (RuntimeException) cuts the request: the daemon never
   // takes a body broken off for a whole one.
   using Read = std::function< size_t( char * buf, size_t size ) >;
   // A stream (load, pull) fails after this long without a byte moving.
   static constexpr long kStreamIdleSec = 60;

   // The Engine API version every request of the agent asks for.
   static constexpr char const * kVersionPath = "/v1.41";

   // `serviceManager` (none: nobody) hears alive() through every wait.
   explicit DockerApiClient( String socketPath, ServiceManager * serviceManager = nullptr );
   ~DockerApiClient();
   DockerApiClient( DockerApiClient const & ) = delete;
   DockerApiClient & operator=( DockerApiClient const & ) = delete;

   void socketPathIs( String const & p ) { socketPath_ = p; }
   String const & socketPath() const { return socketPath_; }
   // Told after each request why the daemon did not answer (a time-out, no
   // connection), or "" when it answered; not when the agent stopped it.
   void answerObserverIs( std::function< void( String const & ) > f ) {
      answerObserver_ = std::move( f );
   }

   // Bounds every later request by a caller's `deadline` too, and gives a
   // request up once `cancelled` (asked about once a second) says so.
   void callLimitIs( std::chrono::steady_clock::time_point deadline,
                     std::function< bool() > cancelled ) {
      deadline_ = deadline;
      cancelled_ = std::move( cancelled );
   }

   // One request; transport failures throw RuntimeException, any HTTP status
   // is returned. `upload`, when given, is streamed as the request body;
   // `headers` ("Name: value") are added and never appear in a message.
   // `timeoutSec` limits the whole request; 0: kLookupLimitSec for GET,
   // kChangeLimitSec otherwise.
   Response request( String const & method, String const & path, String const & body = "",
                     Read const & upload = {}, long timeoutSec = 0,
                     std::vector< String > const & headers = {} );
   // As request, without a limit on the whole: it fails once no byte has
   // moved either way for `idleSec`.
   Response stream( String const & method, String const & path, Read const & upload = {},
                    std::vector< String > const & headers = {}, long idleSec = kStreamIdleSec );
   // Hands each piece of the answer's body to `sink` as it arrives, for as
   // long as both `sink` and `keepGoing` (asked about once a second) say
   // so; no limit on the whole. Returns the HTTP status.
   long follow( String const & path, std::function< bool( std::string_view ) > const & sink,
                std::function< bool() > const & keepGoing );
   // As request, but a non-2xx answer throws ApiRequestException with the
   // daemon's message; the body is parsed as JSON when non-empty.
   nlohmann::json call( String const & method, String const & path,
                        nlohmann::json const & body = nullptr, long timeoutSec = 0 );

   // What call makes of an answer: a non-2xx throws, a body is JSON.
   static nlohmann::json answerJson( Response const & r );
   // The daemon's "message" of an error body, or the body itself.
   static String errorMessage( Response const & r );
   static String escape( String const & s );

 private:
   struct Limit {
      long totalSec;
      long idleSec;
   };
   Response perform( String const & method, String const & path, String const & body,
                     Read const & upload, Limit limit, std::vector< String > const & headers,
                     Follower * follower = nullptr );
   void answered( String const & why );

   void * curl_;
   void * multi_;
   String socketPath_;
   ServiceManager * serviceManager_;
   std::function< void( String const & ) > answerObserver_;
   std::chrono::steady_clock::time_point deadline_ = std::chrono::steady_clock::time_point::max();
   std::function< bool() > cancelled_;
};

} // namespace Quayd
