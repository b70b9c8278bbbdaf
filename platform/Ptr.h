#pragma once
// Intrusive reference counting: every shared object of the agent derives from
// PtrInterface and is held through Ptr<T>. Single-threaded by design; the
// count is not atomic.
#include <cstddef>
#include <cstdint>
#include <functional>
#include <utility>

namespace Quayd {

class PtrInterface {
 public:
   PtrInterface() = default;
   PtrInterface( PtrInterface const & ) : refs_( 0 ) {}
   PtrInterface & operator=( PtrInterface const & ) { return *this; }
   virtual ~PtrInterface() = default;

   void ref() const noexcept { ++refs_; }
   void unref() const noexcept {
      if ( --refs_ == 0 ) {
         delete this;
      }
   }
   uint32_t refCount() const noexcept { return refs_; }

 private:
   mutable uint32_t refs_ = 0;
};

template < typename T >
class Ptr {
 public:
   Ptr() noexcept = default;
   Ptr( std::nullptr_t ) noexcept {}
   Ptr( T * p ) noexcept : p_( p ) { acquire(); }
   Ptr( Ptr const & o ) noexcept : p_( o.p_ ) { acquire(); }
   Ptr( Ptr && o ) noexcept : p_( std::exchange( o.p_, nullptr ) ) {}
   template < typename U >
   Ptr( Ptr< U > const & o ) noexcept : p_( o.get() ) {
      acquire();
   }
   ~Ptr() { release(); }

   Ptr & operator=( Ptr o ) noexcept {
      std::swap( p_, o.p_ );
      return *this;
   }

   T * get() const noexcept { return p_; }
   T * operator->() const noexcept { return p_; }
   T & operator*() const noexcept { return *p_; }
   explicit operator bool() const noexcept { return p_ != nullptr; }
   void reset() noexcept { Ptr().swap( *this ); }
   void swap( Ptr & o ) noexcept { std::swap( p_, o.p_ ); }

   friend bool operator==( Ptr const & a, Ptr const & b ) noexcept { return a.p_ == b.p_; }
   friend bool operator==( Ptr const & a, std::nullptr_t ) noexcept { return a.p_ == nullptr; }

 private:
   void acquire() const noexcept {
      if ( p_ ) {
         p_->ref();
      }
   }
   void release() noexcept {
      if ( p_ ) {
         std::exchange( p_, nullptr )->unref();
      }
   }
   T * p_ = nullptr;
};

template < typename T, typename U >
Ptr< T > ptrCast( Ptr< U > const & p ) {
   return Ptr< T >( dynamic_cast< T * >( p.get() ) );
}

template < typename T, typename... Args >
Ptr< T > makePtr( Args &&... args ) {
   return Ptr< T >( new T( std::forward< Args >( args )... ) );
}

} // namespace Quayd
