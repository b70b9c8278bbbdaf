#include "platform/testing/FakeRuntimeProvider.h"

namespace Quayd {

Ptr< ContainerRuntimeInterface > ContainerRuntimeInterface::runtime(
      ContainerRuntimeType, Ptr< KernelRoutingOverrideStatus const > const & ) {
   return Testing::sharedFakeRuntime();
}

namespace Testing {

Ptr< FakeRuntime > sharedFakeRuntime() {
   static Ptr< FakeRuntime > const shared = makePtr< FakeRuntime >();
   return shared;
}

} // namespace Testing
} // namespace Quayd
