// AppModule over the host core, linked from the static libraries: identity and user agent,
// waiting, scheduling.
#include "runtime/app_module.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <set>
#include <string>
#include <vector>

#include "api/dispatch.h"
#include "foundation/log.h"
#include "host/core/host_core.h"
#include "tests/runtime/runtime_fixture.h"

namespace qor {
namespace {

using host::HostCore;

using runtime_test::TestModule;

// Records what each hook sees of the module when it runs.
class OrderModule final : public AppModule {
 public:
  struct NoopHandler final : Handler {
    uintptr_t Invoke(CallResult&, std::span<BindingProperty>, uintptr_t) override { return 0; }
    TypeDescriptor ResultType() const override { return {}; }
  };

  std::vector<std::string> steps;
  HostCore* host = nullptr;

 protected:
  void RegisterApi() override {
    steps.push_back("RegisterApi");
    // Version, identity, groups, prefix and the SDK types come first.
    EXPECT_EQ(HostVersionMinor(), 3u);
    EXPECT_EQ(Identity().fullName, "ukp-be-qor-store");
    EXPECT_EQ(LogGroups().size(), 2u);
    EXPECT_EQ(TypeNamePrefix(), "QorStore");
    EXPECT_NE(Types().FindType(std::string_view("PluginResourceEvent")), nullptr);
    Router().Add(PLUGIN_METHOD_GET, "/qor-store/v1/ping", {}, std::make_unique<NoopHandler>());
  }
  bool Start() override {
    steps.push_back("Start");
    // The log target, user agent, handle, telemetry and service-proxy events come first.
    ScopedLogger logger;
    EXPECT_NE(logger->FindTarget("PluginLogTarget"), nullptr);
    EXPECT_EQ(UserAgent(), "VaxoClient/18.3.1 (qor-store)");
    EXPECT_EQ(PluginHandle(), 77u);
    EXPECT_NE(Telemetry(), nullptr);
    EXPECT_TRUE(host->IsSubscribed("OnServiceProxyUuidEvent"));
    return false;  // handed to the host as it is
  }
};

TEST(AppModuleLifecycle, AttachAndInitializeRunTheirStepsInOrder) {
  HostCore host;
  auto* module = new OrderModule;
  module->host = &host;
  PluginLoadInfo info{};
  info.versionMajor = 18;
  info.versionMinor = 3;
  info.versionPatch = 1;
  module->Attach(info, "qor-store");
  EXPECT_EQ(module->steps, std::vector<std::string>{"RegisterApi"});
  // The load block (the plug-in life-cycle tests show the rest of it): the module, and the
  // table built after RegisterApi (the endpoint, the SDK types and events).
  EXPECT_EQ(info.context, module);
  ASSERT_NE(info.endpoints, nullptr);
  ASSERT_EQ(info.endpoints->functionCount, 1u);
  EXPECT_STREQ(info.endpoints->functions[0].pathTemplate, "/qor-store/v1/ping");
  EXPECT_GE(info.endpoints->eventCount, 5u);
  EXPECT_GE(info.endpoints->typeCount, 7u);

  const PluginHost object = host.HostObject(77);
  EXPECT_EQ(info.callbacks->Initialize(module, &object), 0);  // Start's false
  EXPECT_EQ(module->steps, (std::vector<std::string>{"RegisterApi", "Start"}));
  info.callbacks->Shutdown(module);
  EXPECT_TRUE(host.Subscriptions().empty());
}

// ---- Waiting ------------------------------------------------------------------------------

TEST(AppModuleAwait, AFutureReadyAfterThreePollsWaitsOnce) {
  HostCore host;
  TestModule module(host);
  std::promise<MaybeType<Failure, void>> promise;
  int passes = 0;
  host.SetPendingWorkHook([&] {
    if (++passes == 3) promise.set_value(Failure(409, "late failure"));
  });
  auto future = promise.get_future();
  const auto before = host.Counts();
  auto result = module.Await(future);
  // A failure inside the future is the caller's result.
  EXPECT_TRUE(result.Failed());
  EXPECT_EQ(result.Status(), 409);
  EXPECT_EQ(result.ErrorMessage(), "late failure");
  const auto after = host.Counts();
  EXPECT_EQ(after.beginWait - before.beginWait, 1u);
  EXPECT_EQ(after.runPendingWork - before.runPendingWork, 3u);
  EXPECT_EQ(after.endWait - before.endWait, 1u);
  const auto marks = host.WaitMarks();
  ASSERT_FALSE(marks.empty());
  EXPECT_EQ(marks[marks.size() - 2].label.rfind("Wait: future<", 0), 0u)
      << marks[marks.size() - 2].label;
}

TEST(AppModuleAwait, CallbacksRunNestedInsideTheWait) {
  HostCore host;
  TestModule module(host);
  std::promise<MaybeType<Failure, int>> promise;
  int depthSeen = -1;
  module.Schedule(
      "nested",
      [&] {
        depthSeen = host.WaitDepth();
        promise.set_value(7);
      },
      AppModule::Deadline::clock::now());
  auto future = promise.get_future();
  auto result = module.Await(future);
  ASSERT_TRUE(result.Succeeded());
  EXPECT_EQ(*result, 7);
  EXPECT_EQ(depthSeen, 1);  // ran inside the module's wait
  EXPECT_EQ(module.PendingScheduledCallbacks(), 0u);
}

// Awaits a future twice: one without state, or one that is ready. The module's log goes to
// its host after Initialize; the host shows it on standard error, where the death test looks
// for the report.
void AwaitTwice(bool withState) {
  HostCore host;
  TestModule module(host);
  host.SetLogSink([](uint32_t, std::string_view message) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
  });
  std::promise<MaybeType<Failure, int>> promise;
  promise.set_value(1);
  std::future<MaybeType<Failure, int>> future;
  if (withState) future = promise.get_future();
  (void)module.Await(future);
  (void)module.Await(future);
}

TEST(AppModuleAwaitDeathTest, AFutureWithoutStateOrReadTwiceIsFatal) {
  // A fresh process: earlier cases may have moved the logger's output to a host.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(AwaitTwice(false), "Expression: ALE-6D828C10");
  EXPECT_DEATH(AwaitTwice(true), "Expression: ALE-6D828C10");
}

// ---- Scheduling ---------------------------------------------------------------------------

TEST(AppModuleSchedule, NumbersDelaysAndRemoval) {
  double now = 10.0;
  HostCore host([&now] { return now; });
  TestModule module(host);
  std::vector<std::string> ran;
  const auto deadline = AppModule::Deadline::clock::now() + std::chrono::hours(1);
  const uint64_t first = module.Schedule(
      "first", [&] { ran.push_back("first"); }, deadline);
  const uint64_t second = module.Schedule(
      "second", [&] { ran.push_back("second"); }, deadline);
  EXPECT_EQ(second, first + 1);
  module.Schedule(
      "past", [&] { ran.push_back("past"); },
      AppModule::Deadline::clock::now() - std::chrono::hours(1));
  EXPECT_EQ(module.PendingScheduledCallbacks(), 3u);

  const auto requests = host.ScheduledRequests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].label, "first");
  EXPECT_GT(requests[0].delaySeconds, 3500.0);
  EXPECT_LE(requests[0].delaySeconds, 3600.0);
  EXPECT_EQ(requests[2].delaySeconds, 0.0);  // a deadline in the past

  host.RunPendingWork();
  EXPECT_EQ(ran, std::vector<std::string>{"past"});
  EXPECT_EQ(module.PendingScheduledCallbacks(), 2u);
  now += 3600.0;
  host.RunPendingWork();
  ASSERT_EQ(ran.size(), 3u);
  EXPECT_EQ(std::set<std::string>(ran.begin() + 1, ran.end()),
            (std::set<std::string>{"first", "second"}));
  EXPECT_EQ(module.PendingScheduledCallbacks(), 0u);
}

}  // namespace
}  // namespace qor
