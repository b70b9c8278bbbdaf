#pragma once
// Where the agent finds a secret (a registry password) by the name the state
// database holds for it. The database never holds the secret itself.
#include <optional>

#include "platform/Types.h"

namespace Quayd {

class Secrets {
 public:
   virtual ~Secrets() = default;
   // The secret kept under `name`; none when there is no such secret.
   virtual std::optional< String > get( String const & name ) = 0;
};

} // namespace Quayd
