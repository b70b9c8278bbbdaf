#pragma once
// Change notification, delivered synchronously while an attribute is being set.
//
// Re-entrancy and lifetime: a callback may subscribe, unsubscribe, change the
// notifier again or destroy the object that owns its subscription (even the
// notifier's last owner may let go of it). The notifier keeps itself and the
// running callback alive until the callback returns; subscriptions removed
// during a notification are not called again, ones added are called from the
// next notification on.
#include <functional>
#include <memory>
#include <vector>

#include "platform/Ptr.h"
#include "platform/Types.h"

namespace Quayd {

using AttrId = int;
// The attribute id of the one call a new subscription receives when created.
inline constexpr AttrId kInitialNotification = -1;

class Notifier : public PtrInterface {
 public:
   using Callback = std::function< void( AttrId, String const * key ) >;

   class Subscription {
    public:
      Subscription() = default;
      Subscription( Subscription && ) = default;
      Subscription & operator=( Subscription && ) = default;
      ~Subscription() { cancel(); }
      void cancel();
      bool active() const { return slot_ && slot_->active; }

    private:
      friend class Notifier;
      struct Slot {
         Callback fn;
         bool active = true;
         bool orphaned = false; // the notifier is gone
      };
      std::shared_ptr< Slot > slot_;
      Notifier const * owner_ = nullptr;
   };

   Notifier() = default;
   Notifier( Notifier const & ) = delete;
   Notifier & operator=( Notifier const & ) = delete;
   ~Notifier() override;

   // Subscribes; the callback is not called until the next change.
   [[nodiscard]] Subscription subscribe( Callback fn ) const;
   size_t subscriberCount() const;
   // Slots held: the active subscriptions and the cancelled ones that wait
   // for the outermost notification to end. More than subscriberCount() at
   // rest is a leak.
   size_t slotCount() const { return slots_.size(); }

   // Calls every active subscriber with (attr, key).
   void notify( AttrId attr, String const * key = nullptr ) const;

 private:
   void drop( Subscription::Slot * slot ) const;
   mutable std::vector< std::shared_ptr< Subscription::Slot > > slots_;
   mutable int depth_ = 0;
   mutable bool dirty_ = false;
};

} // namespace Quayd
