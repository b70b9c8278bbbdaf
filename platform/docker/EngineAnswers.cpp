#include "platform/docker/EngineAnswers.h"

#include <algorithm>
#include <sstream>

#include "platform/Exception.h"

using nlohmann::json;

namespace Quayd {

String textOf( json const & j, char const * key ) {
   if ( !j.is_object() ) {
      return {};
   }
   auto it = j.find( key );
   return it != j.end() && it->is_string() ? it->get< String >() : String();
}

json const & memberOf( json const & j, char const * key ) {
   static json const none;
   if ( !j.is_object() ) {
      return none;
   }
   auto it = j.find( key );
   return it != j.end() ? *it : none;
}

ImageRecord imageRecordOf( json const & j, String const & name ) {
   ImageRecord r;
   r.id = j.value( "Id", String() );
   if ( j.contains( "RepoTags" ) && j[ "RepoTags" ].is_array() ) {
      for ( auto const & t : j[ "RepoTags" ] ) {
         if ( t.is_string() ) {
            r.repoTags.push_back( t.get< String >() );
         }
      }
   }
   // The name asked for when it is one of the tags, so that removing the
   // reference undoes exactly the load that produced it.
   if ( std::find( r.repoTags.begin(), r.repoTags.end(), name ) != r.repoTags.end() ) {
      r.ref = name;
   } else {
      r.ref = r.repoTags.empty() ? r.id : r.repoTags.front();
   }
   return r;
}

void checkPullProgress( String const & body, String const & image ) {
   std::istringstream lines( body );
   for ( String line; std::getline( lines, line ); ) {
      json j = json::parse( line, nullptr, false );
      if ( j.is_object() && j.contains( "error" ) && j[ "error" ].is_string() ) {
         throw RuntimeException( "pulling " + image + ": " + j[ "error" ].get< String >() );
      }
   }
}

void healthOf( nlohmann::json const & state, ContainerRecord & r ) {
   nlohmann::json const & health = memberOf( state, "Health" );
   r.health = textOf( health, "Status" );
   nlohmann::json const & log = memberOf( health, "Log" );
   if ( log.is_array() && !log.empty() ) {
      r.healthOutput =
         textOf( log.back(), "Output" ).substr( 0, ContainerRecord::kHealthOutputMax );
   }
}

} // namespace Quayd
