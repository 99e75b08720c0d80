// Gift and reward toasts: the gifting switch, the pending messages and the posted
// notifications.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/store/store_fixture.h"

namespace qor::store_test {
namespace {

constexpr std::string_view kToastRoute = "/player-notifications/v1/notifications";
constexpr std::string_view kGiftingUri =
    "/qor-platform-config/v1/namespaces/MBXStore/PlayerGiftingNotificationsEnabled";
constexpr std::string_view kConfigCompleteUri =
    "/qor-platform-config/v1/initial-configuration-complete";
constexpr std::string_view kMessagesUri =
    "/qor-platform-config/v1/namespaces/LoginDataPacket/simpleMessages";

// A dialog message as JSON, with the first `params` of five parameters.
std::string Message(std::string_view type, std::string_view msgId, size_t params = 5) {
  std::string json = R"({"accountId":1,"msgId":")" + std::string(msgId) + R"(","type":")" +
                     std::string(type) + R"(","params":[)";
  for (size_t i = 0; i < params; ++i)
    json += (i ? ",\"P" : "\"P") + std::to_string(i + 1) + "\"";
  return json + "]}";
}

class ToastsTest : public StartedStore {
 protected:
  void Enable() { Deliver(kGiftingUri, "Update", "true"); }
  // The message list resource with these messages.
  void Messages(std::string_view first, std::string_view second = {}) {
    Deliver(kMessagesUri, "Update",
            "[" + std::string(first) + (second.empty() ? "" : ",") + std::string(second) + "]");
  }
  // The msgId of each toast posted since the last ForgetActivity, in order.
  std::string PostedIds() const {
    std::string ids;
    for (const Arguments& toast : Sent(kToastRoute))
      ids += toast[0].Member("data").Member("msgId").GetString();
    return ids;
  }
};

// A gift with its parameters in full; then the other kinds, which name the title and detail
// keys; with fewer than five params the data is empty, and a gift warns.
TEST_F(ToastsTest, EachDialogKindPostsItsNotification) {
  Enable();
  Messages(Message("giftReceiver", "M"));
  ASSERT_EQ(Sent(kToastRoute).size(), 1u);
  EXPECT_EQ(JsonText(Sent(kToastRoute)[0]),
            R"({"backgroundUrl":"","created":"","critical":false,"data":{"inventoryType":)"
            R"("P4","itemId":"P5","message":"P3","msgId":"M","receiver":"P1","sender":"P2"},)"
            R"("detailKey":"notifications_store_gift_details","dismissible":false,)"
            R"("expires":"","iconUrl":)"
            R"("fe/qor-player-notifications/images/notifications_button_icon.png",)"
            R"("id":0,"source":"store","state":"toast",)"
            R"("titleKey":"notifications_store_gift_title","type":"gift"})");
  ForgetActivity();
  Messages(Message("rewardReceiver", "R"), Message("giftDelivered", "D", 0));
  Texts toasts;
  for (const Arguments& toast : Sent(kToastRoute)) {
    const BindingProperty& posted = toast[0];
    toasts.push_back(std::string(posted.Member("titleKey").GetString()) +
                     (posted.Member("dismissible").GetBool() ? " true " : " false ") +
                     JsonText(posted.Member("data")));
  }
  EXPECT_EQ(toasts, (Texts{R"(notifications_store_reward_title false {"inventoryType":"P3",)"
                           R"("itemId":"P4","msgId":"R","receiver":"P1"})",
                           "notifications_store_gift_opened_title true {}"}));
  EXPECT_EQ(Log(), Texts{"1 Malformed gift data; missing parameters"});
}

// Other types, and legacy messages without params, are dropped.
TEST_F(ToastsTest, MessagesWaitUntilTheConfigurationDecides) {
  // Nothing decided yet: held, from both sources, in arrival order.
  Messages(Message("giftReceiver", "1"), Message("GiftReceiver", "x"));
  Push(kDialogClass, Message("rewardReceiver", "2"));
  Push(kDialogClass, Message("giftReceiver", "y", 0));
  Messages(Message("giftDelivered", "3"));
  // Configuration complete without a setting: on, and the held messages go out in order.
  Deliver(kConfigCompleteUri, "Update", "false");
  EXPECT_EQ(PostedIds(), "");
  Deliver(kConfigCompleteUri, "Update", "true");
  EXPECT_EQ(PostedIds(), "123");
  // A second completion changes nothing; a message now goes out at once, and every delivery
  // of the list dispatches it again.
  Deliver(kConfigCompleteUri, "Update", "true");
  Messages(Message("giftReceiver", "4"));
  Messages(Message("giftReceiver", "4"));
  EXPECT_EQ(PostedIds(), "12344");
}

TEST_F(ToastsTest, AFailedPostIsIgnoredAndTheDrainGoesOn) {
  Messages(Message("giftReceiver", "1"), Message("rewardReceiver", "2"));
  postsFail = true;
  Enable();
  EXPECT_EQ(PostedIds(), "12");
  postsFail = false;  // not posted again
  Enable();
  Deliver(kConfigCompleteUri, "Update", "true");
  EXPECT_EQ(PostedIds(), "12");
}

}  // namespace
}  // namespace qor::store_test
