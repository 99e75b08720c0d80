// Paths through the module that a plug-in relies on: its timers after shutdown, watches
// through subscription slot 0, and service-proxy requests that share an id.
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

TEST(ModulePaths, ARepeatedRequestIdEndsTheEarlierRequestAndKeepsTheLater) {
  host::HostCore host;
  TestModule module(host);
  // The host answers every request for an id with the same one.
  host.SetLocalPeer(std::string(ServiceProxy::kUuidRequestPath),
                    [](const host::LocalCall&) { return host::LocalReply::Value("same"); });
  std::vector<std::string> seen;
  auto record = [&seen](std::string tag) {
    return [&seen, tag](const ServiceProxy::Outcome& outcome) {
      seen.push_back(tag +
                     (outcome.Succeeded() ? "=" + outcome->payload : "!" + outcome.ErrorMessage()));
    };
  };
  module.Proxy().StartRequest("svc", "get", 1, "", record("a"));
  module.Proxy().StartRequest("svc", "get", 2, "", record("b"));
  EXPECT_EQ(seen, std::vector<std::string>{
                      "a!Replaced by a later service proxy request with the id same"});
  PluginServiceProxyResponse answer{"same", "svc", "get", "2"};
  module.Proxy().OnUuidResponse(answer);
  EXPECT_EQ(seen.back(), "b=2");
  EXPECT_EQ(module.Proxy().InFlightCount(), 0u);
}

}  // namespace
}  // namespace qor
