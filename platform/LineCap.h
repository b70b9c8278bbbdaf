#pragma once
// One log or trace line is bounded: a value from outside (a name, a
// child's output) of any length costs at most this much per line.
#include "platform/Types.h"

namespace Quayd {

constexpr size_t kMaxLineBytes = 2048;
constexpr char const kLineCut[] = " [...]";

inline String capLine( String text ) {
   if ( text.size() > kMaxLineBytes ) {
      text.resize( kMaxLineBytes - sizeof kLineCut + 1 );
      text += kLineCut;
   }
   return text;
}

} // namespace Quayd
