// StoreModule: the store plug-in object.
//
// It derives from AppModule and adds the store's state (the fifteen members below, in this
// order, with these initial values) and its handlers. It overrides two of the base's hooks:
// RegisterApi declares the store records, the legacy-service records and the fourteen
// endpoints; Start subscribes to the resources and legacy-service messages that keep the
// state up to date, and reports success.
//
// Where each piece lives:
//   store_module.cpp     construction, RegisterApi, Start, shared helpers
//   session_config.cpp   session, region-locale, platform id, the two messaging switches
//   store_url.cpp        store URL, last page, login / featured / view / payment pages
//   wallet_catalog.cpp   wallet and catalog
//   purchase.cpp         skin lookup and purchase
//   orders.cpp           order notifications, wallet and order pushes, balance messages
//   toasts.cpp           gifting switch, dialog messages, gift and reward toasts
//   acknowledge.cpp      acknowledgement of dialog messages
//
// Thread rule: no lock and no thread of its own. Handlers run on host threads and may run
// nested inside another handler's wait; a handler reads the members it needs at the moment it
// builds its request, so members may change across a wait.
#pragma once

#include <atomic>
#include <cstdint>
#include <list>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "binding/maybe.h"
#include "binding/property.h"
#include "runtime/app_module.h"
#include "runtime/resource_events.h"
#include "store/lcds_records.h"
#include "store/records.h"

namespace qor {

class LcdsClient;

class StoreModule : public AppModule {
 public:
  using Wallet = Vaxo::Client::Store::Api::Wallet;
  using CatalogItem = Vaxo::Client::Store::Api::CatalogItem;
  using ItemCost = Vaxo::Client::Store::Api::ItemCost;
  using LoginSession = Vaxo::Client::Store::Api::LoginSession;
  using OrderNotificationResource = Vaxo::Client::Store::Api::OrderNotificationResource;
  using SimpleDialogMessage = Vaxo::Client::Store::Api::SimpleDialogMessage;
  using VaxoMessagingServiceMessage = Vaxo::Client::Store::Api::VaxoMessagingServiceMessage;
  using BalanceNotification = Vaxo::Client::Store::Api::StoreLcdsStoreAccountBalanceNotification;
  using LcdsDialogMessage = Vaxo::Client::Store::Api::StoreLcdsSimpleDialogMessage;

  // Dialog messages held back while toasts may not be posted, in arrival order.
  using PendingDialogMessages = std::list<SimpleDialogMessage>;

  // The three dialog kinds that become toasts, chosen by the message's exact `type`.
  enum class DialogKind { GiftReceived, GiftOpened, RewardReceived };

  // Resources the store publishes.
  static constexpr std::string_view kStoreUrlUri = "/qor-store/v1/getStoreUrl";
  static constexpr std::string_view kWalletUri = "/qor-store/v1/wallet";
  static constexpr std::string_view kOrderNotificationUriPrefix =
      "/qor-store/v1/order-notifications/";

  // The time limit passed with every storefront request.
  static constexpr uint32_t kStorefrontTimeLimit = 20;

  StoreModule();
  ~StoreModule() override;

  // ---- Endpoint handlers, in endpoint-table order ---------------------------------------
  // GET /qor-store/v1/getStoreUrl: the store URL as the platform reports it now (not stored).
  MaybeType<Failure, std::string> GetStoreUrl();
  // GET /qor-store/v1/lastPage: the last page type reported, "featured" when none.
  std::string GetLastPage() const;
  // POST /qor-store/v1/lastPage (body "pageType").
  void SetLastPage(const std::string& pageType);
  // GET /qor-store/v1/login: the storefront's login page as text.
  MaybeType<Failure, BindingProperty> GetLoginPage();
  // GET /qor-store/v1/skins/{skinId}.
  MaybeType<Failure, CatalogItem> GetSkin(int32_t skinId);
  // POST /qor-store/v1/skins/{skinId}/purchase (body "cost").
  MaybeType<Failure, BindingProperty> PurchaseSkin(int32_t skinId, const ItemCost& cost);
  // GET /qor-store/v1/{pageType}: the featured page or a named view, as JSON.
  MaybeType<Failure, BindingProperty> GetPage(const std::string& pageType);
  // GET /qor-store/v1/paymentDetails (query "action", "giftRecipientAccountId"?,
  // "giftMessage"?): the storefront's payment page as text.
  MaybeType<Failure, BindingProperty> GetPaymentDetails(
      const std::string& action, const std::optional<uint64_t>& giftRecipientAccountId,
      const std::optional<std::string>& giftMessage);
  // GET /qor-store/v1/wallet.
  MaybeType<Failure, Wallet> GetWallet();
  // GET /qor-store/v1/order-notifications.
  MaybeType<Failure, std::vector<OrderNotificationResource>> GetOrderNotifications();
  // GET /qor-store/v1/order-notifications/{id}.
  MaybeType<Failure, OrderNotificationResource> GetOrderNotification(uint64_t id);
  // DELETE /qor-store/v1/order-notifications/{id}: Empty on success.
  MaybeType<Failure, BindingProperty> DeleteOrderNotification(uint64_t id);
  // POST /qor-store/v1/notifications/acknowledge (body "id"): Empty on success.
  MaybeType<Failure, BindingProperty> AcknowledgeNotification(const std::string& id);
  // GET /qor-store/v1/catalog (query "inventoryType"?, "itemId"?): the cached catalog,
  // fetched on first use, filtered.
  MaybeType<Failure, std::vector<CatalogItem>> GetCatalog(
      const std::optional<std::vector<std::string>>& inventoryType,
      const std::optional<std::vector<int32_t>>& itemId);

