#include "tools/quayd-containerz/Reservations.h"

namespace Quayd::Containerz {

std::unique_ptr< SpaceLedger::Hold >
SpaceLedger::reserve( uint64_t bytes, std::function< uint64_t() > const & freeBytes ) {
   std::lock_guard lock( mutex_ );
   uint64_t const free = freeBytes();
   if ( free < reserved_ || free - reserved_ < bytes ) {
      return nullptr;
   }
   reserved_ += bytes;
   return std::make_unique< Hold >( *this, bytes );
}

uint64_t SpaceLedger::reserved() const {
   std::lock_guard lock( mutex_ );
   return reserved_;
}

SpaceLedger::Hold::~Hold() {
   std::lock_guard lock( ledger_.mutex_ );
   ledger_.reserved_ -= bytes_;
}

std::unique_ptr< Claims::Claim > Claims::claim( String const & name ) {
   std::lock_guard lock( mutex_ );
   if ( !held_.insert( name ).second ) {
      return nullptr;
   }
   return std::make_unique< Claim >( *this, name );
}

Claims::Claim::~Claim() {
   std::lock_guard lock( claims_.mutex_ );
   claims_.held_.erase( name_ );
}

} // namespace Quayd::Containerz
