#pragma once
// The container options a user can give, one row each: the structured fields
// of the container parameters and the `docker run` flags that the free-form
// options may carry. Every layer reads this table: the run request
// (fieldSettings), the Engine API create body and the docker client's
// argument list (platform/docker/ContainerCreateBody.h), quyctl's value
// checks and docs/container-options.md (printed by `quayd-options
// --markdown`). Adding an option is one row in ContainerOptions.cpp.
//
// A row, and what it makes of "--memory 64m":
//   { .flag = "memory", .shortFlag = 'm', .kind = OptionKind::bytes,
//     .target = "HostConfig.Memory", .field = "memory", .testValue = "64m" }
//   -> create body {"HostConfig":{"Memory":67108864}}
#include <optional>
#include <span>
#include <vector>

#include <nlohmann/json.hpp>

#include "platform/Environment.h"
#include "platform/Types.h"

namespace Quayd {

enum class OptionKind : uint8_t {
   boolean,  // no value ("--init"), or "=true" / "=false"
   text,     // a value as given
   integer,  // a decimal number
   bytes,    // 512, 64k, 64m, 1g: binary multiples, to bytes
   duration, // 500ms, 30s, 1m30s, 2h: to nanoseconds
   list,     // repeatable: each value appended to an array
   keyValue, // repeatable K=V (or K): an entry of an object
   special,  // a conversion of its own (the row's `land`)
};
char const * optionKindName( OptionKind k );

struct ContainerOption;
// Puts `value` into the create body; false when the value's form is one the
// agent does not translate (the docker client then runs that container).
// `environment` gives what a bare `--env NAME` takes, as the client's own
// environment would.
using OptionLand = bool ( * )( nlohmann::json & body, ContainerOption const & row,
                               String const & value, Environment const & environment );

struct ContainerOption {
   char const * flag;  // the long flag without "--"
   char shortFlag = 0; // the one-letter flag, or 0
   OptionKind kind = OptionKind::text;
   char const * target = "";    // where it lands: "Config.Env", "HostConfig.Memory"
   char const * pattern = "";   // what a value must match, whole (ECMAScript); "": anything
   char const * hint = "";      // a good value, for messages and docs
   char const * field = "";     // the container parameter carrying it; "": options only
   char const * testValue = ""; // what the differential test gives ("" for a bare flag)
   char const * needs = "";     // what the differential test needs: a path, "all-capabilities"
   OptionLand land = nullptr;   // special kinds only

   bool takesValue() const { return kind != OptionKind::boolean; }
};

std::span< ContainerOption const > containerOptions();
// The row of the long flag `flag` (without dashes) or of the letter; null if none.
ContainerOption const * findOption( std::string_view flag );
ContainerOption const * findShortOption( char letter );

// Why `value` is not a good value of `row`; none when it is.
std::optional< String > optionValueError( ContainerOption const & row, String const & value );

// The structured parameters as option settings, in table order: each row
// with a `field` whose value in `fields` (the parameters' JSON form) is set,
// as text ("true" for a set boolean). Unset fields (0, "") give nothing.
std::vector< std::pair< String, String > > fieldSettings( nlohmann::json const & fields );

// Option words as a `docker run` command line takes them.
struct OptionWord {
   ContainerOption const * row;
   String value; // "true"/"false" for a boolean
};
struct ParsedOptions {
   std::vector< OptionWord > known;
   // The first word the table does not take (an unknown flag, a word that is
   // no flag, a flag without its value); empty when every word was taken.
   String unknown;
};
ParsedOptions parseOptionWords( std::vector< String > const & words );

// Lands one option in a create body: checks the value and converts it by the
// row's kind. False when the check or the conversion refuses it. A bare
// `--env NAME` takes its value from `environment`.
bool landOption( nlohmann::json & body, ContainerOption const & row, String const & value,
                 Environment const & environment );

} // namespace Quayd
