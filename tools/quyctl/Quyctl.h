#pragma once
// quyctl, the operator's tool: writes configuration into the state database
// and shows the agent's status. Exit status: 0 done; 1 failed (the database
// unreachable, an edit not committed, a wait timed out); 2 bad usage
// (nothing written).
#include <chrono>
#include <functional>
#include <iosfwd>
#include <memory>
#include <optional>

#include "platform/redis/RedisClient.h"

namespace Quayd {
class CredentialStore;
}

namespace Quayd::Quyctl {

constexpr int kOk = 0;
constexpr int kFailed = 1;
constexpr int kUsage = 2;

// "2147483648", "512M", "2G", "1.5g", "2GiB": bytes, binary multiples.
// Empty when the text is not a size.
std::optional< uint64_t > parseSize( String const & text );

// What an operator may see of a stored value: passwords are masked.
String redacted( String const & field, String const & text );

// Opens the database at the address given with --redis, or at the default
// one without. Called only once the input has been checked.
using Connect =
   std::function< std::unique_ptr< Redis::Connection >( std::optional< String > const & ) >;

// Runs a program (`quyctl logs` runs the docker client); its exit status.
using Exec = std::function< int( std::vector< String > const & argv ) >;

// Runs one command line (without the program name). `in` gives the password
// of --password-stdin; `now` is the time uptimes are counted to. Registry
// passwords go to `credentials`; without a store they stay inline.
int run( std::vector< String > const & args, Connect const & connect, std::ostream & out,
         std::ostream & err, std::istream & in, Exec const & exec = {},
         std::chrono::system_clock::time_point now = std::chrono::system_clock::now(),
         CredentialStore * credentials = nullptr );

} // namespace Quayd::Quyctl
