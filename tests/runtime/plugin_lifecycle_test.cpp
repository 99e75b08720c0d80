// The plug-in's life cycle through a real shared object: dlopen, the export, the load block,
// the callbacks and the host table of the host core, with libqor_store.so.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>

#include "api/host_abi.h"
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
    auto info = library->Load(version);
    ASSERT_TRUE(info.Succeeded()) << info.ErrorMessage();
    EXPECT_EQ(std::to_string(info->versionMajor) + "." + std::to_string(info->versionMinor) + "." +
                  std::to_string(info->versionPatch) + " " + info->shortName,
              "18.0.0 qor-store");
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

// The module's allocations are counted from the load on, and destroying it frees its blocks.
TEST_P(PluginLifecycleTest, InitializeSubscribesAndShutdownUnsubscribesAndFrees) {
  auto library = Open();
  ASSERT_NE(library, nullptr);
  HostCore host;
  auto info = library->Load();
  ASSERT_TRUE(info.Succeeded());
  const PluginMemoryStats stats = library->MemoryStats(info->context);
  EXPECT_GT(stats.allocations, 0u);
  EXPECT_GE(stats.bytesAllocated, stats.bytesFreed);
  EXPECT_GT(stats.peakBytesInUse, 0u);
  EXPECT_LE(stats.peakBytesInUse, stats.bytesAllocated);
  ASSERT_TRUE(library->Initialize(info->context, host.HostObject(42)));

  std::map<std::string, uint32_t> flags;
  for (const auto& subscription : host.Subscriptions()) {
    flags[subscription.name] = subscription.flags;
    EXPECT_EQ(subscription.pluginHandle, 42u);
  }
  for (const char* name :
       {"OnServiceProxyUuidEvent", "OnServiceProxyMethodEvent", "OnServiceProxyAsyncEvent"})
    EXPECT_EQ(flags[name], static_cast<uint32_t>(PLUGIN_SUBSCRIBE_SERVICE_EVENTS)) << name;

  library->Shutdown(info->context);
  EXPECT_TRUE(host.Subscriptions().empty());
  EXPECT_GT(library->MemoryStats(nullptr).frees, stats.frees);
}

// What the plug-in shows the loader: its one export, and no thread-local storage (a library
// loaded and unloaded at run time leaves its dynamic thread-local blocks behind in every thread
// that touched them, where the leak checker's scan at exit crashes on them).
TEST_P(PluginLifecycleTest, ExportsOneSymbolAndHoldsNoThreadLocalStorage) {
  auto output = [](const std::string& command) {
    FILE* pipe = popen(command.c_str(), "r");
    std::string text;
    char line[512];
    while (pipe != nullptr && fgets(line, sizeof line, pipe) != nullptr)
      text += line;
    EXPECT_TRUE(pipe != nullptr && pclose(pipe) == 0) << command;
    return text;
  };
  EXPECT_EQ(output(std::string("nm -D -j --defined-only ") + GetParam()), "load_qor_store\n");
  EXPECT_EQ(output(std::string("readelf -lW ") + GetParam()).find("  TLS "), std::string::npos);
}

INSTANTIATE_TEST_SUITE_P(Plugins, PluginLifecycleTest, testing::Values(QOR_STORE_PLUGIN_PATH));
INSTANTIATE_TEST_SUITE_P(Plugins, PluginLifecycleDeathTest, testing::Values(QOR_STORE_PLUGIN_PATH));

}  // namespace
}  // namespace qor
