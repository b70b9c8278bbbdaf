#include "agent/UrlReachability.h"

#include <uriparser/Uri.h>

#include <stdexcept>

#include "platform/Exception.h"
#include "platform/Trace.h"

namespace Quayd {

QUAYD_ENTITY_TABLE( UrlReachabilityStatus, URL_REACHABILITY_STATUS_FIELDS )

namespace {
TraceHandle const trace( "UrlReachability" );

String rangeText( UriTextRangeA const & r ) { return String( r.first, r.afterLast ); }
bool present( UriTextRangeA const & r ) { return r.first && r.afterLast; }
} // namespace

UrlInfo UrlInfo::urlInfo( String const & url ) {
   QUAYD_ASSERT( !url.empty() );
   UriUriA uri;
   if ( uriParseSingleUriA( &uri, url.c_str(), nullptr ) != URI_SUCCESS ) {
      throw std::invalid_argument( fmt::format( "Failed to parse URL {}", url ) );
   }
   // Freed on every path out.
   std::unique_ptr< UriUriA, void ( * )( UriUriA * ) > guard( &uri, uriFreeUriMembersA );
   if ( !present( uri.scheme ) ) {
      throw std::invalid_argument( fmt::format( "Failed to parse scheme in URL {}", url ) );
   }
   // "udp://:514" has a host part, an empty one: nothing to probe.
   if ( !present( uri.hostText ) || uri.hostText.first == uri.hostText.afterLast ) {
      throw std::invalid_argument( fmt::format( "Failed to parse hostText in URL {}", url ) );
   }
   // Never an option of the probe, whatever the probe makes of "--".
   if ( *uri.hostText.first == '-' ) {
      throw std::invalid_argument( fmt::format( "Host in URL {} begins with '-'", url ) );
   }
   String const port = present( uri.portText ) ? rangeText( uri.portText ) : String();
   return UrlInfo( url, rangeText( uri.scheme ), rangeText( uri.hostText ), port );
}

void to_json( nlohmann::json & j, UrlInfo const & u ) {
   j = nlohmann::json{
      { "url", u.url() }, { "scheme", u.scheme() }, { "host", u.host() }, { "port", u.port() }
   };
}

void from_json( nlohmann::json const & j, UrlInfo & u ) {
   u = UrlInfo( j.at( "url" ).get< String >(), j.at( "scheme" ).get< String >(),
                j.at( "host" ).get< String >(), j.at( "port" ).get< String >() );
}

Ptr< UrlReachabilityStatus > urlReachabilityStatusFactory() {
   return makePtr< UrlReachabilityStatus >();
}

UrlReachabilityBaseSm::UrlReachabilityBaseSm( String url, NamespaceName netNs,
                                              Ptr< UrlReachabilityStatus > status,
                                              Ptr< TaskScheduler > taskScheduler )
    : url_( std::move( url ) ), netNs_( std::move( netNs ) ), status_( std::move( status ) ),
      taskScheduler_( std::move( taskScheduler ) ) {
   QUAYD_ASSERT( status_ );
   QUAYD_ASSERT( taskScheduler_ );
}

// ---------------------------------------------------------- the real machine

UrlReachabilitySm::UrlReachabilitySm( String url, NamespaceName netNs,
                                      Ptr< UrlReachabilityStatus > status,
                                      Ptr< TaskScheduler > taskScheduler, ProcessRunner & processes,
                                      Duration pollInterval, Duration watchdogTimeout,
                                      Duration connectTimeout, Duration udpIdleTimeout )
    : UrlReachabilityBaseSm( std::move( url ), std::move( netNs ), std::move( status ),
                             std::move( taskScheduler ) ),
      pollInterval_( pollInterval ), watchdogTimeout_( watchdogTimeout ),
      connectTimeout_( connectTimeout ), udpIdleTimeout_( udpIdleTimeout ) {
   try {
      ui_ = UrlInfo::urlInfo( url_ );
   } catch ( std::invalid_argument const & e ) {
      // Never answers: the owner keeps waiting, as for a server that is down.
      QTRACE( trace, 0, "{}", e.what() );
      return;
   }
   probeCmd_ = createProbeCmd( ui_, connectTimeout_, udpIdleTimeout_ );
   probeStatus_ = probeStatusFactory();
   reactor_.on( probeStatus_, ProbeStatus::Attr::success, [ this ] { handleProbeSuccess(); } );
   reactor_.start();
   handleProbeSuccess();
   probe_ = probeFactory( "urlProbe", probeCmd_, netNs_, probeStatus_, taskScheduler_, processes,
                          std::chrono::duration_cast< Seconds >( pollInterval_ ),
                          std::chrono::duration_cast< Seconds >( watchdogTimeout_ ) );
   probe_->notificationsIs( true );
}

UrlReachabilitySm::~UrlReachabilitySm() {
   reactor_.notificationsIs( false );
   reactor_.unwatchAll();
   if ( probe_ ) {
      probe_->notificationsIs( false );
   }
}

Ptr< ProbeCmd const > UrlReachabilitySm::createProbeCmd( UrlInfo const & ui,
                                                         Duration connectTimeout,
                                                         Duration udpIdleTimeout ) {
   auto cmd = probeCmdFactory();
   cmd->argPush( "nc" );
   cmd->argPush( "-z" );
   cmd->argPush( "-w" );
   cmd->argPush( fmt::format( "{:.1f}", toSeconds( connectTimeout ) ) );
   if ( ui.scheme() == "udp" ) {
      cmd->argPush( "-u" );
      cmd->argPush( "-i" );
      cmd->argPush( fmt::format( "{:.1f}", toSeconds( udpIdleTimeout ) ) );
   }
   cmd->argPush( "--" );
   cmd->argPush( ui.host() );
   cmd->argPush( ui.port().empty() ? String( kDefaultSyslogPort ) : ui.port() );
   return cmd;
}

void UrlReachabilitySm::handleProbeSuccess() {
   QTRACE( trace, 2, "" );
   // Last: the owner may drop this machine in reaction.
   status_->reachableIs( probeStatus_->success() );
}

Ptr< UrlReachabilitySm > urlReachabilitySmFactory(
   String const & url, NamespaceName const & netNs, Ptr< UrlReachabilityStatus > status,
   Ptr< TaskScheduler > taskScheduler, ProcessRunner & processes, Duration pollInterval,
   Duration watchdogTimeout, Duration connectTimeout, Duration udpIdleTimeout ) {
   return makePtr< UrlReachabilitySm >( url, netNs, std::move( status ), std::move( taskScheduler ),
                                        processes, pollInterval, watchdogTimeout, connectTimeout,
                                        udpIdleTimeout );
}

} // namespace Quayd
