#pragma once
// How quyctl prints what it reads: entities as "field  value" lines or
// JSON, passwords masked.
#include <iosfwd>

#include <nlohmann/json.hpp>

#include "platform/Entity.h"
#include "platform/redis/RedisClient.h"

namespace Quayd::Quyctl {

using Fields = std::vector< std::pair< String, String > >;

// An entity as shown: its fields, and those of each element.
struct Shown {
   Fields fields;
   std::vector< std::pair< String, Fields > > elements;
};

Fields collectFields( Redis::Connection & c, Entity & e );
Shown collect( Redis::Connection & c, Entity & e );
void printFields( std::ostream & out, Fields const & fields, int indent );
void printText( std::ostream & out, Shown const & s, int indent );
nlohmann::json fieldsJson( Fields const & fields );
nlohmann::json toJson( Shown const & s );

} // namespace Quayd::Quyctl
