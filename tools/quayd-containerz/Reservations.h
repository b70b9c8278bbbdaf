#pragma once
// What concurrent calls of the service must not share: the free space of
// the flash among deploys, and a name (an image's name:tag, a container)
// among the calls that change it. Each hold is released when it goes,
// whichever way its call ends.
#include <functional>
#include <memory>
#include <mutex>
#include <set>

#include "platform/Types.h"

namespace Quayd::Containerz {

class SpaceLedger {
 public:
   class Hold;
   // Reserves `bytes` when the free space `freeBytes()` tells, measured
   // under the ledger's lock, less what other holds reserved, has room for
   // them; nothing otherwise. `freeBytes` may throw.
   std::unique_ptr< Hold > reserve( uint64_t bytes, std::function< uint64_t() > const & freeBytes );
   uint64_t reserved() const;

 private:
   mutable std::mutex mutex_;
   uint64_t reserved_ = 0;
};

class SpaceLedger::Hold {
 public:
   Hold( SpaceLedger & ledger, uint64_t bytes ) : ledger_( ledger ), bytes_( bytes ) {}
   ~Hold();
   Hold( Hold const & ) = delete;
   Hold & operator=( Hold const & ) = delete;

 private:
   SpaceLedger & ledger_;
   uint64_t bytes_;
};

class Claims {
 public:
   class Claim;
   // The claim of `name`, or nothing while another holds it.
   std::unique_ptr< Claim > claim( String const & name );

 private:
   std::mutex mutex_;
   std::set< String > held_;
};

class Claims::Claim {
 public:
   Claim( Claims & claims, String name ) : claims_( claims ), name_( std::move( name ) ) {}
   ~Claim();
   Claim( Claim const & ) = delete;
   Claim & operator=( Claim const & ) = delete;

 private:
   Claims & claims_;
   String name_;
};

} // namespace Quayd::Containerz
