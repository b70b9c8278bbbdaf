#pragma once
// Linking quayd_fake_runtime makes ContainerRuntimeInterface::runtime() hand
// out one shared FakeRuntime, the way the product's binary gets the dockerd
// runtime by linking quayd_docker. Tests reach that object through here.
#include "platform/testing/FakeRuntime.h"

namespace Quayd::Testing {

Ptr< FakeRuntime > sharedFakeRuntime();

} // namespace Quayd::Testing
