#pragma once
// Network namespaces by name: "/run/netns/<name>", as `ip netns add` makes them.
#include <fmt/format.h>

#include "platform/Types.h"

namespace Quayd {

// A network namespace name of at most 150 bytes. Empty, or the default
// namespace's name, means the agent's own namespace.
class NamespaceName {
 public:
   static constexpr size_t kMaxLength = 150;
   NamespaceName() = default;
   NamespaceName( String n ); // throws std::length_error past kMaxLength
   NamespaceName( char const * n ) : NamespaceName( String( n ) ) {}
   static NamespaceName defaultNamespace() { return NamespaceName( "default" ); }
   String const & str() const { return name_; }
   bool isDefault() const { return name_.empty() || name_ == "default"; }
   bool operator==( NamespaceName const & ) const = default;

 private:
   String name_;
};

inline String netnsPath( String const & name ) { return "/run/netns/" + name; }

} // namespace Quayd

template <>
struct fmt::formatter< Quayd::NamespaceName > : fmt::formatter< std::string_view > {
   template < typename Ctx >
   auto format( Quayd::NamespaceName const & n, Ctx & ctx ) const {
      return fmt::formatter< std::string_view >::format( n.str(), ctx );
   }
};
