#include "platform/docker/DockerApiClient.h"

#include <curl/curl.h>

#include "platform/Codec.h"
#include "platform/Exception.h"

namespace Quayd {

namespace {

char const * const kBase = "http://localhost/v1.41";

size_t writeCb( char * data, size_t size, size_t n, void * user ) {
   static_cast< String * >( user )->append( data, size * n );
   return size * n;
}

size_t readCb( char * buf, size_t size, size_t n, void * user ) {
   return fread( buf, size, n, static_cast< FILE * >( user ) ) * size;
}

} // namespace

DockerApiClient::DockerApiClient( String socketPath )
    : curl_( nullptr ), socketPath_( std::move( socketPath ) ) {
   static bool const globalInit = ( curl_global_init( CURL_GLOBAL_DEFAULT ), true );
   (void)globalInit;
   curl_ = curl_easy_init();
   if ( !curl_ ) {
      throw RuntimeException( "cannot create a curl handle" );
   }
}

DockerApiClient::~DockerApiClient() { curl_easy_cleanup( static_cast< CURL * >( curl_ ) ); }

String DockerApiClient::escape( String const & s ) {
   // The handle argument is ignored by current libcurl.
   char * e = curl_easy_escape( nullptr, s.c_str(), static_cast< int >( s.size() ) );
   String out( e ? e : "" );
   curl_free( e );
   return out;
}

DockerApiClient::Response DockerApiClient::request( String const & method, String const & path,
                                                    String const & body, FILE * upload,
                                                    long timeoutSec,
                                                    std::vector< String > const & extra ) {
   auto * c = static_cast< CURL * >( curl_ );
   curl_easy_reset( c );
   Response r;
   String url = String( kBase ) + path;
   curl_easy_setopt( c, CURLOPT_UNIX_SOCKET_PATH, socketPath_.c_str() );
   curl_easy_setopt( c, CURLOPT_URL, url.c_str() );
   curl_easy_setopt( c, CURLOPT_CUSTOMREQUEST, method.c_str() );
   curl_easy_setopt( c, CURLOPT_WRITEFUNCTION, writeCb );
   curl_easy_setopt( c, CURLOPT_WRITEDATA, &r.body );
   curl_easy_setopt( c, CURLOPT_NOSIGNAL, 1L );
   curl_easy_setopt( c, CURLOPT_CONNECTTIMEOUT, 5L );
   if ( timeoutSec > 0 ) {
      curl_easy_setopt( c, CURLOPT_TIMEOUT, timeoutSec );
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
      curl_easy_setopt( c, CURLOPT_READDATA, upload );
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
   CURLcode rc = curl_easy_perform( c );
   curl_slist_free_all( headers );
   if ( rc != CURLE_OK ) {
      throw RuntimeException( method + " " + path + " via " + socketPath_ + ": " +
                              curl_easy_strerror( rc ) );
   }
   curl_easy_getinfo( c, CURLINFO_RESPONSE_CODE, &r.status );
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
   Response r =
      request( method, path, body.is_null() ? "" : jsonText( body ), nullptr, timeoutSec );
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
