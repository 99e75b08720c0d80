// AppModule over the host core, linked from the static libraries: identity and user agent,
// waiting, scheduling, the log target.
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
#include "runtime/plugin_log_target.h"

namespace qor {
namespace {

using host::HostCore;

class TestModule final : public AppModule {};

// A module attached with `version` and initialised on `host`.
struct Harness {
  explicit Harness(uint32_t major = 18, uint32_t minor = 0, uint32_t patch = 0,
                   host::Clock clock = host::SteadyClock())
      : host(std::move(clock)), module(new TestModule) {
    PluginLoadInfo info{};
    info.versionMajor = major;
    info.versionMinor = minor;
    info.versionPatch = patch;
    module->Attach(info, "qor-store");
    loadInfo = info;
    initialized = module->Initialize(host.HostObject(5));
  }
  ~Harness() { AppModule::Shutdown(module); }

  HostCore host;
  AppModule* module;
  PluginLoadInfo loadInfo{};
  bool initialized = false;
};

TEST(AppModuleLifecycle, IdentityNamesAndUserAgentComeFromTheShortName) {
  Harness harness(18, 2, 7);
  ASSERT_TRUE(harness.initialized);
  const AppModule& module = *harness.module;
  EXPECT_EQ(module.Identity().fullName, "ukp-be-qor-store");
  EXPECT_EQ(module.Identity().type, "backend");
  EXPECT_EQ(module.Identity().typeQualifier, "");
  EXPECT_EQ(module.LogGroups(), (std::vector<std::string>{"Plugins", "Plugin qor-store"}));
  EXPECT_EQ(module.TypeNamePrefix(), "QorStore");
  EXPECT_EQ(module.UserAgent(), "VaxoClient/18.2.7 (qor-store)");
  EXPECT_EQ(module.PluginHandle(), 5u);
  EXPECT_EQ(harness.loadInfo.context, harness.module);
  EXPECT_EQ(harness.loadInfo.callbacks, &AppModule::Callbacks());
}

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
  // The load block: the plug-in's version, the callbacks, the module, the name, the table
  // built after RegisterApi (the endpoint, the SDK types and events).
  EXPECT_EQ(info.versionMinor, 0u);
  EXPECT_EQ(info.versionPatch, 0u);
  EXPECT_EQ(info.context, module);
  EXPECT_STREQ(info.shortName, "qor-store");
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

TEST(AppModuleLifecycle, FullNamesByType) {
  EXPECT_EQ(FullNameFromShortNameAndType("x", "backend"), "ukp-be-x");
  EXPECT_EQ(FullNameFromShortNameAndType("x", "frontend"), "ukp-fe-x");
  EXPECT_EQ(FullNameFromShortNameAndType("x", "sideways"), "ukp-xx-x");
}

TEST(AppModuleLifecycle, VersionRule) {
  struct Case {
    uint32_t major, minor, patch;
    bool compatible;
  };
  const Case cases[] = {{18, 0, 0, true},  {18, 3, 1, true},  {18, 0, 9, true},
                        {17, 9, 9, false}, {19, 0, 0, false}, {0, 0, 0, false}};
  for (const Case& c : cases) {
    EXPECT_EQ(IsCompatibleHostVersion(c.major, c.minor, c.patch), c.compatible)
        << c.major << "." << c.minor << "." << c.patch;
  }
}

TEST(AppModuleLifecycle, SdkTypesAreRegisteredAtAttach) {
  Harness harness;
  for (const char* name : {"PluginManagerState", "PluginManagerResource", "PluginResourceEventType",
                           "PluginResourceEvent", "PluginLcdsEvent", "PluginLcdsResponse",
                           "PluginServiceProxyResponse"}) {
    EXPECT_NE(harness.module->Types().FindType(std::string_view(name)), nullptr) << name;
  }
  std::set<std::string> events;
  for (const auto& event : harness.module->Types().Events())
    events.insert(event->name);
  for (const char* name : {"OnJsonApiEvent", "OnLcdsEvent", "OnServiceProxyUuidEvent",
                           "OnServiceProxyMethodEvent", "OnServiceProxyAsyncEvent"}) {
    EXPECT_TRUE(events.count(name)) << name;
  }
  // The binding layer's own types come along.
  EXPECT_TRUE(events.count("OnCallback"));
}

// ---- Waiting ------------------------------------------------------------------------------

TEST(AppModuleAwait, AReadyFutureMakesNoHostCall) {
  Harness harness;
  const auto before = harness.host.Counts();
  std::promise<MaybeType<Failure, std::string>> promise;
  promise.set_value(std::string("done"));
  auto future = promise.get_future();
  auto result = harness.module->Await(future);
  ASSERT_TRUE(result.Succeeded());
  EXPECT_EQ(*result, "done");
  const auto after = harness.host.Counts();
  EXPECT_EQ(after.beginWait, before.beginWait);
  EXPECT_EQ(after.runPendingWork, before.runPendingWork);
  EXPECT_EQ(after.endWait, before.endWait);
}

TEST(AppModuleAwait, AFutureReadyAfterThreePollsWaitsOnce) {
  Harness harness;
  std::promise<MaybeType<Failure, void>> promise;
  int passes = 0;
  harness.host.SetPendingWorkHook([&] {
    if (++passes == 3) promise.set_value(Failure(409, "late failure"));
  });
  auto future = promise.get_future();
  const auto before = harness.host.Counts();
  auto result = harness.module->Await(future);
  // A failure inside the future is the caller's result.
  EXPECT_TRUE(result.Failed());
  EXPECT_EQ(result.Status(), 409);
  EXPECT_EQ(result.ErrorMessage(), "late failure");
  const auto after = harness.host.Counts();
  EXPECT_EQ(after.beginWait - before.beginWait, 1u);
  EXPECT_EQ(after.runPendingWork - before.runPendingWork, 3u);
  EXPECT_EQ(after.endWait - before.endWait, 1u);
  const auto marks = harness.host.WaitMarks();
  ASSERT_FALSE(marks.empty());
  EXPECT_EQ(marks[marks.size() - 2].label.rfind("Wait: future<", 0), 0u)
      << marks[marks.size() - 2].label;
}

TEST(AppModuleAwait, CallbacksRunNestedInsideTheWait) {
  Harness harness;
  std::promise<MaybeType<Failure, int>> promise;
  int depthSeen = -1;
  harness.module->Schedule(
      "nested",
      [&] {
        depthSeen = harness.host.WaitDepth();
        promise.set_value(7);
      },
      AppModule::Deadline::clock::now());
  auto future = promise.get_future();
  auto result = harness.module->Await(future);
  ASSERT_TRUE(result.Succeeded());
  EXPECT_EQ(*result, 7);
  EXPECT_EQ(depthSeen, 1);  // ran inside the module's wait
  EXPECT_EQ(harness.module->PendingScheduledCallbacks(), 0u);
}

// The module's log goes to its host after Initialize; the host shows it on standard error,
// where the death test looks for the report.
void ShowLogOnStdErr(HostCore& host) {
  host.SetLogSink([](uint32_t, std::string_view message) {
    std::fprintf(stderr, "%.*s\n", static_cast<int>(message.size()), message.data());
  });
}

void AwaitWithoutState() {
  Harness harness;
  ShowLogOnStdErr(harness.host);
  std::future<MaybeType<Failure, int>> empty;
  (void)harness.module->Await(empty);
}

void AwaitTwice() {
  Harness harness;
  ShowLogOnStdErr(harness.host);
  std::promise<MaybeType<Failure, int>> promise;
  promise.set_value(1);
  auto future = promise.get_future();
  (void)harness.module->Await(future);
  (void)harness.module->Await(future);
}

TEST(AppModuleAwaitDeathTest, AFutureWithoutStateOrReadTwiceIsFatal) {
  // A fresh process: earlier cases may have moved the logger's output to a host.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  EXPECT_DEATH(AwaitWithoutState(), "Expression: ALE-6D828C10");
  EXPECT_DEATH(AwaitTwice(), "Expression: ALE-6D828C10");
}

TEST(AppModuleAwait, YieldRunsOnePassBetweenMarkers) {
  Harness harness;
  int ran = 0;
  harness.host.Post([&] { ran = harness.host.WaitDepth(); });
  harness.module->Yield();
  EXPECT_EQ(ran, 1);
  const auto marks = harness.host.WaitMarks();
  ASSERT_EQ(marks.size(), 2u);
  EXPECT_EQ(marks[0].label, "Wait: yield");
  EXPECT_FALSE(marks[1].begin);
}

// ---- Scheduling ---------------------------------------------------------------------------

struct ManualClock {
  double now = 10.0;
};

TEST(AppModuleSchedule, NumbersDelaysAndRemoval) {
  ManualClock clock;
  Harness harness(18, 0, 0, [&clock] { return clock.now; });
  AppModule& module = *harness.module;
  std::vector<std::string> ran;
  const auto deadline = AppModule::Deadline::clock::now() + std::chrono::hours(1);
  const uint64_t first = module.Schedule(
      "first", [&] { ran.push_back("first"); }, deadline);
  const uint64_t second = module.Schedule(
      "second", [&] { ran.push_back("second"); }, deadline);
  EXPECT_EQ(second, first + 1);
  const uint64_t past = module.Schedule(
      "past", [&] { ran.push_back("past"); },
      AppModule::Deadline::clock::now() - std::chrono::hours(1));
  EXPECT_EQ(module.PendingScheduledCallbacks(), 3u);

  const auto requests = harness.host.ScheduledRequests();
  ASSERT_EQ(requests.size(), 3u);
  EXPECT_EQ(requests[0].label, "first");
  EXPECT_GT(requests[0].delaySeconds, 3500.0);
  EXPECT_LE(requests[0].delaySeconds, 3600.0);
  EXPECT_EQ(requests[2].delaySeconds, 0.0);  // a deadline in the past

  harness.host.RunPendingWork();
  EXPECT_EQ(ran, std::vector<std::string>{"past"});
  EXPECT_EQ(module.PendingScheduledCallbacks(), 2u);
  clock.now += 3600.0;
  harness.host.RunPendingWork();
  ASSERT_EQ(ran.size(), 3u);
  EXPECT_EQ(std::set<std::string>(ran.begin() + 1, ran.end()),
            (std::set<std::string>{"first", "second"}));
  EXPECT_EQ(module.PendingScheduledCallbacks(), 0u);
  EXPECT_NE(past, first);
}

// ---- Log target ---------------------------------------------------------------------------

TEST(PluginLogTarget, RecordsReachTheHostAsLevelAndMessage) {
  HostCore host;
  PluginLogTarget target(host.Api());
  EXPECT_EQ(target.Name(), "PluginLogTarget");
  EXPECT_EQ(target.LineFormat(), "#D| #L| #G| #M");
  target.Write(MakeLogRecord(LogLevel::Error, log_group::kNet, "broken pipe 50%"));
  target.Write(MakeLogRecord(LogLevel::Always, 0, "always"));
  const auto lines = host.LogLines();
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_EQ(lines[0].level, 2u);
  EXPECT_EQ(lines[0].message, "broken pipe 50%");
  EXPECT_EQ(lines[1].level, 3u);
}

TEST(PluginLogTarget, InitializeInstallsItOnceAndDetachesTheConsoles) {
  ScopedLogger logger;
  Harness first;
  LogTarget* installed = logger->FindTarget("PluginLogTarget");
  ASSERT_NE(installed, nullptr);
  EXPECT_EQ(logger->FindTarget("StdErrLogTarget"), nullptr);
  EXPECT_EQ(logger->FindTarget("DebuggerConsoleLogTarget"), nullptr);
  EXPECT_EQ(logger->Level(), LogLevel::Okay);
  EXPECT_EQ(logger->Muted(), log_group::kXtr);

  Harness second;
  EXPECT_EQ(logger->FindTarget("PluginLogTarget"), installed);  // the existing one is kept
  Log(LogLevel::Error, log_group::kGen, "%s went wrong", "something");
  ASSERT_FALSE(first.host.LogLines().empty());
  EXPECT_EQ(first.host.LogLines().back().message, "something went wrong");
  EXPECT_TRUE(second.host.LogLines().empty());
}

}  // namespace
}  // namespace qor
