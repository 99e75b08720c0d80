// Gift and reward toasts: the gifting switch, the pending messages and the posted
// notifications.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/store/store_fixture.h"

namespace qor::store_test {
namespace {

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

class ToastsTest : public StartedStore {
 protected:
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
  Messages({Message("giftReceiver", "M", kFive)});
  ASSERT_EQ(toasts.size(), 1u);
  EXPECT_EQ(JsonText(toasts[0]),
            R"({"backgroundUrl":"","created":"","critical":false,"data":{"inventoryType":"P4",)"
            R"("itemId":"P5","message":"P3","msgId":"M","receiver":"P1","sender":"P2"},)"
            R"("detailKey":"notifications_store_gift_details","dismissible":false,"expires":"",)"
            R"("iconUrl":"fe/qor-player-notifications/images/notifications_button_icon.png",)"
            R"("id":0,"source":"store","state":"toast",)"
            R"("titleKey":"notifications_store_gift_title","type":"gift"})");

  // The others: their kind (which names the title and detail keys), dismissible, and data.
  struct Case {
    const char* type;
    size_t params;
    const char* toast;  // type, dismissible and data of the toast
    bool warns;
  };
  const Case cases[] = {
      {"giftDelivered", 5,
       R"(gift_opened true {"inventoryType":"P4","itemId":"P5","message":"P3","msgId":"M",)"
       R"("receiver":"P1","sender":"P2"})",
       false},
      {"rewardReceiver", 5,
       R"(reward false {"inventoryType":"P3","itemId":"P4","msgId":"M","receiver":"P1"})", false},
      // Fewer than five params: posted with empty data; only a gift warns.
      {"giftReceiver", 4, "gift false {}", true},
      {"giftDelivered", 0, "gift_opened true {}", true},
      {"rewardReceiver", 4, "reward false {}", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.type) + " with " + std::to_string(c.params) + " params");
    toasts.clear();
    ForgetActivity();
    Messages(
        {Message(c.type, "M", std::vector<std::string>(kFive.begin(), kFive.begin() + c.params))});
    ASSERT_EQ(toasts.size(), 1u);
    const BindingProperty& toast = toasts[0];
    EXPECT_EQ(std::string(toast.Member("type").GetString()) + " " +
                  (toast.Member("dismissible").GetBool() ? "true " : "false ") +
                  JsonText(toast.Member("data")),
              c.toast);
    EXPECT_EQ(toast.Member("titleKey").GetString(),
              "notifications_store_" + std::string(toast.Member("type").GetString()) + "_title");
    const std::vector<Line> warning = {{1, "Malformed gift data; missing parameters"}};
    EXPECT_EQ(LogSince(), c.warns ? warning : std::vector<Line>());
  }
}

TEST_F(ToastsTest, OtherTypesAndLegacyMessagesWithoutParamsAreDropped) {
  Enable();
  Messages(
      {Message("GiftReceiver", "a", kFive), Message("gift", "c", kFive), Message("", "d", kFive)});
  Push(kDialogClass, Message("GiftReceiver", "e", kFive));
  Push(kDialogClass, Message("giftReceiver", "legacy-empty", {}));
  EXPECT_TRUE(toasts.empty());
  EXPECT_TRUE(LogSince().empty());
  // With params a legacy message is posted like any other.
  Push(kDialogClass, Message("rewardReceiver", "legacy", kFive));
  EXPECT_EQ(PostedIds(), Texts{"legacy"});
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
  EXPECT_EQ(PostedIds(), (Texts{"1", "2", "3"}));
  // A second completion changes nothing; a message now goes out at once, and every delivery
  // of the list dispatches it again.
  Deliver(kConfigCompleteUri, "Update", "true");
  Messages({Message("giftReceiver", "4", kFive)});
  Messages({Message("giftReceiver", "4", kFive)});
  EXPECT_EQ(PostedIds(), (Texts{"1", "2", "3", "4", "4"}));
}

// Only a Bool false disables toasts; it holds the messages even after the configuration
// completes, until a setting that enables them posts what was held, once.
TEST_F(ToastsTest, OnlyABoolFalseDisablesAndItOutlastsConfigurationComplete) {
  Deliver(kGiftingUri, "Update", "false");
  Messages({Message("giftReceiver", "1", kFive)});
  Deliver(kConfigCompleteUri, "Update", "true");
  Messages({Message("giftReceiver", "2", kFive)});
  EXPECT_TRUE(toasts.empty());
  Enable();
  Enable();
  EXPECT_EQ(PostedIds(), (Texts{"1", "2"}));
  const std::pair<const char*, std::optional<std::string_view>> enabling[] = {
      {"Update", R"("false")"}, {"Update", "0"}, {"Create", "true"}, {"Delete", std::nullopt}};
  for (const auto& [eventType, value] : enabling) {
    SCOPED_TRACE(std::string(eventType) + " " + std::string(value.value_or("")));
    Deliver(kGiftingUri, "Update", "false");
    toasts.clear();
    Messages({Message("giftReceiver", "m", kFive)});
    Deliver(kGiftingUri, eventType, value);
    EXPECT_EQ(PostedIds(), Texts{"m"});
  }
}

TEST_F(ToastsTest, TurningToastsOffDuringADrainKeepsTheRest) {
  Messages({Message("giftReceiver", "1", kFive), Message("giftReceiver", "2", kFive),
            Message("rewardReceiver", "3", kFive)});
  onToast = [this] {
    if (toasts.size() == 1) Deliver(kGiftingUri, "Update", "false");
  };
  Enable();
  EXPECT_EQ(PostedIds(), Texts{"1"});
  onToast = nullptr;
  Enable();
  EXPECT_EQ(PostedIds(), (Texts{"1", "2", "3"}));
}

TEST_F(ToastsTest, AFailedPostIsIgnoredAndTheDrainGoesOn) {
  Messages({Message("giftReceiver", "1", kFive), Message("rewardReceiver", "2", kFive)});
  toastsFail = true;
  Enable();
  EXPECT_EQ(PostedIds(), (Texts{"1", "2"}));
  // Not posted again.
  toastsFail = false;
  Enable();
  Deliver(kConfigCompleteUri, "Update", "true");
  EXPECT_EQ(PostedIds(), (Texts{"1", "2"}));
}

TEST_F(ToastsTest, TheFirstFetchesInsideStartDecideAndDispatch) {
  StopStore();
  SetResource(kConfigCompleteUri, "true");
  SetResource(kSimpleMessagesUri, "[" + Message("giftReceiver", "at-start", kFive) + "]");
  StartStore();
  EXPECT_EQ(PostedIds(), Texts{"at-start"});
}

}  // namespace
}  // namespace qor::store_test
