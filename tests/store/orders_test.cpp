// Order notifications from order pushes, wallet updates from wallet pushes and legacy balance
// messages, and the two switches that choose between the sources.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/store/store_fixture.h"

namespace qor::store_test {
namespace {

constexpr std::string_view kOrdersPrefix = "/qor-store/v1/order-notifications/";

class OrdersTest : public StartedStore {
 protected:
  // The ids the list endpoint answers, sorted.
  std::vector<uint64_t> ListedIds() {
    Reply reply = Get("/qor-store/v1/order-notifications");
    EXPECT_TRUE(reply.Succeeded());
    std::vector<uint64_t> ids;
    for (const BindingProperty& entry : reply.body.Elements())
      ids.push_back(entry.Member("id").GetUnsigned());
    std::sort(ids.begin(), ids.end());
    return ids;
  }
};

TEST_F(OrdersTest, OrderPushesGetIdsInArrivalOrder) {
  // The counter is process-wide: read where it stands from the first accepted push.
  VmsPush(kOrdersUri, "Update",
          R"({"id":99,"eventTypeId":"e-1","eventType":"ORDER","status":"DONE"})");
  ASSERT_EQ(ListedIds().size(), 1u);
  const uint64_t base = ListedIds()[0];
  if (::testing::UnitTest::GetInstance()->test_to_run_count() == 1) {
    EXPECT_EQ(base, 0u);  // alone in the process (the way CTest runs it), the first id is 0
  }

  VmsPush(kOrdersUri, "Create", "not json");
  VmsPush(kOrdersUri, "Update", R"({"status":["not","text"]})");
  VmsPush(kOrdersUri, "Update", "{}");

  const std::string id0 = std::to_string(base);
  const std::string id1 = std::to_string(base + 1);
  EXPECT_EQ(
      PublishedUnder(kOrdersPrefix),
      (Texts{
          "Update /qor-store/v1/order-notifications/" + id0 +
              R"( {"eventType":"ORDER","eventTypeId":"e-1","id":)" + id0 + R"(,"status":"DONE"})",
          "Update /qor-store/v1/order-notifications/" + id1 +
              R"( {"eventType":"","eventTypeId":"","id":)" + id1 + R"(,"status":""})",
      }));
  EXPECT_EQ(LogSince(),
            (std::vector<Line>{
                {0, R"(Received VMS message for /cap/v1/orders: {"id":99,"eventTypeId":"e-1",)"
                    R"("eventType":"ORDER","status":"DONE"})"},
                {0, "Received VMS message for /cap/v1/orders: not json"},
                {2, "Malformed VMS order notification payload: not json"},
                {0, R"(Received VMS message for /cap/v1/orders: {"status":["not","text"]})"},
                {2, R"(Malformed VMS order notification payload: {"status":["not","text"]})"},
                {0, "Received VMS message for /cap/v1/orders: {}"},
            }));

  EXPECT_EQ(ListedIds(), (std::vector<uint64_t>{base, base + 1}));
  Reply one = Get("/qor-store/v1/order-notifications/" + id0);
  ASSERT_TRUE(one.Succeeded());
  EXPECT_EQ(one.body.Member("id").GetUnsigned(), base);
  EXPECT_EQ(one.body.Member("eventTypeId").GetString(), "e-1");
}

TEST_F(OrdersTest, GetAndDeleteAnswer404ForUnknownIds) {
  VmsPush(kOrdersUri, "Update", R"({"status":"DONE"})");
  ASSERT_EQ(ListedIds().size(), 1u);
  const uint64_t id = ListedIds()[0];
  const std::string path = "/qor-store/v1/order-notifications/" + std::to_string(id);

  Reply missing = Get("/qor-store/v1/order-notifications/" + std::to_string(id + 1000));
  EXPECT_EQ(missing.status, 404u);
  EXPECT_EQ(missing.error, "Notification with given ID not found");
  Reply deleted = Call(PLUGIN_METHOD_DELETE, path);
  ASSERT_TRUE(deleted.Succeeded()) << *deleted.error;
  EXPECT_TRUE(deleted.body.IsEmpty());
  Reply again = Call(PLUGIN_METHOD_DELETE, path);
  EXPECT_EQ(again.status, 404u);
  EXPECT_EQ(again.error, "Notification with given ID not found, nothing deleted!");

  const std::vector<std::string> published = PublishedUnder(kOrdersPrefix);
  ASSERT_EQ(published.size(), 2u);
  EXPECT_EQ(published[1], "Delete " + path);
  EXPECT_EQ(Get(path).status, 404u);
  EXPECT_TRUE(ListedIds().empty());
}

TEST_F(OrdersTest, OrderPushesFollowDisableCapVms) {
  VmsPush(kOrdersUri, "Update", R"({"status":"KEPT"})");
  Deliver(kDisableCapVmsUri, "Update", "true");
  // Off: new pushes are ignored (not even logged), earlier entries stay readable.
  ForgetActivity();
  VmsPush(kOrdersUri, "Update", R"({"status":"IGNORED"})");
  EXPECT_TRUE(LogSince().empty());
  ASSERT_EQ(ListedIds().size(), 1u);

  // A Delete of the switch turns it off again.
  Deliver(kDisableCapVmsUri, "Delete");
  VmsPush(kOrdersUri, "Update", R"({"status":"NEW"})");
  EXPECT_EQ(ListedIds().size(), 2u);
  // A Delete of the push resource is not a push.
  VmsPush(kOrdersUri, "Delete", R"({"status":"GONE"})");
  Deliver(kOrdersUri, "Delete");
  EXPECT_EQ(ListedIds().size(), 2u);
}

TEST_F(OrdersTest, WalletPushesTakeTheExactCurrencies) {
  Deliver(kUseVmsUri, "Update", "true");
  struct Case {
    const char* name;
    const char* payload;
    const char* wallet;  // nullptr: nothing published
  };
  const Case cases[] = {
      {"both",
       R"({"accountId":1,"balances":[{"currency":"VP","amount":1350},)"
       R"({"currency":"IP","amount":200}]})",
       R"({"ip":200,"vp":1350})"},
      {"wrong case", R"({"balances":[{"currency":"ip","amount":200}]})", R"({"ip":0,"vp":0})"},
      {"first of two",
       R"({"balances":[{"currency":"VP","amount":-3},{"currency":"VP","amount":9}]})",
       R"({"ip":0,"vp":-3})"},
      {"not JSON", "{", nullptr},
      {"wrong shape", R"({"balances":{"currency":"IP"}})", nullptr},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    ForgetActivity();
    VmsPush(kWalletPushUri, "Update", c.payload);
    EXPECT_EQ(Published(kWalletUri), c.wallet ? Texts{c.wallet} : Texts());
    const Line malformed = {2,
                            std::string("Malformed VMS wallet notification payload: ") + c.payload};
    EXPECT_EQ(LogSince("Malformed"), c.wallet ? std::vector<Line>() : std::vector<Line>{malformed});
  }
  ForgetActivity();
  VmsPush(kWalletPushUri, "Delete", R"({"balances":[]})");
  EXPECT_TRUE(Published(kWalletUri).empty());
}

TEST_F(OrdersTest, UseVmsChoosesTheWalletSourceAndLeavesOrdersAlone) {
  const char* push = R"({"balances":[{"currency":"IP","amount":5}]})";
  // Off (the default): legacy balance messages publish, wallet pushes are ignored.
  VmsPush(kWalletPushUri, "Update", push);
  EXPECT_TRUE(Published(kWalletUri).empty());
  EXPECT_TRUE(LogSince().empty());
  Push(kBalanceClass, R"({"ip":7,"vp":8})");
  Push(kBalanceClass, R"({"ip":-1})");
  EXPECT_EQ(Published(kWalletUri), (Texts{R"({"ip":7,"vp":8})", R"({"ip":-1,"vp":0})"}));

  // On: the other way round; order pushes do not look at this switch.
  Deliver(kUseVmsUri, "Update", R"("1")");
  ForgetActivity();
  Push(kBalanceClass, R"({"ip":7,"vp":8})");
  EXPECT_TRUE(Published(kWalletUri).empty());
  VmsPush(kWalletPushUri, "Create", push);
  EXPECT_EQ(Published(kWalletUri), Texts{R"({"ip":5,"vp":0})"});
  VmsPush(kOrdersUri, "Update", R"({"status":"DONE"})");
  EXPECT_EQ(ListedIds().size(), 1u);

  // A Delete of the switch turns it off again.
  Deliver(kUseVmsUri, "Delete");
  ForgetActivity();
  Push(kBalanceClass, R"({"vp":1})");
  EXPECT_EQ(Published(kWalletUri).size(), 1u);
}

}  // namespace
}  // namespace qor::store_test
