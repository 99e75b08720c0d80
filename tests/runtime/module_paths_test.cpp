// Paths through the module that a plug-in relies on: its timers after shutdown, and watches
// through subscription slot 0. (Service-proxy requests that share an id: service_proxy_test.)
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "binding/property.h"
#include "host/core/host_core.h"
#include "tests/runtime/runtime_fixture.h"

namespace qor {
namespace {

using runtime_test::TestModule;

TEST(ModulePaths, ATimerOfAShutDownModuleIsRefused) {
  // The host here keeps every timer (it is not told of the shutdown): the module itself must
  // refuse the callback of an entry it no longer holds.
  host::HostCore host;
  bool ran = false;
  auto* module = new TestModule(host);
  module->Schedule("late", [&ran] { ran = true; });
  ASSERT_EQ(host.PendingScheduled(), 1u);
  AppModule::Shutdown(module);
  EXPECT_EQ(host.RunPendingWork(), 1u);
  EXPECT_FALSE(ran);
}

TEST(ModulePaths, WatchesSubscribeThroughSlotZero) {
  host::HostCore host;
  TestModule module(host);
  module.Events().WatchResource<BindingProperty>("/qor-test/v1/thing",
                                                 [](const ResourceEvent<BindingProperty>&) {});
  EXPECT_EQ(module.subscribed, std::vector<std::string>{"/qor-test/v1/thing"});
  EXPECT_TRUE(host.IsSubscribed(ResourceEvents::EventNameOfUri("/qor-test/v1/thing")));
}

}  // namespace
}  // namespace qor
