// Gift and reward toasts.
//
// Dialog messages about gifts received, gifts opened and rewards come from the login data of
// the platform configuration and from the legacy service. Each becomes a toast: a
// `Notification` posted to the player-notifications plug-in. Toasts wait in the pending list
// until the gifting switch allows them; the switch follows the configuration value
// "PlayerGiftingNotificationsEnabled" and, when the configuration never sends one, turns on
// once the initial configuration is complete.
#include <map>
#include <string>

#include "foundation/log.h"
#include "runtime/local_client.h"
#include "store/store_module.h"

namespace qor {

namespace {

namespace api = Vaxo::Client::Store::Api;

constexpr std::string_view kNotificationsPath = "/player-notifications/v1/notifications";
constexpr std::string_view kToastIconUrl =
    "fe/qor-player-notifications/images/notifications_button_icon.png";
// Gift and reward data are read from the first five parameters.
constexpr size_t kDialogParams = 5;

struct ToastText {
  std::string_view titleKey;
  std::string_view detailKey;
  std::string_view type;
  bool dismissible;
};

ToastText TextOf(StoreModule::DialogKind kind) {
  switch (kind) {
    case StoreModule::DialogKind::GiftReceived:
      return {"notifications_store_gift_title", "notifications_store_gift_details", "gift", false};
    case StoreModule::DialogKind::GiftOpened:
      return {"notifications_store_gift_opened_title", "notifications_store_gift_opened_details",
              "gift_opened", true};
    case StoreModule::DialogKind::RewardReceived:
      break;
  }
  return {"notifications_store_reward_title", "notifications_store_reward_details", "reward",
          false};
}

// The toast's data; empty when the message has too few parameters.
std::map<std::string, std::string> DataOf(StoreModule::DialogKind kind,
                                          const api::SimpleDialogMessage& message) {
  std::map<std::string, std::string> data;
  const std::vector<std::string>& params = message.params;
  if (params.size() < kDialogParams) {
    if (kind != StoreModule::DialogKind::RewardReceived) {
      Log(LogLevel::Warn, log_group::kDbg, "Malformed gift data; missing parameters");
    }
    return data;
  }
  if (kind == StoreModule::DialogKind::RewardReceived) {
    data.emplace("receiver", params[0]);
    data.emplace("inventoryType", params[2]);
    data.emplace("itemId", params[3]);
  } else {
    data.emplace("receiver", params[0]);
    data.emplace("sender", params[1]);
    data.emplace("message", params[2]);
    data.emplace("inventoryType", params[3]);
    data.emplace("itemId", params[4]);
  }
  data.emplace("msgId", message.msgId);
  return data;
}

api::Notification ToastOf(StoreModule::DialogKind kind, const api::SimpleDialogMessage& message) {
  const ToastText text = TextOf(kind);
  api::Notification toast;
  toast.titleKey = text.titleKey;
  toast.detailKey = text.detailKey;
  toast.iconUrl = kToastIconUrl;
  toast.source = "store";
  toast.state = "toast";
  toast.type = text.type;
  toast.critical = false;
  toast.dismissible = text.dismissible;
  toast.data = DataOf(kind, message);
  return toast;
}

}  // namespace

std::optional<StoreModule::DialogKind> StoreModule::DialogKindOf(std::string_view type) {
  if (type == "giftReceiver") return DialogKind::GiftReceived;
  if (type == "giftDelivered") return DialogKind::GiftOpened;
  if (type == "rewardReceiver") return DialogKind::RewardReceived;
  return std::nullopt;
}

void StoreModule::DispatchDialogMessage(const SimpleDialogMessage& message) {
  std::optional<DialogKind> kind = DialogKindOf(message.type);
  if (!kind) return;
  if (!giftNotificationsEnabled) {
    pendingDialogMessages.push_back(message);
    return;
  }
  const api::Notification toast = ToastOf(*kind, message);
  // Whatever the player-notifications plug-in answers, the toast is not posted again.
  (void)CallLocal(*this, PLUGIN_METHOD_POST, kNotificationsPath, toast);
}

void StoreModule::DrainPendingDialogMessages() {
  // Each message leaves the list before it is posted, so a handler that runs during the post
  // sees the list without it. Should notifications be turned off meanwhile, the drain stops
  // and the remaining messages wait for the next one.
  while (giftNotificationsEnabled && !pendingDialogMessages.empty()) {
    const SimpleDialogMessage message = std::move(pendingDialogMessages.front());
    pendingDialogMessages.pop_front();
    DispatchDialogMessage(message);
  }
}

void StoreModule::OnGiftingSetting(const ResourceEvent<BindingProperty>& event) {
  giftSettingKnown = true;
  // Only a Bool false turns toasts off; any other value, and a Delete, turns them on.
  giftNotificationsEnabled = event.data.Kind() == BindingKind::Bool ? event.data.GetBool() : true;
  if (giftNotificationsEnabled) DrainPendingDialogMessages();
}

void StoreModule::OnConfigurationComplete(const ResourceEvent<bool>& event) {
  if (!event.data || giftSettingKnown) return;
  giftSettingKnown = true;
  giftNotificationsEnabled = true;
  DrainPendingDialogMessages();
}

void StoreModule::OnSimpleMessages(const ResourceEvent<std::vector<SimpleDialogMessage>>& event) {
  if (event.eventType == PluginResourceEventType::Delete) return;
  for (const SimpleDialogMessage& message : event.data)
    DispatchDialogMessage(message);
}

void StoreModule::OnDialogMessage(const LcdsDialogMessage& message) {
  if (message.params.empty()) return;
  SimpleDialogMessage copy;
  copy.accountId = message.accountId;
  copy.msgId = message.msgId;
  copy.type = message.type;
  copy.params = message.params;
  DispatchDialogMessage(copy);
}

}  // namespace qor
