#include "platform/docker/AsyncApiClient.h"

#include <curl/curl.h>

#include <vector>

#include "platform/Exception.h"
#include "platform/docker/DockerApiClient.h"

namespace Quayd {

struct AsyncApiClient::Request {
   Id id;
   String method, path, body;
   Done done;
   Read read;
   Result result;
   CURL * easy = nullptr;
   curl_slist * headers = nullptr;
   ~Request() {
      curl_slist_free_all( headers );
      curl_easy_cleanup( easy );
   }
};

namespace {

// Keeps at most kMaxBody of the answer; past it the transfer ends.
size_t bodyCb( char * data, size_t size, size_t n, void * user ) {
   auto * r = static_cast< AsyncApiClient::Result * >( user );
   size_t const len = size * n;
   size_t const room = AsyncApiClient::kMaxBody - r->body.size();
   if ( len > room ) {
      r->body.append( data, room );
      r->truncated = true;
      return 0;
   }
   r->body.append( data, len );
   return len;
}

} // namespace

AsyncApiClient::AsyncApiClient( EventLoop & loop, String socketPath, size_t maxInFlight )
    : loop_( loop ), socketPath_( std::move( socketPath ) ),
      maxInFlight_( std::max< size_t >( 1, maxInFlight ) ),
      timer_( makePtr< TimerTask >( loop.scheduler(), TaskPriority( 0 ), "engine api calls",
                                    [ this ] { act( CURL_SOCKET_TIMEOUT, 0 ); } ) ) {
   curl_global_init( CURL_GLOBAL_DEFAULT );
   multi_ = curl_multi_init();
   if ( !multi_ ) {
      curl_global_cleanup();
      throw RuntimeException( "cannot create a curl multi handle" );
   }
   curl_multi_setopt( multi_, CURLMOPT_SOCKETFUNCTION, &AsyncApiClient::onSocket );
   curl_multi_setopt( multi_, CURLMOPT_SOCKETDATA, this );
   curl_multi_setopt( multi_, CURLMOPT_TIMERFUNCTION, &AsyncApiClient::onTimer );
   curl_multi_setopt( multi_, CURLMOPT_TIMERDATA, this );
}

AsyncApiClient::~AsyncApiClient() {
   *alive_ = false;
   cancelAll();
   timer_->stopTimerTask();
   curl_multi_cleanup( multi_ );
   curl_global_cleanup();
}

void AsyncApiClient::maxInFlightIs( size_t n ) {
   maxInFlight_ = std::max< size_t >( 1, n );
   launch();
}

std::unique_ptr< AsyncApiClient::Request > AsyncApiClient::request( String method, String path,
                                                                    Done done ) {
   auto r = std::make_unique< Request >();
   r->id = next_++;
   r->method = std::move( method );
   r->path = std::move( path );
   r->done = std::move( done );
   r->easy = curl_easy_init();
   if ( !r->easy ) {
      throw RuntimeException( "cannot create a curl handle" );
   }
   CURL * c = r->easy;
   String const url = String( "http://localhost" ) + DockerApiClient::kVersionPath + r->path;
   curl_easy_setopt( c, CURLOPT_UNIX_SOCKET_PATH, socketPath_.c_str() );
   curl_easy_setopt( c, CURLOPT_URL, url.c_str() );
   curl_easy_setopt( c, CURLOPT_WRITEFUNCTION, bodyCb );
   curl_easy_setopt( c, CURLOPT_WRITEDATA, &r->result );
   curl_easy_setopt( c, CURLOPT_NOSIGNAL, 1L );
   // A connection of its own each: one kept open would outlive a daemon
   // restarted under the agent.
   curl_easy_setopt( c, CURLOPT_FORBID_REUSE, 1L );
   curl_easy_setopt( c, CURLOPT_CONNECTTIMEOUT, DockerApiClient::kLookupLimitSec );
   return r;
}

AsyncApiClient::Id AsyncApiClient::send( String method, String path, String body, long timeoutSec,
                                         Done done ) {
   auto r = request( std::move( method ), std::move( path ), std::move( done ) );
   r->body = std::move( body );
   CURL * c = r->easy;
   curl_easy_setopt( c, CURLOPT_CUSTOMREQUEST, r->method.c_str() );
   curl_easy_setopt( c, CURLOPT_TIMEOUT, std::max( 1L, timeoutSec ) );
   if ( !r->body.empty() ) {
      r->headers = curl_slist_append( nullptr, "Content-Type: application/json" );
      curl_easy_setopt( c, CURLOPT_HTTPHEADER, r->headers );
   }
   if ( !r->body.empty() || r->method == "POST" ) {
      curl_easy_setopt( c, CURLOPT_POSTFIELDS, r->body.c_str() );
      curl_easy_setopt( c, CURLOPT_POSTFIELDSIZE, long( r->body.size() ) );
   }
   return enqueue( std::move( r ) );
}

AsyncApiClient::Id AsyncApiClient::upload( String method, String path, Read read, long idleSec,
                                           Done done ) {
   auto r = request( std::move( method ), std::move( path ), std::move( done ) );
   r->read = std::move( read );
   CURL * c = r->easy;
   r->headers = curl_slist_append( nullptr, "Content-Type: application/x-tar" );
   r->headers = curl_slist_append( r->headers, "Transfer-Encoding: chunked" );
   curl_easy_setopt( c, CURLOPT_HTTPHEADER, r->headers );
   curl_easy_setopt( c, CURLOPT_UPLOAD, 1L );
   curl_easy_setopt( c, CURLOPT_READFUNCTION, readCb );
   curl_easy_setopt( c, CURLOPT_READDATA, r.get() );
   // curl's own 64 KiB pieces, not the synchronous client's larger ones:
   // each is read from flash on the loop, which must not wait on a slow one.
   // UPLOAD implies PUT; keep the method asked for.
   curl_easy_setopt( c, CURLOPT_CUSTOMREQUEST, r->method.c_str() );
   curl_easy_setopt( c, CURLOPT_LOW_SPEED_LIMIT, 1L );
   curl_easy_setopt( c, CURLOPT_LOW_SPEED_TIME, std::max( 1L, idleSec ) );
   return enqueue( std::move( r ) );
}

size_t AsyncApiClient::readCb( char * buf, size_t size, size_t n, void * request ) {
   auto * r = static_cast< Request * >( request );
   try {
      return r->read( buf, size * n );
   } catch ( RuntimeException const & e ) {
      r->result.uploadFailed = true;
      r->result.error = e.what();
      return CURL_READFUNC_ABORT;
   }
}

AsyncApiClient::Id AsyncApiClient::enqueue( std::unique_ptr< Request > r ) {
   Id const id = r->id;
   queue_.push_back( std::move( r ) );
   launch();
   return id;
}

void AsyncApiClient::launch() {
   while ( running_.size() < maxInFlight_ && !queue_.empty() ) {
      auto r = std::move( queue_.front() );
      queue_.pop_front();
      CURL * c = r->easy;
      running_[ c ] = std::move( r );
      curl_multi_add_handle( multi_, c );
   }
}

void AsyncApiClient::cancel( Id id ) {
   std::erase_if( queue_, [ id ]( auto const & r ) { return r->id == id; } );
   for ( auto it = running_.begin(); it != running_.end(); ++it ) {
      if ( it->second->id == id ) {
         curl_multi_remove_handle( multi_, it->first );
         running_.erase( it );
         launch();
         return;
      }
   }
}

void AsyncApiClient::cancelAll() {
   queue_.clear();
   for ( auto & [ easy, r ] : running_ ) {
      curl_multi_remove_handle( multi_, easy );
   }
   running_.clear();
}

int AsyncApiClient::onSocket( void *, int fd, int what, void * self, void * ) {
   auto * me = static_cast< AsyncApiClient * >( self );
   if ( what == CURL_POLL_REMOVE ) {
      me->loop_.fdDel( fd );
      return 0;
   }
   me->loop_.fdWatch( fd, what & CURL_POLL_IN, what & CURL_POLL_OUT,
                      [ me, fd ]( bool readable, bool writable ) {
                         me->act( fd, ( readable ? CURL_CSELECT_IN : 0 ) |
                                         ( writable ? CURL_CSELECT_OUT : 0 ) );
                      } );
   return 0;
}

int AsyncApiClient::onTimer( void *, long ms, void * self ) {
   auto * me = static_cast< AsyncApiClient * >( self );
   // Acted on from the loop: curl must not be called back into from here.
   if ( ms < 0 ) {
      me->timer_->stopTimerTask();
   } else {
      me->timer_->scheduleTaskDelay( std::chrono::milliseconds( ms ) );
   }
   return 0;
}

void AsyncApiClient::act( int fd, int flags ) {
   int running = 0;
   curl_multi_socket_action( multi_, fd, flags, &running );
   finishDone();
}

void AsyncApiClient::finishDone() {
   std::vector< std::unique_ptr< Request > > ended;
   int left = 0;
   while ( CURLMsg * msg = curl_multi_info_read( multi_, &left ) ) {
      auto it = running_.find( msg->easy_handle );
      if ( msg->msg != CURLMSG_DONE || it == running_.end() ) {
         continue;
      }
      auto r = std::move( it->second );
      running_.erase( it );
      CURLcode const rc = msg->data.result;
      curl_multi_remove_handle( multi_, r->easy );
      curl_easy_getinfo( r->easy, CURLINFO_RESPONSE_CODE, &r->result.status );
      if ( r->result.truncated ) {
         r->result.error = r->method + " " + r->path + ": the answer is longer than " +
                           std::to_string( kMaxBody >> 20 ) + " MiB";
      } else if ( r->result.uploadFailed ) {
         r->result.status = 0;
      } else if ( rc != CURLE_OK ) {
         r->result.status = 0;
         r->result.timedOut = rc == CURLE_OPERATION_TIMEDOUT;
         r->result.error =
            r->method + " " + r->path + " via " + socketPath_ + ": " + curl_easy_strerror( rc );
      }
      ended.push_back( std::move( r ) );
   }
   launch();
   // A callback may end this client: what is still to call holds no member.
   auto const alive = alive_;
   for ( auto & r : ended ) {
      if ( !*alive ) {
         return;
      }
      r->done( std::move( r->result ) );
   }
}

} // namespace Quayd
