// Order notifications and balance updates.
//
// Order pushes of the messaging service become order notifications, kept by id until the
// user interface deletes them and published one resource per notification. Balance changes
// come either as messaging-service wallet pushes (when `useVms` is on) or as legacy-service
// balance messages (when it is off); each accepted one is published as the wallet resource
// and forgotten.
#include <optional>
#include <string>
#include <vector>

#include "binding/json.h"
#include "binding/record.h"
#include "foundation/log.h"
#include "store/store_module.h"

namespace qor {

namespace {

namespace api = Vaxo::Client::Store::Api;

bool IsCreateOrUpdate(PluginResourceEventType type) {
  return type == PluginResourceEventType::Create || type == PluginResourceEventType::Update;
}

// The payload text of a push read as a record of type T, or nothing when it is not JSON or
// does not have T's shape.
template <typename T>
std::optional<T> ReadPayload(const std::string& payload, const TypeRegistry& registry) {
  MaybeType<Failure, BindingProperty> parsed = ParseJson(std::string_view(payload));
  if (parsed.Failed()) return std::nullopt;
  MaybeType<Failure, T> record = FromBinding<T>(*parsed, registry, "<value>");
  if (record.Failed()) return std::nullopt;
  return std::move(record).Value();
}

// The amount of the first balance named exactly `currency`; 0 when none is.
int64_t AmountOf(const api::ServiceWallet& wallet, std::string_view currency) {
  for (const api::ServiceBalance& balance : wallet.balances) {
    if (balance.currency == currency) return balance.amount;
  }
  return 0;
}

}  // namespace

MaybeType<Failure, std::vector<StoreModule::OrderNotificationResource>>
StoreModule::GetOrderNotifications() {
  std::vector<OrderNotificationResource> all;
  all.reserve(orderNotifications.size());
  for (const auto& [id, notification] : orderNotifications)
    all.push_back(notification);
  return all;
}

MaybeType<Failure, StoreModule::OrderNotificationResource> StoreModule::GetOrderNotification(
    uint64_t id) {
  auto found = orderNotifications.find(id);
  if (found == orderNotifications.end()) {
    return Failure(404, "Notification with given ID not found");
  }
  return found->second;
}

MaybeType<Failure, BindingProperty> StoreModule::DeleteOrderNotification(uint64_t id) {
  auto found = orderNotifications.find(id);
  if (found == orderNotifications.end()) {
    return Failure(404, "Notification with given ID not found, nothing deleted!");
  }
  orderNotifications.erase(found);
  (void)Events().PublishResource(OrderNotificationUri(id), PluginResourceEventType::Delete);
  return BindingProperty();
}

void StoreModule::OnOrderPush(const ResourceEvent<VaxoMessagingServiceMessage>& event) {
  if (disableCapVms || !IsCreateOrUpdate(event.eventType)) return;
  const std::string& payload = event.data.payload;
  Log(LogLevel::Okay, log_group::kGen, "Received VMS message for /cap/v1/orders: %s", payload);

  std::optional<OrderNotificationResource> notification =
      ReadPayload<OrderNotificationResource>(payload, Types());
  if (!notification) {
    Log(LogLevel::Error, log_group::kDbg, "Malformed VMS order notification payload: %s", payload);
    return;
  }
  // Whatever id the payload carries, the store numbers its notifications itself.
  const uint64_t id = nextOrderNotificationId_.fetch_add(1, std::memory_order_relaxed);
  notification->id = id;
  // Publish a copy: a handler nested in the publication may change the table.
  const OrderNotificationResource published = *notification;
  orderNotifications.insert_or_assign(id, std::move(*notification));
  (void)Events().PublishResource(OrderNotificationUri(id), PluginResourceEventType::Update,
                                 published);
}

void StoreModule::OnWalletPush(const ResourceEvent<VaxoMessagingServiceMessage>& event) {
  if (!useVms || !IsCreateOrUpdate(event.eventType)) return;
  const std::string& payload = event.data.payload;
  Log(LogLevel::Okay, log_group::kGen, "Received VMS message for /store/v1/wallet: %s", payload);

  std::optional<api::ServiceWallet> serviceWallet =
      ReadPayload<api::ServiceWallet>(payload, Types());
  if (!serviceWallet) {
    Log(LogLevel::Error, log_group::kDbg, "Malformed VMS wallet notification payload: %s", payload);
    return;
  }
  Wallet wallet;
  wallet.ip = AmountOf(*serviceWallet, "IP");
  wallet.vp = AmountOf(*serviceWallet, "VP");
  PublishWallet(wallet);
}

void StoreModule::OnBalanceNotification(const BalanceNotification& message) {
  if (useVms) return;
  Wallet wallet;
  wallet.ip = message.ip;
  wallet.vp = message.vp;
  PublishWallet(wallet);
}

}  // namespace qor
