#pragma once
// Whether the host of a URL answers on its port, seen from a network
// namespace: a netcat probe run until it succeeds once, published as the
// `reachable` flag of a status the owner watches.
#include <functional>
#include <optional>

#include "agent/Probe.h"
#include "platform/Namespace.h"

namespace Quayd {

// A URL with the three parts the probe needs.
class UrlInfo {
 public:
   UrlInfo() = default;
   UrlInfo( String url, String scheme, String host, String port )
       : url_( std::move( url ) ), scheme_( std::move( scheme ) ), host_( std::move( host ) ),
         port_( std::move( port ) ) {}
   // Throws std::invalid_argument, with the diagnostic text, for a URL
   // without a scheme or a host, or one the parser rejects.
   static UrlInfo urlInfo( String const & url );

   String const & url() const { return url_; }
   String const & scheme() const { return scheme_; }
   String const & host() const { return host_; }
   String const & port() const { return port_; }
   bool operator==( UrlInfo const & ) const = default;
   explicit operator bool() const { return *this != UrlInfo(); }

 private:
   String url_, scheme_, host_, port_;
};
void to_json( nlohmann::json & j, UrlInfo const & u );
void from_json( nlohmann::json const & j, UrlInfo & u );

#define URL_REACHABILITY_STATUS_FIELDS( F ) F( ATTR, bool, reachable, false )
QUAYD_ENTITY( UrlReachabilityStatus, URL_REACHABILITY_STATUS_FIELDS );
Ptr< UrlReachabilityStatus > urlReachabilityStatusFactory();

class UrlReachabilityBaseSm : public PtrInterface {
 public:
   UrlReachabilityBaseSm( String url, NamespaceName netNs, Ptr< UrlReachabilityStatus > status,
                          Ptr< TaskScheduler > taskScheduler );
   ~UrlReachabilityBaseSm() override = default;
   String const & url() const { return url_; }
   NamespaceName const & netNs() const { return netNs_; }
   Ptr< UrlReachabilityStatus > const & status() const { return status_; }
   Ptr< TaskScheduler > const & taskScheduler() const { return taskScheduler_; }

 protected:
   String url_;
   NamespaceName netNs_;
   Ptr< UrlReachabilityStatus > status_;
   Ptr< TaskScheduler > taskScheduler_;
};

class UrlReachabilitySm : public UrlReachabilityBaseSm {
 public:
   static constexpr char const * kDefaultSyslogPort = "514";

   UrlReachabilitySm( String url, NamespaceName netNs, Ptr< UrlReachabilityStatus > status,
                      Ptr< TaskScheduler > taskScheduler, ProcessRunner & processes,
                      Duration pollInterval, Duration watchdogTimeout, Duration connectTimeout,
                      Duration udpIdleTimeout );
   ~UrlReachabilitySm() override;

   static Ptr< ProbeCmd const > createProbeCmd( UrlInfo const & ui, Duration connectTimeout,
                                                Duration udpIdleTimeout );
   UrlInfo const & ui() const { return ui_; }
   Ptr< ProbeCmd const > const & probeCmd() const { return probeCmd_; }
   Ptr< ProbeStatus > const & probeStatus() const { return probeStatus_; }
   Ptr< Probe > const & probe() const { return probe_; }

 private:
   void handleProbeSuccess();

   Duration pollInterval_, watchdogTimeout_, connectTimeout_, udpIdleTimeout_;
   UrlInfo ui_;
   Ptr< ProbeCmd const > probeCmd_;
   Ptr< ProbeStatus > probeStatus_;
   Ptr< Probe > probe_;
   Reactor reactor_;
};

Ptr< UrlReachabilitySm > urlReachabilitySmFactory(
   String const & url, NamespaceName const & netNs, Ptr< UrlReachabilityStatus > status,
   Ptr< TaskScheduler > taskScheduler, ProcessRunner & processes, Duration pollInterval,
   Duration watchdogTimeout, Duration connectTimeout, Duration udpIdleTimeout );
// Makes the machine that publishes to `status` whether `url` answers, seen
// from `netNs`: the probe on a switch, a stand-in in tests.
using UrlReachabilityFactory =
   std::function< Ptr< UrlReachabilityBaseSm >( String const & url, NamespaceName const & netNs,
                                                Ptr< UrlReachabilityStatus > status ) >;

} // namespace Quayd
