// Order notifications from order pushes, wallet updates from wallet pushes and legacy balance
// messages, and the two switches that choose between the sources.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/store/store_fixture.h"

namespace qor::store_test {
namespace {

const std::string kOrdersPath = "/qor-store/v1/order-notifications";
constexpr std::string_view kOrdersUri = "/vaxo-messaging-service/v1/message/cap/v1/orders";
constexpr std::string_view kWalletPushUri = "/vaxo-messaging-service/v1/message/store/v1/wallet";
constexpr std::string_view kUseVmsUri = "/qor-platform-config/v1/namespaces/MBXStore/UseVMS";
constexpr std::string_view kDisableCapVmsUri =
    "/qor-platform-config/v1/namespaces/MBXStore/DisableCapVMS";
constexpr std::string_view kBalanceClass =
    "com.vaxoworks.platform.messaging.StoreAccountBalanceNotification";

class OrdersTest : public StartedStore {
 protected:
  // The ids the list endpoint answers, in its order.
  Texts ListedIds() {
    Texts ids;
    const Reply list = Get(kOrdersPath);
    for (const BindingProperty& entry : list.body.Elements())
      ids.push_back(entry.Member("id").ToText());
    return ids;
  }
};

TEST_F(OrdersTest, OrderPushesGetIdsAndAnswer404ForUnknownIds) {
  // The counter is process-wide: read where it stands from the first accepted push.
  VmsPush(kOrdersUri, "Update", R"({"id":99,"eventTypeId":"e","eventType":"O","status":"D"})");
  ASSERT_EQ(ListedIds().size(), 1u);
  const uint64_t base = std::stoull(ListedIds()[0]);
  VmsPush(kOrdersUri, "Create", "not json");
  VmsPush(kOrdersUri, "Update", "{}");
  const std::string id0 = std::to_string(base);
  const std::string id1 = std::to_string(base + 1);
  const std::string path = kOrdersPath + "/" + id0;
  EXPECT_EQ(Published(kOrdersPath),
            (Texts{"Update " + path + R"( {"eventType":"O","eventTypeId":"e","id":)" + id0 +
                       R"(,"status":"D"})",
                   "Update " + kOrdersPath + "/" + id1 +
                       R"( {"eventType":"","eventTypeId":"","id":)" + id1 + R"(,"status":""})"}));
  EXPECT_EQ(Log()[2], "2 Malformed VMS order notification payload: not json");
  EXPECT_EQ(Get(path).body.Member("eventTypeId").GetString(), "e");

  ForgetActivity();
  EXPECT_EQ(Get(kOrdersPath + "/" + std::to_string(base + 1000)).error,
            "Notification with given ID not found");
  ASSERT_TRUE(Call(PLUGIN_METHOD_DELETE, path).Succeeded());
  EXPECT_EQ(Call(PLUGIN_METHOD_DELETE, path).error,
            "Notification with given ID not found, nothing deleted!");
  EXPECT_EQ(Published(kOrdersPath), Texts{"Delete " + path});
  EXPECT_EQ(ListedIds(), Texts{id1});
}

// DisableCapVMS turns order pushes off (not even logged; earlier entries stay), a Delete of the
// switch turns them on again; a Delete of the push resource is not a push.
TEST_F(OrdersTest, OrderPushesFollowDisableCapVms) {
  VmsPush(kOrdersUri, "Update", R"({"status":"KEPT"})");
  Deliver(kDisableCapVmsUri, "Update", "true");
  ForgetActivity();
  VmsPush(kOrdersUri, "Update", R"({"status":"IGNORED"})");
  EXPECT_TRUE(Log().empty());
  Deliver(kDisableCapVmsUri, "Delete");
  VmsPush(kOrdersUri, "Update", R"({"status":"NEW"})");
  VmsPush(kOrdersUri, "Delete", R"({"status":"GONE"})");
  EXPECT_EQ(ListedIds().size(), 2u);
}

// UseVMS off (the default): legacy balance messages publish the wallet, wallet pushes are
// ignored; on, the other way round, and a push takes the first amount of each exact currency.
TEST_F(OrdersTest, UseVmsChoosesTheWalletSource) {
  const char* push = R"({"balances":[{"currency":"IP","amount":5}]})";
  VmsPush(kWalletPushUri, "Update", push);
  Push(kBalanceClass, R"({"ip":-1})");
  EXPECT_EQ(Published(kWalletUri), Texts{R"(Update /qor-store/v1/wallet {"ip":-1,"vp":0})"});

  Deliver(kUseVmsUri, "Update", R"("1")");
  ForgetActivity();
  Push(kBalanceClass, R"({"ip":7,"vp":8})");
  VmsPush(kWalletPushUri, "Create", push);
  VmsPush(kWalletPushUri, "Update",
          R"({"balances":[{"currency":"VP","amount":13},{"currency":"ip","amount":3},)"
          R"({"currency":"VP","amount":9}]})");
  VmsPush(kWalletPushUri, "Update", "{");
  VmsPush(kWalletPushUri, "Update", R"({"balances":{"currency":"IP"}})");
  EXPECT_EQ(Published(kWalletUri), (Texts{R"(Update /qor-store/v1/wallet {"ip":5,"vp":0})",
                                          R"(Update /qor-store/v1/wallet {"ip":0,"vp":13})"}));
  const Texts log = Log();
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& line) {
                            return line.starts_with("2 Malformed VMS wallet notification payload");
                          }),
            2);

  Deliver(kUseVmsUri, "Delete");  // off again
  ForgetActivity();
  Push(kBalanceClass, R"({"vp":1})");
  EXPECT_EQ(Published(kWalletUri).size(), 1u);
}

}  // namespace
}  // namespace qor::store_test
