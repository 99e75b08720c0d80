// StoreModule: construction, registration of records and endpoints, the start-up
// subscriptions, and helpers shared by the handler files.
#include "store/store_module.h"

#include <utility>

#include "api/endpoint.h"
#include "foundation/format.h"
#include "runtime/lcds.h"

namespace qor {

namespace api = Vaxo::Client::Store::Api;

StoreModule::StoreModule() : lcds_(std::make_unique<LcdsClient>(*this, Events())) {
  // Hash maps grow before their load passes one entry per bucket.
  storefrontHeaders.max_load_factor(1.0f);
  orderNotifications.max_load_factor(1.0f);
}

StoreModule::~StoreModule() = default;

LcdsClient& StoreModule::Lcds() {
  return *lcds_;
}

void StoreModule::RegisterApi() {
  api::RegisterStoreRecords(Types(), TypeNamePrefix());
  api::RegisterLcdsRecords(Types());
  lcds_->AddClasses(api::LcdsClasses());

  Dispatcher& router = Router();
  RegisterEndpoint(router, PLUGIN_METHOD_GET, "/qor-store/v1/getStoreUrl", this,
                   &StoreModule::GetStoreUrl);
  RegisterEndpoint(router, PLUGIN_METHOD_GET, "/qor-store/v1/lastPage", this,
                   &StoreModule::GetLastPageEndpoint);
  RegisterEndpoint(router, PLUGIN_METHOD_POST, "/qor-store/v1/lastPage", this,
                   &StoreModule::SetLastPageEndpoint, BodyArg("pageType"));
  RegisterEndpoint(router, PLUGIN_METHOD_GET, "/qor-store/v1/login", this,
                   &StoreModule::GetLoginPage);
  RegisterEndpoint(router, PLUGIN_METHOD_GET, "/qor-store/v1/skins/{skinId}", this,
                   &StoreModule::GetSkin, PathArg("skinId"));
  RegisterEndpoint(router, PLUGIN_METHOD_POST, "/qor-store/v1/skins/{skinId}/purchase", this,
                   &StoreModule::PurchaseSkin, PathArg("skinId"), BodyArg("cost"));
  RegisterEndpoint(router, PLUGIN_METHOD_GET, "/qor-store/v1/{pageType}", this,
                   &StoreModule::GetPage, PathArg("pageType"));
  RegisterEndpoint(router, PLUGIN_METHOD_GET, "/qor-store/v1/paymentDetails", this,
                   &StoreModule::GetPaymentDetails, QueryArg("action"),
                   QueryArg("giftRecipientAccountId"), QueryArg("giftMessage"));
  RegisterEndpoint(router, PLUGIN_METHOD_GET, "/qor-store/v1/wallet", this,
                   &StoreModule::GetWallet);
  RegisterEndpoint(router, PLUGIN_METHOD_GET, "/qor-store/v1/order-notifications", this,
                   &StoreModule::GetOrderNotifications);
  RegisterEndpoint(router, PLUGIN_METHOD_GET, "/qor-store/v1/order-notifications/{id}", this,
                   &StoreModule::GetOrderNotification, PathArg("id"));
  RegisterEndpoint(router, PLUGIN_METHOD_DELETE, "/qor-store/v1/order-notifications/{id}", this,
                   &StoreModule::DeleteOrderNotification, PathArg("id"));
  RegisterEndpoint(router, PLUGIN_METHOD_POST, "/qor-store/v1/notifications/acknowledge", this,
                   &StoreModule::AcknowledgeNotification, BodyArg("id"));
  RegisterEndpoint(router, PLUGIN_METHOD_GET, "/qor-store/v1/catalog", this,
                   &StoreModule::GetCatalog, QueryArg("inventoryType"), QueryArg("itemId"));
}

bool StoreModule::Start() {
  ResourceEvents& events = Events();
  // 1
  events.WatchResource<LoginSession>(
      "/qor-login/v1/session",
      [this](const ResourceEvent<LoginSession>& event) { OnLoginSession(event); });
  // 2
  events.WatchResource<BindingProperty>(
      "/vaxoclient/region-locale",
      [this](const ResourceEvent<BindingProperty>& event) { OnRegionLocale(event); });
  // 3
  events.WatchResource<BindingProperty>(
      "/qor-platform-config/v1/namespaces/LoginDataPacket/platformId",
      [this](const ResourceEvent<BindingProperty>& event) { OnPlatformId(event); });
  // 4
  events.WatchResource<bool>(
      "/qor-platform-config/v1/initial-configuration-complete",
      [this](const ResourceEvent<bool>& event) { OnConfigurationComplete(event); });
  // 5
  events.WatchResource<BindingProperty>(
      "/qor-platform-config/v1/namespaces/MBXStore/PlayerGiftingNotificationsEnabled",
      [this](const ResourceEvent<BindingProperty>& event) { OnGiftingSetting(event); });
  // 6
  events.WatchResource<std::vector<SimpleDialogMessage>>(
      "/qor-platform-config/v1/namespaces/LoginDataPacket/simpleMessages",
      [this](const ResourceEvent<std::vector<SimpleDialogMessage>>& event) {
        OnSimpleMessages(event);
      });
  // 7
  events.WatchResource<BindingProperty>(
      "/qor-platform-config/v1/namespaces/MBXStore/UseVMS",
      [this](const ResourceEvent<BindingProperty>& event) { OnUseVms(event); });
  // 8
  events.WatchResource<BindingProperty>(
      "/qor-platform-config/v1/namespaces/MBXStore/DisableCapVMS",
      [this](const ResourceEvent<BindingProperty>& event) { OnDisableCapVms(event); });
  // 9
  events.WatchResource<VaxoMessagingServiceMessage>(
      "/vaxo-messaging-service/v1/message/store/v1/wallet",
      [this](const ResourceEvent<VaxoMessagingServiceMessage>& event) { OnWalletPush(event); });
  // 10
  events.WatchResource<VaxoMessagingServiceMessage>(
      "/vaxo-messaging-service/v1/message/cap/v1/orders",
      [this](const ResourceEvent<VaxoMessagingServiceMessage>& event) { OnOrderPush(event); });
  // 11
  lcds_->Subscribe<BalanceNotification>(
      "com.vaxoworks.platform.messaging.StoreAccountBalanceNotification",
      [this](const BalanceNotification& message) { OnBalanceNotification(message); });
  // 12
  lcds_->Subscribe<LcdsDialogMessage>(
      "com.vaxoworks.platform.messaging.persistence.SimpleDialogMessage",
      [this](const LcdsDialogMessage& message) { OnDialogMessage(message); });
  return true;
}

void StoreModule::Stop() {
  // A push already re-delivered through Schedule finds no handler from here on.
  lcds_->Stop();
  AppModule::Stop();
}

void StoreModule::PublishWallet(const Wallet& wallet) {
  // A wallet always converts; a failed publish has nobody to tell.
  (void)Events().PublishResource(kWalletUri, PluginResourceEventType::Update, wallet);
}

std::string StoreModule::OrderNotificationUri(uint64_t id) {
  return std::string(kOrderNotificationUriPrefix) + std::to_string(id);
}

}  // namespace qor
