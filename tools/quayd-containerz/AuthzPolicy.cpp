#include "tools/quayd-containerz/AuthzPolicy.h"

#include <stdexcept>

using nlohmann::json;

namespace Quayd::Containerz {

namespace {

void onlyFields( json const & j, String const & where,
                 std::initializer_list< char const * > known ) {
   if ( !j.is_object() ) {
      throw std::invalid_argument( where + " is not an object" );
   }
   for ( auto const & [ k, v ] : j.items() ) {
      if ( std::find( known.begin(), known.end(), k ) == known.end() ) {
         throw std::invalid_argument( where + " has an unknown field \"" + k + "\"" );
      }
   }
}

std::vector< String > strings( json const & j, char const * field, String const & where ) {
   if ( !j.contains( field ) ) {
      return {};
   }
   std::vector< String > out;
   auto const & list = j[ field ];
   if ( !list.is_array() ) {
      throw std::invalid_argument( where + "." + field + " is not a list" );
   }
   for ( auto const & v : list ) {
      if ( !v.is_string() || v.get< String >().empty() ) {
         throw std::invalid_argument( where + "." + field + " holds a value that is no string" );
      }
      out.push_back( v.get< String >() );
   }
   return out;
}

bool valueMatches( String const & pattern, String const & value ) {
   if ( pattern == "*" ) {
      return !value.empty();
   }
   if ( pattern.ends_with( '*' ) ) {
      return value.starts_with( std::string_view( pattern ).substr( 0, pattern.size() - 1 ) );
   }
   if ( pattern.starts_with( '*' ) ) {
      return value.ends_with( std::string_view( pattern ).substr( 1 ) );
   }
   return value == pattern;
}

bool anyMatches( std::vector< String > const & patterns, String const & value ) {
   return std::any_of( patterns.begin(), patterns.end(),
                       [ &value ]( String const & p ) { return valueMatches( p, value ); } );
}

} // namespace

AuthzPolicy::Rule AuthzPolicy::ruleOf( json const & j, String const & where ) {
   onlyFields( j, where, { "name", "source", "request" } );
   Rule r;
   if ( !j.contains( "name" ) || !j[ "name" ].is_string() || j[ "name" ].get< String >().empty() ) {
      throw std::invalid_argument( where + " has no name" );
   }
   r.name = j[ "name" ].get< String >();
   String const at = where + " \"" + r.name + "\"";
   if ( j.contains( "source" ) ) {
      onlyFields( j[ "source" ], at + ".source", { "principals" } );
      r.principals = strings( j[ "source" ], "principals", at + ".source" );
   }
   if ( j.contains( "request" ) ) {
      auto const & req = j[ "request" ];
      onlyFields( req, at + ".request", { "paths", "headers" } );
      r.paths = strings( req, "paths", at + ".request" );
      if ( req.contains( "headers" ) ) {
         if ( !req[ "headers" ].is_array() ) {
            throw std::invalid_argument( at + ".request.headers is not a list" );
         }
         for ( auto const & h : req[ "headers" ] ) {
            onlyFields( h, at + ".request.headers[]", { "key", "values" } );
            Header header{ h.value( "key", "" ),
                           strings( h, "values", at + ".request.headers[]" ) };
            std::transform( header.key.begin(), header.key.end(), header.key.begin(), ::tolower );
            // Pseudo-headers and gRPC's own are the transport's, not the caller's.
            if ( header.key.empty() || header.key.starts_with( ':' ) ||
                 header.key.starts_with( "grpc-" ) || header.key == "host" ||
                 header.values.empty() ) {
               throw std::invalid_argument( at + ".request.headers has a bad header \"" +
                                            header.key + "\"" );
            }
            r.headers.push_back( std::move( header ) );
         }
      }
   }
   return r;
}

AuthzPolicy::AuthzPolicy( json const & doc ) {
   onlyFields( doc, "the policy", { "name", "deny_rules", "allow_rules" } );
   if ( !doc.contains( "name" ) || !doc[ "name" ].is_string() ) {
      throw std::invalid_argument( "the policy has no name" );
   }
   name_ = doc[ "name" ].get< String >();
   if ( !doc.contains( "allow_rules" ) ) {
      throw std::invalid_argument( "the policy has no allow_rules" );
   }
   for ( auto const & [ field, rules ] :
         { std::pair< char const *, std::vector< Rule > * >{ "deny_rules", &deny_ },
           { "allow_rules", &allow_ } } ) {
      if ( !doc.contains( field ) ) {
         continue;
      }
      if ( !doc[ field ].is_array() ) {
         throw std::invalid_argument( String( field ) + " is not a list" );
      }
      for ( auto const & r : doc[ field ] ) {
         rules->push_back( ruleOf( r, String( "a rule of " ) + field ) );
      }
   }
}

bool AuthzPolicy::matches( Rule const & r, String const & path, CallPeer const & peer ) {
   if ( !r.principals.empty() &&
        std::none_of( peer.principals.begin(), peer.principals.end(),
                      [ &r ]( String const & p ) { return anyMatches( r.principals, p ); } ) ) {
      return false;
   }
   if ( !r.paths.empty() && !anyMatches( r.paths, path ) ) {
      return false;
   }
   return std::all_of( r.headers.begin(), r.headers.end(), [ &peer ]( Header const & h ) {
      auto [ from, to ] = peer.headers.equal_range( h.key );
      return std::any_of( from, to,
                          [ &h ]( auto const & kv ) { return anyMatches( h.values, kv.second ); } );
   } );
}

std::optional< String > AuthzPolicy::refusal( String const & path, CallPeer const & peer ) const {
   String const who = peer.principals.empty() ? "a client without identity" : peer.principals[ 0 ];
   for ( auto const & r : deny_ ) {
      if ( matches( r, path, peer ) ) {
         return path + " denied to " + who + " by rule \"" + r.name + "\" of policy \"" + name_ +
                "\"";
      }
   }
   for ( auto const & r : allow_ ) {
      if ( matches( r, path, peer ) ) {
         return std::nullopt;
      }
   }
   return path + " is allowed to " + who + " by no rule of policy \"" + name_ + "\"";
}

} // namespace Quayd::Containerz