  // ---- Subscription handlers, in subscription-table order -------------------------------
  // 1 "/qor-login/v1/session"
  void OnLoginSession(const ResourceEvent<LoginSession>& event);
  // 2 "/vaxoclient/region-locale"
  void OnRegionLocale(const ResourceEvent<BindingProperty>& event);
  // 3 ".../LoginDataPacket/platformId"
  void OnPlatformId(const ResourceEvent<BindingProperty>& event);
  // 4 "/qor-platform-config/v1/initial-configuration-complete"
  void OnConfigurationComplete(const ResourceEvent<bool>& event);
  // 5 ".../MBXStore/PlayerGiftingNotificationsEnabled"
  void OnGiftingSetting(const ResourceEvent<BindingProperty>& event);
  // 6 ".../LoginDataPacket/simpleMessages"
  void OnSimpleMessages(const ResourceEvent<std::vector<SimpleDialogMessage>>& event);
  // 7 ".../MBXStore/UseVMS"
  void OnUseVms(const ResourceEvent<BindingProperty>& event);
  // 8 ".../MBXStore/DisableCapVMS"
  void OnDisableCapVms(const ResourceEvent<BindingProperty>& event);
  // 9 "/vaxo-messaging-service/v1/message/store/v1/wallet"
  void OnWalletPush(const ResourceEvent<VaxoMessagingServiceMessage>& event);
  // 10 "/vaxo-messaging-service/v1/message/cap/v1/orders"
  void OnOrderPush(const ResourceEvent<VaxoMessagingServiceMessage>& event);
  // 11 legacy "com.vaxoworks.platform.messaging.StoreAccountBalanceNotification"
  void OnBalanceNotification(const BalanceNotification& message);
  // 12 legacy "com.vaxoworks.platform.messaging.persistence.SimpleDialogMessage"
  void OnDialogMessage(const LcdsDialogMessage& message);

  // Empties the legacy-service handler table, then stops the module's event tables.
  void Stop() override;

 protected:
  void RegisterApi() override;
  bool Start() override;

 private:
  // ---- Endpoint adapters for the two handlers that never fail ---------------------------
  MaybeType<Failure, std::string> GetLastPageEndpoint();
  MaybeType<Failure, void> SetLastPageEndpoint(const std::string& pageType);

  // ---- Shared helpers -------------------------------------------------------------------
  // The module's legacy-service client (calls and pushed-message subscriptions).
  LcdsClient& Lcds();
  // Publishes `wallet` as an Update of "/qor-store/v1/wallet"; a wallet that cannot be
  // converted is not published.
  void PublishWallet(const Wallet& wallet);
  // "/qor-store/v1/order-notifications/" followed by `id` in decimal.
  static std::string OrderNotificationUri(uint64_t id);

  // Gift and reward toasts: the kind of a dialog `type` (exact match), or nothing.
  static std::optional<DialogKind> DialogKindOf(std::string_view type);
  // Runs the toast step of the message's kind; drops messages of any other type.
  void DispatchDialogMessage(const SimpleDialogMessage& message);
  // Posts every pending dialog message, front first, removing each after its post.
  void DrainPendingDialogMessages();

  // The next order-notification id, shared by the whole process: 0, 1, 2, ... in the order
  // in which order pushes are accepted; never reused.
  static inline std::atomic<uint64_t> nextOrderNotificationId_{0};

  // ---- State ----------------------------------------------------------------------------
  std::string storeUrl;                                            // no trailing "/"
  std::unordered_map<std::string, std::string> storefrontHeaders;  // "Authorization" after login
  uint64_t accountId = 0;
  bool loggedIn = false;  // a usable login session exists
  bool useVms = false;
  bool disableCapVms = false;
  std::string platformId;  // sent as the storefront's "region"
  std::string locale;      // sent as the storefront's "language"
  std::string region;
  std::string lastPage;
  bool giftNotificationsEnabled = false;
  bool giftSettingKnown = false;
  PendingDialogMessages pendingDialogMessages;
  std::vector<CatalogItem> catalogCache;  // in storefront order; empty until a good fetch
  std::unordered_map<uint64_t, OrderNotificationResource> orderNotifications;

  std::unique_ptr<LcdsClient> lcds_;
};

}  // namespace qor
