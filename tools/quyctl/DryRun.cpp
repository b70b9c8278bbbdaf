#include "tools/quyctl/DryRun.h"

#include <ostream>
#include <set>

#include "agent/ContainerPlan.h"
#include "tools/quyctl/Quyctl.h"

namespace Quayd::Quyctl {

void printWrites( Writes const & writes, std::ostream & out ) {
   for ( auto const & w : writes ) {
      if ( w.size() == 2 && w[ 0 ] == "DEL" ) {
         out << w[ 1 ] << " deleted\n";
         continue;
      }
      for ( size_t i = 2; i + 1 < w.size(); i += 2 ) {
         out << w[ 1 ] << " " << w[ i ] << " " << redacted( w[ i ], w[ i + 1 ] ) << "\n";
      }
   }
}

namespace {

using Hash = std::map< String, String >;

// The stored hashes, and the same with the writes applied.
class Views {
 public:
   Views( Redis::Connection & c, Writes const & writes ) : c_( c ) {
      for ( auto const & w : writes ) {
         if ( w[ 0 ] == "DEL" ) {
            after_[ w[ 1 ] ] = std::nullopt;
            continue;
         }
         auto h = hash( w[ 1 ], true ).value_or( Hash{} );
         for ( size_t i = 2; i + 1 < w.size(); i += 2 ) {
            h[ w[ i ] ] = w[ i + 1 ];
         }
         after_[ w[ 1 ] ] = h;
      }
   }
   std::optional< Hash > hash( String const & key, bool after ) {
      if ( auto it = after_.find( key ); after && it != after_.end() ) {
         return it->second;
      }
      auto const stored = c_.hgetall( key );
      if ( stored.empty() ) {
         return std::nullopt;
      }
      return Hash( stored.begin(), stored.end() );
   }
   std::map< String, std::optional< Hash > > const & written() const { return after_; }

 private:
   Redis::Connection & c_;
   std::map< String, std::optional< Hash > > after_;
};

// The fields of `h` decoded into `e`; ones that do not decode keep their default.
void decode( Entity & e, Hash const & h ) {
   for ( auto const & [ field, text ] : h ) {
      if ( auto const * f = e.fieldTable().find( field ); f && f->kind != FieldKind::elements ) {
         f->decode( e, text );
      }
   }
}

struct Wanted {
   bool run = false;
   MergedConfig config{};
   bool operator==( Wanted const & o ) const {
      return run == o.run && o.config.params == config.params &&
             o.config.bindMounts == config.bindMounts;
   }
};

Wanted wanted( Views & v, String const & name, bool after ) {
   auto const own = v.hash( String( Paths::kContainerConfig ) + "|" + name, after );
   if ( !own ) {
      return {};
   }
   ContainerConfig c;
   decode( c, *own );
   ContainerConfig profile;
   bool hasProfile = false;
   if ( !c.profile().empty() ) {
      if ( auto p = v.hash( String( Paths::kProfileConfig ) + "|" + c.profile(), after ) ) {
         decode( profile, *p );
         hasProfile = true;
      }
   }
   MergedConfig merged = mergedConfig( c, hasProfile ? &profile : nullptr );
   bool const run = c.enabled() && !merged.params.image.empty();
   return { run, std::move( merged ) };
}

} // namespace

void printPlan( Redis::Connection & c, Writes const & writes, std::ostream & out ) {
   Views v( c, writes );
   String const configDir = String( Paths::kContainerConfig ) + "|";
   String const profileDir = String( Paths::kProfileConfig ) + "|";
   bool touches = false;
   std::set< String > names;
   for ( auto const & [ key, h ] : v.written() ) {
      touches = touches || key.starts_with( configDir ) || key.starts_with( profileDir );
      if ( key.starts_with( configDir ) ) {
         names.insert( key.substr( configDir.size() ) );
      }
   }
   if ( !touches ) {
      return;
   }
   for ( String const & dir :
         { String( Paths::kContainerConfig ), Cell::path( Paths::kContainerStatus, 0 ) } ) {
      for ( auto const & key : c.scan( Redis::globEscape( dir + "|" ) + "*" ) ) {
         names.insert( key.substr( dir.size() + 1 ) );
      }
   }
   size_t changed = 0;
   for ( auto const & name : names ) {
      Wanted const before = wanted( v, name, false ), after = wanted( v, name, true );
      if ( before == after ) {
         continue;
      }
      ++changed;
      ContainerStatus status;
      if ( auto h = v.hash( Cell::path( Paths::kContainerStatus, 0 ) + "|" + name, false ) ) {
         decode( status, *h );
      }
      bool const runs = status.state() == ContainerRunState::containerRunning_;
      char const * action =
         !after.run ? ( runs ? "stop" : "leave alone" )
         : runs     ? ( statusUpToDate( after.config.params, after.config.bindMounts, status )
                           ? "leave alone"
                           : "restart" )
                    : "start";
      out << "container " << name << ": " << action << "\n";
   }
   if ( !changed ) {
      out << "no container changes\n";
   }
}

} // namespace Quayd::Quyctl
