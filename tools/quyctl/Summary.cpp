// `show` alone: one screen that says whether the sub-agent and its runtime
// run, and how many containers, registries and images are in each state.
#include <sys/statvfs.h>

#include <ostream>

#include "agent/QuaydSm.h"
#include "tools/quyctl/Command.h"
#include "tools/quyctl/ContainerView.h"
#include "tools/quyctl/Quyctl.h"
#include "tools/quyctl/Show.h"

namespace Quayd::Quyctl {

namespace {

template < typename Dir >
Ptr< Dir > readDir( Redis::Connection & c, String const & path ) {
   auto dir = makePtr< Dir >();
   dir->pathIs( path );
   readFields( c, *dir );
   return dir;
}

nlohmann::json containerCounts( Redis::Connection & c, TimePoint now ) {
   nlohmann::json agent = nlohmann::json::object(), daemon = nlohmann::json::object();
   size_t total = 0;
   for ( auto const & name : containerNames( c ) ) {
      auto const row = containerRow( c, name, now );
      ++total;
      String const a = row[ "agentState" ].is_null() ? "unknown" : row[ "agentState" ];
      String const d =
         row[ "daemonState" ].get< String >().empty() ? "absent" : row[ "daemonState" ];
      agent[ a ] = agent.value( a, 0 ) + 1;
      daemon[ d ] = daemon.value( d, 0 ) + 1;
   }
   return { { "total", total }, { "byAgentState", agent }, { "byDaemonState", daemon } };
}

nlohmann::json registryCounts( Redis::Connection & c ) {
   size_t total = 0, failed = 0;
   String const dir = Cell::path( Paths::kRegistryStatus, 0 );
   for ( auto const & key : c.scan( Redis::globEscape( dir + "|" ) + "*" ) ) {
      RegistryStatus r;
      r.pathIs( key );
      readFields( c, r );
      ++total;
      failed += r.state() == RegistryState::loginFailed;
   }
   return { { "total", total }, { "loginFailed", failed } };
}

// A configured tarball that gave no tag, or whose last load failed, has not
// loaded (yet, or at all).
nlohmann::json imageCounts( Redis::Connection & c ) {
   ImageLoadConfigDir config;
   config.pathIs( Paths::kImageConfig );
   readFields( c, config );
   size_t notLoaded = 0;
   for ( auto const & tarball : config.tarball() ) {
      ImageLoadStatus st;
      st.pathIs( Cell::path( Paths::kImageStatus, 0 ) + "|" + tarball );
      readFields( c, st );
      notLoaded += st.tag().empty() || !st.error().empty();
   }
   return { { "tarballs", config.tarball().size() }, { "notLoaded", notLoaded } };
}

// Where the runtime keeps images and containers; on flash, how full the
// file system in its image file is, read on this machine.
nlohmann::json dataRoot( bool onFlash ) {
   String const path = onFlash ? QuaydSm::datarootOnFlash() : QuaydSm::kDefaultDataRoot;
   nlohmann::json j{ { "path", path } };
   struct statvfs v;
   if ( onFlash && ::statvfs( path.c_str(), &v ) == 0 ) {
      j[ "sizeBytes" ] = uint64_t( v.f_blocks ) * v.f_frsize;
      j[ "usedBytes" ] = uint64_t( v.f_blocks - v.f_bfree ) * v.f_frsize;
   }
   return j;
}

String mebibytes( nlohmann::json const & bytes ) {
   return std::to_string( bytes.get< uint64_t >() >> 20 );
}

} // namespace

int showSummary( Redis::Connection & c, bool json, Streams const & s ) {
   SubAgentCandidate candidate;
   candidate.pathIs( kSubAgentCandidatePath );
   readFields( c, candidate );
   QuaydStatus runtime;
   runtime.pathIs( Cell::path( Paths::kQuaydStatus, 0 ) );
   readFields( c, runtime );
   QuaydConfig config;
   config.pathIs( Paths::kQuaydConfig );
   readFields( c, config );
   nlohmann::json const j{ { "subAgent",
                             { { "configured", candidate.subAgentConfigured().subAgentType },
                               { "running", candidate.subAgentRunning().subAgentType } } },
                           { "runtime",
                             { { "enabled", config.enabled() },
                               { "state", runtime.state() },
                               { "onFlash", runtime.runningOnFlash() },
                               { "flashLimit", runtime.flashLimit() },
                               { "error", runtime.runtimeError() },
                               { "mountError", runtime.mountError() },
                               { "dataRoot", dataRoot( runtime.runningOnFlash() ) } } },
                           { "containers", containerCounts( c, s.now ) },
                           { "registries", registryCounts( c ) },
                           { "images", imageCounts( c ) } };
   if ( json ) {
      s.out << jsonText( j, 2 ) << "\n";
      return kOk;
   }
   auto words = []( nlohmann::json const & counts ) {
      String text;
      for ( auto const & [ state, n ] : counts.items() ) {
         text += ( text.empty() ? "" : ", " ) + std::to_string( n.get< int >() ) + " " + state;
      }
      return text.empty() ? String( "none" ) : text;
   };
   auto const & r = j[ "runtime" ];
   auto const & k = j[ "containers" ];
   Fields const fields{
      { "Sub-agents", "configured " + j[ "subAgent" ][ "configured" ].get< String >() +
                         ", running " + j[ "subAgent" ][ "running" ].get< String >() },
      { "Runtime",
        r[ "state" ].get< String >() + ( r[ "onFlash" ] ? ", data root on flash" : "" ) +
           ( r[ "flashLimit" ] != 0
                ? " (limit " + std::to_string( r[ "flashLimit" ].get< uint64_t >() ) + " bytes)"
                : "" ) },
      { "Data root", r[ "dataRoot" ][ "path" ].get< String >() +
                        ( r[ "dataRoot" ].contains( "sizeBytes" )
                             ? ", " + mebibytes( r[ "dataRoot" ][ "usedBytes" ] ) + " of " +
                                  mebibytes( r[ "dataRoot" ][ "sizeBytes" ] ) + " MiB used"
                             : "" ) },
      { "Runtime error",
        r[ "error" ].get< String >().empty() ? "none" : r[ "error" ].get< String >() },
      { "Mount error",
        r[ "mountError" ].get< String >().empty() ? "none" : r[ "mountError" ].get< String >() },
      { "Containers",
        std::to_string( k[ "total" ].get< size_t >() ) + ": " + words( k[ "byAgentState" ] ) },
      { "Daemon says", words( k[ "byDaemonState" ] ) },
      { "Registries", std::to_string( j[ "registries" ][ "total" ].get< size_t >() ) + ", " +
                         std::to_string( j[ "registries" ][ "loginFailed" ].get< size_t >() ) +
                         " failed to log in" },
      { "Image tarballs", std::to_string( j[ "images" ][ "tarballs" ].get< size_t >() ) + ", " +
                             std::to_string( j[ "images" ][ "notLoaded" ].get< size_t >() ) +
                             " not loaded" }
   };
   printFields( s.out, fields, 0 );
   return kOk;
}

} // namespace Quayd::Quyctl
