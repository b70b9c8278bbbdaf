#pragma once
// The host's agent base. The host creates the agent, calls doInit(), mounts
// what doInit asked for and calls doMountsComplete() with the outcome.
#include "platform/EntityManager.h"
#include "platform/Task.h"

namespace Quayd {

class CAgent : public PtrInterface {
 public:
   explicit CAgent( String name ) : name_( std::move( name ) ) {}
   ~CAgent() override = default;

   String const & agentName() const { return name_; }
   virtual char const * typeData() const { return "CAgent"; }
   virtual void doMountsComplete( MountStatus status, Ptr< EntityManager > const & em ) = 0;
   virtual void doInit() = 0;

   // Set by the host before doInit.
   void hostIs( Ptr< EntityManager > em, Ptr< TaskScheduler > scheduler ) {
      em_ = std::move( em );
      scheduler_ = std::move( scheduler );
   }
   Ptr< EntityManager > const & entityManager() const { return em_; }
   Ptr< TaskScheduler > findOrCreateScheduler() const { return scheduler_; }

 private:
   String name_;
   Ptr< EntityManager > em_;
   Ptr< TaskScheduler > scheduler_;
};

} // namespace Quayd
