// Gift and reward toasts: the gifting switch, the pending messages and the posted
// notifications.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/store/store2_support.h"

namespace qor::store_test {
namespace {

constexpr const char* kIcon = "fe/qor-player-notifications/images/notifications_button_icon.png";

// A dialog message as JSON.
std::string Message(std::string_view type, std::string_view msgId,
                    const std::vector<std::string>& params) {
  std::string json = R"({"accountId":1,"msgId":")" + std::string(msgId) + R"(","type":")" +
                     std::string(type) + R"(","params":[)";
  for (size_t i = 0; i < params.size(); ++i)
    json += (i ? ",\"" : "\"") + params[i] + "\"";
  return json + "]}";
}

const std::vector<std::string> kFive = {"P1", "P2", "P3", "P4", "P5"};
const std::vector<std::string> kFour = {"P1", "P2", "P3", "P4"};

class ToastsTest : public Store2Fixture {
 protected:
  void SetUp() override {
    Store2Fixture::SetUp();
    StartStore();
    ForgetLog();
  }

  void Enable() { Deliver(kGiftingUri, "Update", "true"); }
  void Messages(const std::vector<std::string>& messages) {
    std::string list = "[";
    for (size_t i = 0; i < messages.size(); ++i)
      list += (i ? "," : "") + messages[i];
    Deliver(kSimpleMessagesUri, "Update", list + "]");
  }
  // The msgId of each toast posted so far, in order.
  std::vector<std::string> PostedIds() const {
    std::vector<std::string> ids;
    for (const BindingProperty& toast : toasts)
      ids.push_back(std::string(toast.Member("data").Member("msgId").GetString()));
    return ids;
  }
};

TEST_F(ToastsTest, EachDialogKindPostsItsNotification) {
  Enable();
  struct Case {
    const char* type;
    std::vector<std::string> params;
    std::string toast;  // the posted record's JSON
    bool warns = false;
  };
  const std::string common = R"("backgroundUrl":"","created":"","critical":false,)";
  const std::string tail = std::string(R"("expires":"","iconUrl":")") + kIcon +
                           R"(","id":0,"source":"store","state":"toast",)";
  const Case cases[] = {
      {"giftReceiver", kFive,
       "{" + common +
           R"("data":{"inventoryType":"P4","itemId":"P5","message":"P3","msgId":"M",)"
           R"("receiver":"P1","sender":"P2"},"detailKey":"notifications_store_gift_details",)"
           R"("dismissible":false,)" +
           tail + R"("titleKey":"notifications_store_gift_title","type":"gift"})"},
      {"giftDelivered", kFive,
       "{" + common +
           R"("data":{"inventoryType":"P4","itemId":"P5","message":"P3","msgId":"M",)"
           R"("receiver":"P1","sender":"P2"},)"
           R"("detailKey":"notifications_store_gift_opened_details","dismissible":true,)" +
           tail + R"("titleKey":"notifications_store_gift_opened_title","type":"gift_opened"})"},
      {"rewardReceiver", kFive,
       "{" + common +
           R"("data":{"inventoryType":"P3","itemId":"P4","msgId":"M","receiver":"P1"},)"
           R"("detailKey":"notifications_store_reward_details","dismissible":false,)" +
           tail + R"("titleKey":"notifications_store_reward_title","type":"reward"})"},
      {"giftReceiver", kFour,
       "{" + common +
           R"("data":{},"detailKey":"notifications_store_gift_details","dismissible":false,)" +
           tail + R"("titleKey":"notifications_store_gift_title","type":"gift"})",
       true},
      {"giftDelivered", {}, "", true},
      {"rewardReceiver", kFour,
       "{" + common +
           R"("data":{},"detailKey":"notifications_store_reward_details","dismissible":false,)" +
           tail + R"("titleKey":"notifications_store_reward_title","type":"reward"})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " with " + std::to_string(c.params.size()) + " params");
    toasts.clear();
    ForgetLog();
    Messages({Message(c.type, "M", c.params)});
    ASSERT_EQ(toasts.size(), 1u);
    if (!c.toast.empty()) {
      EXPECT_EQ(JsonText(toasts[0]), c.toast);
    }
    if (c.params.size() < 5) {
      EXPECT_EQ(toasts[0].Member("data").Size(), 0u);
    }
    if (c.warns) {
      EXPECT_EQ(LogSince(), (std::vector<Line>{{1, "Malformed gift data; missing parameters"}}));
    } else {
      EXPECT_TRUE(LogSince().empty());
    }
  }
}

TEST_F(ToastsTest, OtherTypesAreDropped) {
  Enable();
  Messages({Message("GiftReceiver", "a", kFive), Message("giftreceiver", "b", kFive),
            Message("gift", "c", kFive), Message("", "d", kFive)});
  Push(kDialogClass, Message("GiftReceiver", "e", kFive));
  EXPECT_TRUE(toasts.empty());
  EXPECT_TRUE(LogSince().empty());
}

TEST_F(ToastsTest, LegacyMessagesWithoutParamsAreIgnored) {
  Enable();
  Push(kDialogClass, Message("giftReceiver", "legacy-empty", {}));
  EXPECT_TRUE(toasts.empty());
  // The same message from the configuration is posted, with empty data.
  Messages({Message("giftReceiver", "config-empty", {})});
  ASSERT_EQ(toasts.size(), 1u);
  EXPECT_EQ(toasts[0].Member("data").Size(), 0u);
  // With params a legacy message is posted like any other.
  Push(kDialogClass, Message("rewardReceiver", "legacy", kFive));
  ASSERT_EQ(toasts.size(), 2u);
  EXPECT_EQ(JsonText(toasts[1].Member("data")),
            R"({"inventoryType":"P3","itemId":"P4","msgId":"legacy","receiver":"P1"})");
}

TEST_F(ToastsTest, MessagesWaitUntilTheConfigurationDecides) {
  // Nothing decided yet: held, from both sources, in arrival order.
  Messages({Message("giftReceiver", "1", kFive), Message("unknown", "x", kFive)});
  Push(kDialogClass, Message("rewardReceiver", "2", kFive));
  Messages({Message("giftDelivered", "3", kFive)});
  EXPECT_TRUE(toasts.empty());
  // Configuration complete without a setting: on, and the held messages go out in order.
  Deliver(kConfigCompleteUri, "Update", "false");
  EXPECT_TRUE(toasts.empty());
  Deliver(kConfigCompleteUri, "Update", "true");
  EXPECT_EQ(PostedIds(), (std::vector<std::string>{"1", "2", "3"}));
  // A second completion changes nothing; a message now goes out at once.
  Deliver(kConfigCompleteUri, "Update", "true");
  Messages({Message("giftReceiver", "4", kFive)});
  EXPECT_EQ(PostedIds(), (std::vector<std::string>{"1", "2", "3", "4"}));
  // Every delivery of the list dispatches it again.
  Messages({Message("giftReceiver", "4", kFive)});
  EXPECT_EQ(PostedIds(), (std::vector<std::string>{"1", "2", "3", "4", "4"}));
}

TEST_F(ToastsTest, ASettingOfFalseOutlastsConfigurationComplete) {
  Deliver(kGiftingUri, "Update", "false");
  Messages({Message("giftReceiver", "1", kFive)});
  Deliver(kConfigCompleteUri, "Update", "true");
  Messages({Message("giftReceiver", "2", kFive)});
  EXPECT_TRUE(toasts.empty());
  // A later setting that enables them posts what was held, once.
  Deliver(kGiftingUri, "Update", "true");
  EXPECT_EQ(PostedIds(), (std::vector<std::string>{"1", "2"}));
  Deliver(kGiftingUri, "Update", "true");
  EXPECT_EQ(PostedIds(), (std::vector<std::string>{"1", "2"}));
}

TEST_F(ToastsTest, OnlyABoolFalseDisables) {
  struct Case {
    const char* name;
    const char* eventType;
    std::optional<std::string_view> value;
    bool posts;
  };
  const Case cases[] = {
      {"Bool false", "Update", "false", false},
      {"String false", "Update", R"("false")", true},
      {"zero", "Update", "0", true},
      {"Bool true", "Create", "true", true},
      {"Delete", "Delete", std::nullopt, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Deliver(kGiftingUri, "Update", "false");
    toasts.clear();
    Messages({Message("giftReceiver", c.name, kFive)});
    Deliver(kGiftingUri, c.eventType, c.value);
    EXPECT_EQ(toasts.size(), c.posts ? 1u : 0u);
    if (!c.posts) {
      // Still held: the next enabling setting posts it.
      Deliver(kGiftingUri, "Update", "true");
      EXPECT_EQ(PostedIds(), std::vector<std::string>{c.name});
    }
  }
}

TEST_F(ToastsTest, TurningToastsOffDuringADrainKeepsTheRest) {
  Messages({Message("giftReceiver", "1", kFive), Message("giftReceiver", "2", kFive),
            Message("rewardReceiver", "3", kFive)});
  onToast = [this] {
    if (toasts.size() == 1) Deliver(kGiftingUri, "Update", "false");
  };
  Enable();
  EXPECT_EQ(PostedIds(), std::vector<std::string>{"1"});
  onToast = nullptr;
  Enable();
  EXPECT_EQ(PostedIds(), (std::vector<std::string>{"1", "2", "3"}));
}

TEST_F(ToastsTest, TheFirstFetchesInsideStartDecideAndDispatch) {
  StopStore();
  toasts.clear();
  SetResource(kConfigCompleteUri, "true");
  SetResource(kSimpleMessagesUri, "[" + Message("giftReceiver", "at-start", kFive) + "]");
  StartStore();
  EXPECT_EQ(PostedIds(), std::vector<std::string>{"at-start"});
}

}  // namespace
}  // namespace qor::store_test
