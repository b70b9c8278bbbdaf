#pragma once
// What a child wrote, kept within bounds: a program that prints without end
// costs the agent two KiB, and what it said first and last is still there.
#include <cstdint>

#include "platform/Types.h"

namespace Quayd {

class BoundedOutput {
 public:
   static constexpr size_t kKept = 1024; // bytes kept at each end
   void append( char const * data, size_t n );
   // The first and last KiB, with how much between them was left out.
   String text() const;

 private:
   String head_;
   String tail_; // up to twice kKept, trimmed in bulk
   uint64_t dropped_ = 0;
};

} // namespace Quayd
