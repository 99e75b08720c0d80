// The store module's Stop, on the production path: a StoreModule over the host core, the way
// the plug-in's export builds it.
#include <gtest/gtest.h>

#include "host/core/host_core.h"
#include "runtime/entry.h"
#include "store/store_module.h"
#include "tests/store/store_fixture.h"

namespace qor {
namespace {

TEST(StoreModuleStop, EmptiesTheLegacyServiceHandlersBeforeAPendingPushIsDelivered) {
  for (const bool stop : {false, true}) {
    SCOPED_TRACE(stop ? "stopped" : "running");
    host::HostCore host;
    PluginLoadInfo info{};
    info.versionMajor = kPluginApiMajor;
    info.versionMinor = kPluginApiMinor;
    info.versionPatch = kPluginApiPatch;
    auto* module = static_cast<AppModule*>(LoadPlugin<StoreModule>(&info, "qor-store"));
    ASSERT_TRUE(module->Initialize(host.HostObject(1)));
    // The push is re-delivered through a scheduled callback, which a pass runs later.
    host.DeliverEvent(
        "OnLcdsEvent_com_vaxoworks_platform_messaging_StoreAccountBalanceNotification",
        store_test::Json(R"({"body":{"ip":10,"vp":20},"typeName":)"
                         R"("com.vaxoworks.platform.messaging.StoreAccountBalanceNotification"})"));
    ASSERT_EQ(host.PendingScheduled(), 1u);
    if (stop) module->Stop();
    const size_t published = host.PublishedEvents().size();
    host.RunPendingWork();
    // Running, the wallet is published (under its own name and the generic one); stopped,
    // nothing is.
    EXPECT_EQ(host.PublishedEvents().size() - published, stop ? 0u : 2u);
    AppModule::Shutdown(module);
  }
}

}  // namespace
}  // namespace qor
