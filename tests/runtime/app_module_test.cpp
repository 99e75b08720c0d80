// AppModule over the host core, linked from the static libraries: identity and user agent,
// waiting, scheduling.
#include "runtime/app_module.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <future>
#include <string>
#include <vector>

#include "foundation/log.h"
#include "host/core/host_core.h"
#include "tests/runtime/runtime_fixture.h"

namespace qor {
namespace {

using host::HostCore;

using runtime_test::TestModule;

// ---- Without a host -----------------------------------------------------------------------

// Before Initialize (or without a host table) requests fail in the module instead of calling
// through a null table; an unknown plug-in type takes the generic name prefix.
TEST(AppModuleEdges, RequestsWithoutAHostFailAndAnUnknownTypeTakesTheGenericPrefix) {
  AppModule module;
  PluginLocalResponse local{};
  module.SendLocalRequest(local, PluginLocalRequest{});
  EXPECT_EQ(std::to_string(local.status) + " " + local.errorText, "503 No host");
  PluginExternalResponse external{};
  module.SendExternalRequest(external, PluginExternalRequest{});
  EXPECT_EQ(std::string(static_cast<const char*>(external.body), external.bodyLength), "No host");
  EXPECT_EQ(module.Endpoints().functionCount, 0u);
  EXPECT_EQ(FullNameFromShortNameAndType("s", "frontend"), "ukp-fe-s");
  EXPECT_EQ(FullNameFromShortNameAndType("s", "tool"), "ukp-xx-s");
}

// Handlers registered through the module reach its events table, and go again.
TEST(AppModuleEdges, EventHandlersAndResourceSubscriptionsComeAndGo) {
  HostCore host;
  TestModule module(host);
  module.RegisterEventHandler(
      "OnThing", [](const BindingProperty&) {}, 0);
  EXPECT_TRUE(module.RemoveEventHandler("OnThing"));
  EXPECT_FALSE(module.RemoveEventHandler("OnThing"));
  ASSERT_TRUE(module.SubscribeResource("/a/v1/b").Succeeded());
  EXPECT_TRUE(module.UnsubscribeResource("/a/v1/b").Succeeded());
}

// ---- Waiting ------------------------------------------------------------------------------

// A wait polls the host until the future is ready; callbacks due meanwhile run nested in it.
TEST(AppModuleAwait, PollsUntilReadyAndRunsCallbacksInsideTheWait) {
  HostCore host;
  TestModule module(host);
  std::promise<MaybeType<Failure, void>> promise;
  int passes = 0;
  int depthSeen = -1;
  host.SetPendingWorkHook([&] {
    if (++passes == 3) promise.set_value(Failure(409, "late failure"));
  });
  module.Schedule(
      "nested", [&] { depthSeen = host.WaitDepth(); }, AppModule::Deadline::clock::now());
  auto future = promise.get_future();
  const auto before = host.Counts();
  auto result = module.Await(future);
  // A failure inside the future is the caller's result.
  EXPECT_EQ(result.Status(), 409);
  EXPECT_EQ(result.ErrorMessage(), "late failure");
  const auto after = host.Counts();
  EXPECT_EQ(after.beginWait - before.beginWait, 1u);
  EXPECT_EQ(after.runPendingWork - before.runPendingWork, 3u);
  EXPECT_EQ(after.endWait - before.endWait, 1u);
  EXPECT_EQ(depthSeen, 1);
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

// Each entry gets the next number and its delay from now (none for a deadline passed); it runs
// once when due and is then removed.
TEST(AppModuleSchedule, NumbersDelaysAndRemoval) {
  double now = 10.0;
  HostCore host([&now] { return now; });
  TestModule module(host);
  std::vector<std::string> ran;
  const auto clock = AppModule::Deadline::clock::now();
  const uint64_t first = module.Schedule(
      "first", [&] { ran.push_back("first"); }, clock + std::chrono::hours(1));
  const uint64_t past = module.Schedule(
      "past", [&] { ran.push_back("past"); }, clock - std::chrono::hours(1));
  EXPECT_EQ(past, first + 1);
  const auto requests = host.ScheduledRequests();
  ASSERT_EQ(requests.size(), 2u);
  EXPECT_GT(requests[0].delaySeconds, 3500.0);
  EXPECT_LE(requests[0].delaySeconds, 3600.0);
  EXPECT_EQ(requests[1].delaySeconds, 0.0);

  host.RunPendingWork();
  EXPECT_EQ(ran, std::vector<std::string>{"past"});
  EXPECT_EQ(module.PendingScheduledCallbacks(), 1u);
  now += 3600.0;
  host.RunPendingWork();
  EXPECT_EQ(ran, (std::vector<std::string>{"past", "first"}));
  EXPECT_EQ(module.PendingScheduledCallbacks(), 0u);
}

}  // namespace
}  // namespace qor
