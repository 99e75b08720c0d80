// The two messaging switches, seen through what they gate: "UseVMS" lets messaging-service
// wallet pushes through, "DisableCapVMS" stops order pushes.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "tests/store/store_fixture.h"

namespace qor::store_test {
namespace {

constexpr std::string_view kWalletPushUri = "/vaxo-messaging-service/v1/message/store/v1/wallet";
constexpr std::string_view kOrderPushUri = "/vaxo-messaging-service/v1/message/cap/v1/orders";
constexpr std::string_view kOrderNotifications = "/qor-store/v1/order-notifications/";

constexpr const char* kWalletPush =
    R"({"resource":"/store/v1/wallet","service":"store","version":"1","timestamp":1,)"
    R"("payload":"{\"accountId\":1,\"balances\":[{\"currency\":\"IP\",\"amount\":5}]}"})";
constexpr const char* kOrderPush =
    R"({"resource":"/cap/v1/orders","service":"cap","version":"1","timestamp":1,"payload":"{}"})";

// A switch value (JSON) and whether it turns the switch on; nothing: a Delete.
struct SwitchCase {
  std::optional<const char*> value;
  bool on;
};

const SwitchCase kSwitchCases[] = {
    {"true", true},       {"false", false},    {R"("true")", true},   {R"("1")", true},
    {R"("True")", false}, {R"("yes")", false}, {R"("2.5")", false},   {R"("")", false},
    {"2", true},          {"0", false},        {"-1", true},          {"2.5", true},
    {"0.0", false},       {"null", false},     {std::nullopt, false},
};

class ModuleSwitchesTest : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    StartStore();
    // The pushes are handled by the order and wallet handlers; until those exist there is
    // nothing to observe.
    if (Get("/qor-store/v1/order-notifications").status == 501) {
      GTEST_SKIP() << "order and wallet pushes are not handled yet";
    }
  }

  void SetSwitch(std::string_view uri, const SwitchCase& c) {
    if (c.value) {
      Deliver(uri, "Update", *c.value);
    } else {
      Deliver(uri, "Update", "true");
      Deliver(uri, "Delete");
    }
  }
};

TEST_F(ModuleSwitchesTest, UseVmsTruthiness) {
  for (const SwitchCase& c : kSwitchCases) {
    SCOPED_TRACE(c.value.value_or("<Delete>"));
    SetSwitch(kUseVmsUri, c);
    ForgetActivity();
    Deliver(kWalletPushUri, "Update", kWalletPush);
    EXPECT_EQ(Published(kWalletUri).size(), c.on ? 1u : 0u);
  }
}

TEST_F(ModuleSwitchesTest, DisableCapVmsTruthiness) {
  for (const SwitchCase& c : kSwitchCases) {
    SCOPED_TRACE(c.value.value_or("<Delete>"));
    SetSwitch(kDisableCapVmsUri, c);
    ForgetActivity();
    Deliver(kOrderPushUri, "Update", kOrderPush);
    EXPECT_EQ(PublishedUnder(kOrderNotifications), c.on ? 0u : 1u);
  }
}

TEST_F(ModuleSwitchesTest, EachSwitchLeavesTheOtherSourceAlone) {
  Deliver(kDisableCapVmsUri, "Update", "true");
  Deliver(kUseVmsUri, "Update", "true");
  ForgetActivity();
  Deliver(kWalletPushUri, "Update", kWalletPush);
  EXPECT_EQ(Published(kWalletUri).size(), 1u);
  EXPECT_EQ(PublishedUnder(kOrderNotifications), 0u);

  Deliver(kDisableCapVmsUri, "Update", "false");
  Deliver(kUseVmsUri, "Update", "false");
  ForgetActivity();
  Deliver(kOrderPushUri, "Update", kOrderPush);
  EXPECT_EQ(PublishedUnder(kOrderNotifications), 1u);
  EXPECT_TRUE(Published(kWalletUri).empty());
}

}  // namespace
}  // namespace qor::store_test
