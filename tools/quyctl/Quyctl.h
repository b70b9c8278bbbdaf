#pragma once
// quyctl, the operator's tool: writes configuration into the state database
// and shows the agent's status. Exit status: 0 done, 1 the database failed,
// 2 bad input (nothing written).
#include <functional>
#include <iosfwd>
#include <map>
#include <memory>
#include <optional>

#include "platform/redis/RedisClient.h"

namespace Quayd::Quyctl {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// "2147483648", "512M", "2G", "1.5g", "2GiB": bytes, binary multiples.
// Empty when the text is not a size.
std::optional< uint64_t > parseSize( String const & text );

// What an operator may see of a stored value: passwords are masked.
String redacted( String const & field, String const & text );

using Connect = std::function< std::unique_ptr< Redis::Connection >() >;

// What the container daemon reports of each of its containers, by name
// ("running", "restarting", "exited", ...); none when it cannot be asked.
using DaemonView = std::function< std::optional< std::map< String, String > >() >;

// Runs one command line (without the program name). `connect` opens the
// database; it is called only once the input has been checked. `in` gives
// the password of --password-stdin. `daemon`, when given, is asked by
// `show` for the daemon's side of each container.
int run( std::vector< String > const & args, Connect const & connect, std::ostream & out,
         std::ostream & err, std::istream & in, DaemonView const & daemon = {} );

} // namespace Quayd::Quyctl
