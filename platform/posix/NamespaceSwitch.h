#pragma once
// The calling thread's way into a named network namespace and back.
#include "platform/Namespace.h"

namespace Quayd {

// Opens the calling thread's current namespace of `nstype`; -1 on failure.
int getns( int nstype );
// Moves the calling thread into the namespace `name`; false on failure.
bool setnsByName( String const & name, int nstype );

} // namespace Quayd
