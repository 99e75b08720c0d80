// Temporary answers for the handlers of skins and purchase, order notifications and pushes,
// gift and reward toasts and acknowledgement, until their own files replace this one.
#include "store/store_module.h"

namespace qor {

namespace {
Failure NotImplemented() {
  return Failure(501, "Not implemented");
}
}  // namespace

MaybeType<Failure, StoreModule::CatalogItem> StoreModule::GetSkin(int32_t) {
  return NotImplemented();
}

MaybeType<Failure, BindingProperty> StoreModule::PurchaseSkin(int32_t, const ItemCost&) {
  return NotImplemented();
}

MaybeType<Failure, std::vector<StoreModule::OrderNotificationResource>>
StoreModule::GetOrderNotifications() {
  return NotImplemented();
}

MaybeType<Failure, StoreModule::OrderNotificationResource> StoreModule::GetOrderNotification(
    uint64_t) {
  return NotImplemented();
}

MaybeType<Failure, BindingProperty> StoreModule::DeleteOrderNotification(uint64_t) {
  return NotImplemented();
}

MaybeType<Failure, BindingProperty> StoreModule::AcknowledgeNotification(const std::string&) {
  return NotImplemented();
}

void StoreModule::OnConfigurationComplete(const ResourceEvent<bool>&) {}
void StoreModule::OnGiftingSetting(const ResourceEvent<BindingProperty>&) {}
void StoreModule::OnSimpleMessages(const ResourceEvent<std::vector<SimpleDialogMessage>>&) {}
void StoreModule::OnWalletPush(const ResourceEvent<VaxoMessagingServiceMessage>&) {}
void StoreModule::OnOrderPush(const ResourceEvent<VaxoMessagingServiceMessage>&) {}
void StoreModule::OnBalanceNotification(const BalanceNotification&) {}
void StoreModule::OnDialogMessage(const LcdsDialogMessage&) {}

std::optional<StoreModule::DialogKind> StoreModule::DialogKindOf(std::string_view) {
  return std::nullopt;
}
void StoreModule::DispatchDialogMessage(const SimpleDialogMessage&) {}
void StoreModule::DrainPendingDialogMessages() {}

}  // namespace qor
