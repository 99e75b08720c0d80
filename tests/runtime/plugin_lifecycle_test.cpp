// The plug-in's life cycle through a real shared object: dlopen, the export, the load block,
// the callbacks and the host table of the host core. Every case runs against the bare test
// plug-in and against libqor_store.so.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "api/host_abi.h"
#include "binding/property.h"
#include "host/core/host_core.h"
#include "host/core/plugin_library.h"

namespace qor {
namespace {

using host::ApiVersion;
using host::HostCore;
using host::PluginLibrary;

class PluginLifecycleTest : public testing::TestWithParam<const char*> {
 protected:
  std::unique_ptr<PluginLibrary> Open() {
    auto library = PluginLibrary::Open(GetParam());
    EXPECT_TRUE(library.Succeeded()) << library.ErrorMessage();
    return library.Succeeded() ? std::move(library).Value() : nullptr;
  }
};

TEST_P(PluginLifecycleTest, CompatibleHostVersionsLoadAndGetTheLoadBlockFilled) {
  auto library = Open();
  ASSERT_NE(library, nullptr);
  for (ApiVersion version : {ApiVersion{18, 0, 0}, ApiVersion{18, 3, 1}}) {
    SCOPED_TRACE(testing::Message()
                 << version.major << "." << version.minor << "." << version.patch);
    auto info = library->Load(version);
    ASSERT_TRUE(info.Succeeded()) << info.ErrorMessage();
    EXPECT_EQ(info->versionMajor, 18u);
    EXPECT_EQ(info->versionMinor, 0u);
    EXPECT_EQ(info->versionPatch, 0u);
    ASSERT_NE(info->shortName, nullptr);
    EXPECT_STREQ(info->shortName, "qor-store");
    EXPECT_NE(info->endpoints, nullptr);
    library->Shutdown(info->context);
  }
}

using PluginLifecycleDeathTest = PluginLifecycleTest;

TEST_P(PluginLifecycleDeathTest, IncompatibleHostVersionsEndTheProcessWithTheReport) {
  // A fresh process per case: the logger of the loaded plug-in must still write to standard
  // error, where the report is looked for.
  GTEST_FLAG_SET(death_test_style, "threadsafe");
  for (ApiVersion version : {ApiVersion{17, 9, 9}, ApiVersion{19, 0, 0}}) {
    SCOPED_TRACE(testing::Message()
                 << version.major << "." << version.minor << "." << version.patch);
    EXPECT_DEATH(
        {
          auto library = PluginLibrary::Open(GetParam());
          if (library.Succeeded()) (void)(*library)->Load(version);
        },
        "Assertion failed!.*Expression: ALE-EECF0606");
  }
}

TEST_P(PluginLifecycleTest, InitializeSubscribesAndShutdownUnsubscribesEveryName) {
  auto library = Open();
  ASSERT_NE(library, nullptr);
  HostCore host;
  auto info = library->Load();
  ASSERT_TRUE(info.Succeeded());
  const PluginHost object = host.HostObject(42);
  ASSERT_TRUE(library->Initialize(info->context, object));

  std::map<std::string, uint32_t> flags;
  for (const auto& subscription : host.Subscriptions()) {
    flags[subscription.name] = subscription.flags;
    EXPECT_EQ(subscription.pluginHandle, 42u);
  }
  for (const char* name :
       {"OnServiceProxyUuidEvent", "OnServiceProxyMethodEvent", "OnServiceProxyAsyncEvent"}) {
    ASSERT_TRUE(flags.count(name)) << name;
    EXPECT_EQ(flags[name], static_cast<uint32_t>(PLUGIN_SUBSCRIBE_SERVICE_EVENTS)) << name;
  }

  const size_t subscribed = host.Subscriptions().size();
  library->Shutdown(info->context);
  EXPECT_TRUE(host.Subscriptions().empty());
  EXPECT_GE(host.Counts().unsubscribeEvent, subscribed);
}

// An async service-proxy event without a handler makes the plug-in log an error line.
void TriggerErrorLine(HostCore& host) {
  BindingProperty payload;
  payload.MutableMember("error") = "";
  payload.MutableMember("methodName") = "ping";
  payload.MutableMember("payload") = "";
  payload.MutableMember("serviceName") = "svc";
  payload.MutableMember("status") = "";
  payload.MutableMember("uuid") = "";
  host.DeliverEvent("OnServiceProxyAsyncEvent", payload);
}

TEST_P(PluginLifecycleTest, LogRecordsReachTheFirstHostUnformatted) {
  auto library = Open();
  ASSERT_NE(library, nullptr);
  HostCore first;
  HostCore second;
  auto one = library->Load();
  auto two = library->Load();
  ASSERT_TRUE(one.Succeeded());
  ASSERT_TRUE(two.Succeeded());
  ASSERT_TRUE(library->Initialize(one->context, first.HostObject(1)));
  // The second module finds the first one's "PluginLogTarget" and keeps it.
  ASSERT_TRUE(library->Initialize(two->context, second.HostObject(2)));

  const size_t before = first.LogLines().size();
  TriggerErrorLine(second);
  const auto lines = first.LogLines();
  ASSERT_EQ(lines.size(), before + 1);
  EXPECT_EQ(lines.back().level, static_cast<uint32_t>(PLUGIN_LOG_ERROR));
  // The message as logged: no time, level tag or group in front of it.
  EXPECT_EQ(lines.back().message,
            "qor-store: Could not find registered handler for async service proxy event "
            "svc.ping");
  EXPECT_TRUE(second.LogLines().empty());

  library->Shutdown(two->context);
  library->Shutdown(one->context);
}

TEST_P(PluginLifecycleTest, MemoryStatsCountTheModulesAllocations) {
  auto library = Open();
  ASSERT_NE(library, nullptr);
  auto info = library->Load();
  ASSERT_TRUE(info.Succeeded());
  const PluginMemoryStats stats = library->MemoryStats(info->context);
  EXPECT_GT(stats.allocations, 0u);
  EXPECT_GT(stats.bytesAllocated, 0u);
  EXPECT_GE(stats.bytesAllocated, stats.bytesFreed);
  EXPECT_GT(stats.peakBytesInUse, 0u);
  EXPECT_LE(stats.peakBytesInUse, stats.bytesAllocated);
  EXPECT_LE(stats.blocksInUseAtPeak, stats.allocations);
  library->Shutdown(info->context);
  const PluginMemoryStats after = library->MemoryStats(nullptr);
  EXPECT_GT(after.frees, stats.frees);  // destroying the module freed its blocks
}

TEST_P(PluginLifecycleTest, TheExportIsTheOnlyDefinedDynamicSymbol) {
  const std::string command = std::string("nm -D --defined-only ") + GetParam();
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::vector<std::string> symbols;
  char line[512];
  while (fgets(line, sizeof line, pipe) != nullptr) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
      text.pop_back();
    // "<address> <kind> <name>"
    const size_t space = text.rfind(' ');
    if (space != std::string::npos) symbols.push_back(text.substr(space + 1));
  }
  ASSERT_EQ(pclose(pipe), 0);
  EXPECT_EQ(symbols, std::vector<std::string>{"load_qor_store"});
}

INSTANTIATE_TEST_SUITE_P(Plugins, PluginLifecycleTest,
                         testing::Values(QOR_TEST_PLUGIN_PATH, QOR_STORE_PLUGIN_PATH));
INSTANTIATE_TEST_SUITE_P(Plugins, PluginLifecycleDeathTest,
                         testing::Values(QOR_TEST_PLUGIN_PATH, QOR_STORE_PLUGIN_PATH));

}  // namespace
}  // namespace qor
