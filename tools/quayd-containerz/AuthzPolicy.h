#pragma once
// Who may call which method, in the gRPC authorization-policy format:
//
//   {"name": "containerz",
//    "deny_rules":  [{"name": "no-guests",
//                     "source": {"principals": ["spiffe://lab/guest*"]}}],
//    "allow_rules": [{"name": "readers",
//                     "source": {"principals": ["reader.example.net"]},
//                     "request": {"paths": ["/gnoi.containerz.Containerz/List*"]}}]}
//
// A call matching a deny rule is denied; one matching an allow rule is
// allowed; any other is denied. A value matches "abc" exactly, "abc*" by
// prefix, "*abc" by suffix, "*" when present at all. Principals are the
// client certificate's SPIFFE ID, URI and DNS SANs and subject.
#include <map>

#include <nlohmann/json.hpp>

#include "platform/Types.h"

namespace Quayd::Containerz {

// What a call brings to be judged by.
struct CallPeer {
   std::vector< String > principals;
   std::multimap< String, String > headers; // lower-case keys
};

class AuthzPolicy {
 public:
   // Throws std::invalid_argument naming what is wrong.
   explicit AuthzPolicy( nlohmann::json const & doc );

   // Nothing when `path` is allowed to `peer`; otherwise why not.
   std::optional< String > refusal( String const & path, CallPeer const & peer ) const;

 private:
   struct Header {
      String key;
      std::vector< String > values;
   };
   struct Rule {
      String name;
      std::vector< String > principals; // empty: anyone
      std::vector< String > paths;      // empty: any method
      std::vector< Header > headers;    // all must match
   };
   static Rule ruleOf( nlohmann::json const & j, String const & where );
   static bool matches( Rule const & r, String const & path, CallPeer const & peer );

   String name_;
   std::vector< Rule > deny_;
   std::vector< Rule > allow_;
};

} // namespace Quayd::Containerz
