#pragma once
// A first-in first-out queue attribute of a state machine, with the
// accessors named after it:
//
//   QUAYD_QUEUE( String, tarballPath )
//   // tarballPathEnq(v), tarballPathDeq(), tarballPathFront(), tarballPathBack(),
//   // tarballPathDelAll(), tarballPathEmpty(), tarballPath() (the whole queue)
//
// Duplicates are kept. Deq, Front and Back require a non-empty queue.
#include <deque>

#include "platform/Exception.h"

#define QUAYD_QUEUE( T, name )                               \
 public:                                                     \
   void name##Enq( T const & v ) { name##_.push_back( v ); } \
   T name##Deq() {                                           \
      QUAYD_ASSERT( !name##_.empty() );                      \
      T v = std::move( name##_.front() );                    \
      name##_.pop_front();                                   \
      return v;                                              \
   }                                                         \
   T const & name##Front() const {                           \
      QUAYD_ASSERT( !name##_.empty() );                      \
      return name##_.front();                                \
   }                                                         \
   T const & name##Back() const {                            \
      QUAYD_ASSERT( !name##_.empty() );                      \
      return name##_.back();                                 \
   }                                                         \
   void name##DelAll() { name##_.clear(); }                  \
   bool name##Empty() const { return name##_.empty(); }      \
   std::deque< T > const & name() const { return name##_; }  \
                                                             \
 private:                                                    \
   std::deque< T > name##_;
