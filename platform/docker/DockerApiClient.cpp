#include "platform/docker/DockerApiClient.h"

#include <curl/curl.h>

#include "platform/Codec.h"
#include "platform/Exception.h"
#include "platform/ServiceManager.h"
#include "platform/posix/Termination.h"

namespace Quayd {

namespace {

size_t writeCb( char * data, size_t size, size_t n, void * user ) {
   static_cast< String * >( user )->append( data, size * n );
   return size * n;
}

size_t followCb( char * data, size_t size, size_t n, void * user ) {
   auto * f = static_cast< DockerApiClient::Follower * >( user );
   if ( !f->sink( std::string_view( data, size * n ) ) ) {
      f->stopped = true;
      return 0;
   }
   return size * n;
}

int followProgressCb( void * user, curl_off_t, curl_off_t, curl_off_t, curl_off_t ) {
   auto * f = static_cast< DockerApiClient::Follower * >( user );
   if ( !f->keepGoing() ) {
      f->stopped = true;
      return 1;
   }
   return 0;
}

// Nothing may be thrown through curl: a body that cannot be read cuts the
// request.
size_t readCb( char * buf, size_t size, size_t n, void * user ) {
   try {
      return ( *static_cast< DockerApiClient::Read const * >( user ) )( buf, size * n );
   } catch ( ... ) {
      return CURL_READFUNC_ABORT;
   }
}

// Runs the transfer of `c` to its end, or until SIGTERM is pending, which
// the poll sees at once through the termination descriptor. A long one (an
// image load) keeps telling the service manager that the agent is alive.
CURLcode transfer( CURLM * m, CURL * c, std::function< bool() > const & cancelled,
                   ServiceManager * serviceManager ) {
   curl_multi_add_handle( m, c );
   TerminationFd const term;
   curl_waitfd extra{ term.fd(), CURL_WAIT_POLLIN, 0 };
   CURLcode rc = CURLE_OK;
   // Asking costs the caller a round through its own machinery (a gRPC
   // call's poll): not once per piece of a body of hundreds of MB.
   auto nextAsk = std::chrono::steady_clock::now();
   for ( ;; ) {
      int running = 0;
      if ( curl_multi_perform( m, &running ) != CURLM_OK ) {
         rc = CURLE_FAILED_INIT;
         break;
      }
      if ( running == 0 ) {
         int left = 0;
         CURLMsg * msg = curl_multi_info_read( m, &left );
         rc = msg && msg->msg == CURLMSG_DONE ? msg->data.result : CURLE_FAILED_INIT;
         break;
      }
      if ( terminationPending() ) {
         rc = CURLE_ABORTED_BY_CALLBACK;
         break;
      }
      if ( cancelled && std::chrono::steady_clock::now() >= nextAsk ) {
         if ( cancelled() ) {
            rc = CURLE_ABORTED_BY_CALLBACK;
            break;
         }
         nextAsk = std::chrono::steady_clock::now() + std::chrono::seconds( 1 );
      }
      long aliveMs = 0;
      if ( serviceManager ) {
         serviceManager->alive();
         aliveMs = std::chrono::duration_cast< std::chrono::milliseconds >(
                      serviceManager->aliveInterval() )
                      .count();
      }
      curl_multi_poll( m, term.fd() >= 0 ? &extra : nullptr, term.fd() >= 0 ? 1 : 0,
                       aliveMs > 0 && aliveMs < 1000 ? int( aliveMs ) : 1000, nullptr );
   }
   curl_multi_remove_handle( m, c );
   return rc;
}

} // namespace

DockerApiClient::DockerApiClient( String socketPath, ServiceManager * serviceManager )
    : curl_( nullptr ), multi_( nullptr ), socketPath_( std::move( socketPath ) ),
      serviceManager_( serviceManager ) {
   static bool const globalInit = ( curl_global_init( CURL_GLOBAL_DEFAULT ), true );
   (void)globalInit;
   curl_ = curl_easy_init();
   multi_ = curl_multi_init();
   if ( !curl_ || !multi_ ) {
      curl_easy_cleanup( static_cast< CURL * >( curl_ ) );
      curl_multi_cleanup( static_cast< CURLM * >( multi_ ) );
      throw RuntimeException( "cannot create a curl handle" );
   }
}

DockerApiClient::~DockerApiClient() {
   curl_multi_cleanup( static_cast< CURLM * >( multi_ ) );
   curl_easy_cleanup( static_cast< CURL * >( curl_ ) );
}

void DockerApiClient::answered( String const & why ) {
   if ( answerObserver_ ) {
      answerObserver_( why );
   }
}

String DockerApiClient::escape( String const & s ) {
   // The handle argument is ignored by current libcurl.
   char * e = curl_easy_escape( nullptr, s.c_str(), static_cast< int >( s.size() ) );
   String out( e ? e : "" );
   curl_free( e );
   return out;
}

DockerApiClient::Response DockerApiClient::request( String const & method, String const & path,
                                                    String const & body, Read const & upload,
                                                    long timeoutSec,
                                                    std::vector< String > const & headers ) {
   long const limit = timeoutSec > 0    ? timeoutSec
                      : method == "GET" ? kLookupLimitSec
                                        : kChangeLimitSec;
   return perform( method, path, body, upload, { limit, 0 }, headers );
}

DockerApiClient::Response DockerApiClient::stream( String const & method, String const & path,
                                                   Read const & upload,
                                                   std::vector< String > const & headers,
                                                   long idleSec ) {
   return perform( method, path, "", upload, { 0, idleSec }, headers );
}

long DockerApiClient::follow( String const & path,
                              std::function< bool( std::string_view ) > const & sink,
                              std::function< bool() > const & keepGoing ) {
   Follower f{ sink, keepGoing };
   return perform( "GET", path, "", {}, { 0, 0 }, {}, &f ).status;
}

DockerApiClient::Response DockerApiClient::perform( String const & method, String const & path,
                                                    String const & body, Read const & upload,
                                                    Limit limit,
                                                    std::vector< String > const & extra,
                                                    Follower * follower ) {
   if ( terminationPending() ) {
      throw RuntimeException( method + " " + path + " not sent: the agent is stopping" );
   }
   auto * c = static_cast< CURL * >( curl_ );
   curl_easy_reset( c );
   Response r;
   String url = String( "http://localhost" ) + kVersionPath + path;
   curl_easy_setopt( c, CURLOPT_UNIX_SOCKET_PATH, socketPath_.c_str() );
   curl_easy_setopt( c, CURLOPT_URL, url.c_str() );
   curl_easy_setopt( c, CURLOPT_CUSTOMREQUEST, method.c_str() );
   curl_easy_setopt( c, CURLOPT_WRITEFUNCTION, writeCb );
   curl_easy_setopt( c, CURLOPT_WRITEDATA, &r.body );
   if ( follower ) {
      curl_easy_setopt( c, CURLOPT_WRITEFUNCTION, followCb );
      curl_easy_setopt( c, CURLOPT_WRITEDATA, follower );
      curl_easy_setopt( c, CURLOPT_XFERINFOFUNCTION, followProgressCb );
      curl_easy_setopt( c, CURLOPT_XFERINFODATA, follower );
      curl_easy_setopt( c, CURLOPT_NOPROGRESS, 0L );
   }
   curl_easy_setopt( c, CURLOPT_NOSIGNAL, 1L );
   // Every request connects anew: a unix connection costs next to nothing,
   // and one kept open would outlive the socket it came from (a daemon
   // restarted under the agent, a socket replaced).
   curl_easy_setopt( c, CURLOPT_FORBID_REUSE, 1L );
   curl_easy_setopt( c, CURLOPT_CONNECTTIMEOUT, kLookupLimitSec );
   long totalMs = limit.totalSec * 1000;
   if ( deadline_ != std::chrono::steady_clock::time_point::max() ) {
      auto const left = std::chrono::duration_cast< std::chrono::milliseconds >(
                           deadline_ - std::chrono::steady_clock::now() )
                           .count();
      if ( left <= 0 ) {
         throw DaemonUnansweredException( method + " " + path + " not sent: the deadline passed",
                                          true );
      }
      totalMs = totalMs > 0 ? std::min< long >( totalMs, left ) : long( left );
   }
   if ( totalMs > 0 ) {
      curl_easy_setopt( c, CURLOPT_TIMEOUT_MS, totalMs );
   }
   if ( limit.idleSec > 0 ) {
      curl_easy_setopt( c, CURLOPT_LOW_SPEED_LIMIT, 1L );
      curl_easy_setopt( c, CURLOPT_LOW_SPEED_TIME, limit.idleSec );
   }
   struct curl_slist * headers = nullptr;
   for ( auto const & h : extra ) {
      headers = curl_slist_append( headers, h.c_str() );
   }
   if ( upload ) {
      headers = curl_slist_append( headers, "Content-Type: application/x-tar" );
      headers = curl_slist_append( headers, "Transfer-Encoding: chunked" );
      curl_easy_setopt( c, CURLOPT_UPLOAD, 1L );
      curl_easy_setopt( c, CURLOPT_READFUNCTION, readCb );
      curl_easy_setopt( c, CURLOPT_READDATA, &upload );
      // A tarball of hundreds of MB: its largest pieces, not 64 KiB ones,
      // cost the fewest rounds through the read and the socket. This
      // client blocks its own thread, never the loop.
      curl_easy_setopt( c, CURLOPT_UPLOAD_BUFFERSIZE, 2L << 20 );
      // UPLOAD implies PUT; keep the method asked for.
      curl_easy_setopt( c, CURLOPT_CUSTOMREQUEST, method.c_str() );
   } else if ( !body.empty() ) {
      headers = curl_slist_append( headers, "Content-Type: application/json" );
      curl_easy_setopt( c, CURLOPT_POSTFIELDS, body.c_str() );
      curl_easy_setopt( c, CURLOPT_POSTFIELDSIZE, static_cast< long >( body.size() ) );
   } else if ( method == "POST" ) {
      curl_easy_setopt( c, CURLOPT_POSTFIELDS, "" );
      curl_easy_setopt( c, CURLOPT_POSTFIELDSIZE, 0L );
   }
   if ( headers ) {
      curl_easy_setopt( c, CURLOPT_HTTPHEADER, headers );
   }
   CURLcode const rc = transfer( static_cast< CURLM * >( multi_ ), c, cancelled_, serviceManager_ );
   curl_slist_free_all( headers );
   if ( follower && follower->stopped ) {
      curl_easy_getinfo( c, CURLINFO_RESPONSE_CODE, &r.status );
      return r;
   }
   if ( rc == CURLE_ABORTED_BY_CALLBACK ) {
      throw RuntimeException( method + " " + path + " via " + socketPath_ + " given up: " +
                              ( terminationPending() ? "the agent is stopping" : "cancelled" ) );
   }
   if ( rc != CURLE_OK ) {
      String const why =
         method + " " + path + " via " + socketPath_ + ": " + curl_easy_strerror( rc );
      answered( why );
      throw DaemonUnansweredException( why, rc == CURLE_OPERATION_TIMEDOUT );
   }
   curl_easy_getinfo( c, CURLINFO_RESPONSE_CODE, &r.status );
   answered( "" );
   return r;
}

String DockerApiClient::errorMessage( Response const & r ) {
   auto j = nlohmann::json::parse( r.body, nullptr, false );
   if ( j.is_object() && j.contains( "message" ) && j[ "message" ].is_string() ) {
      return j[ "message" ].get< String >();
   }
   return r.body.empty() ? "HTTP status " + std::to_string( r.status ) : r.body;
}

nlohmann::json DockerApiClient::call( String const & method, String const & path,
                                      nlohmann::json const & body, long timeoutSec ) {
   return answerJson(
      request( method, path, body.is_null() ? "" : jsonText( body ), {}, timeoutSec ) );
}

nlohmann::json DockerApiClient::answerJson( Response const & r ) {
   if ( r.status >= 500 ) {
      // The daemon failed; it did not refuse. "No such container" must not
      // be read into a daemon error.
      throw RuntimeException( errorMessage( r ) );
   }
   if ( r.status < 200 || r.status >= 300 ) {
      throw ApiRequestException( errorMessage( r ) );
   }
   if ( r.body.empty() ) {
      return nullptr;
   }
   auto j = nlohmann::json::parse( r.body, nullptr, false );
   return j.is_discarded() ? nlohmann::json( r.body ) : j;
}

} // namespace Quayd
