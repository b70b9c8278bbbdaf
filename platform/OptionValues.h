#pragma once
// How option values become parts of the Engine API's create body: the value
// parsers the option kinds share, and the conversions of the rows whose value
// needs one of its own (a row's `land`). Read by the option table.
#include <optional>
#include <string_view>

#include <nlohmann/json.hpp>

#include "platform/ContainerOptions.h"

namespace Quayd::OptionValues {

// The object or member a target such as "HostConfig.LogConfig.Type" names;
// "Config." members sit at the top of the create body.
nlohmann::json & slot( nlohmann::json & body, std::string_view target );
std::pair< String, String > splitAt( String const & s, char sep );
// 512, 64k, 64m, 1g (binary multiples) to bytes.
std::optional< int64_t > parseBytes( String const & v );
// 500ms, 30s, 1m30s, 2h to nanoseconds.
std::optional< int64_t > parseDuration( String const & v );
std::optional< int64_t > parseInteger( String const & v );

// The conversions of their own; false for a form the agent does not translate.
bool landEnv( nlohmann::json & body, ContainerOption const & row, String const & value,
              Environment const & environment );
bool landEnvFile( nlohmann::json & body, ContainerOption const & row, String const & value,
                  Environment const & environment );
bool landPublish( nlohmann::json & body, ContainerOption const & row, String const & value,
                  Environment const & environment );
bool landExpose( nlohmann::json & body, ContainerOption const & row, String const & value,
                 Environment const & environment );
bool landDevice( nlohmann::json & body, ContainerOption const & row, String const & value,
                 Environment const & environment );
bool landUlimit( nlohmann::json & body, ContainerOption const & row, String const & value,
                 Environment const & environment );
bool landRestart( nlohmann::json & body, ContainerOption const & row, String const & value,
                  Environment const & environment );
bool landVolume( nlohmann::json & body, ContainerOption const & row, String const & value,
                 Environment const & environment );
bool landMount( nlohmann::json & body, ContainerOption const & row, String const & value,
                Environment const & environment );
bool landTmpfs( nlohmann::json & body, ContainerOption const & row, String const & value,
                Environment const & environment );
bool landCpus( nlohmann::json & body, ContainerOption const & row, String const & value,
               Environment const & environment );
bool landEntrypoint( nlohmann::json & body, ContainerOption const & row, String const & value,
                     Environment const & environment );
bool landHealthCmd( nlohmann::json & body, ContainerOption const & row, String const & value,
                    Environment const & environment );
bool landNoHealthcheck( nlohmann::json & body, ContainerOption const & row, String const & value,
                        Environment const & environment );
bool landSecurityOpt( nlohmann::json & body, ContainerOption const & row, String const & value,
                      Environment const & environment );
bool landNothing( nlohmann::json & body, ContainerOption const & row, String const & value,
                  Environment const & environment );

} // namespace Quayd::OptionValues
