// The store's API records: every record the store exchanges as structured data with the
// client's user interface, other plug-ins, the messaging-service relay and the storefront
// web service.
//
// They are a wire format. Field names are the JSON keys, case included ("Player" in PageDTO);
// the types and optional marks are what peers send and expect. Each record is registered with
// the module's type registry under the module's type-name prefix followed by its own name
// (`QorStoreWallet`, ...), in the order of the declarations below; a record always follows the
// records and enums its fields use.
//
// Conversion flags shared by every record: no field is required (an absent key leaves the
// default) and no field is left out when written (an empty optional is written as null).
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "binding/property.h"

namespace qor {
class TypeRegistry;
}  // namespace qor

namespace Vaxo::Client::Store::Api {

// The player's two store currencies.
struct Wallet {
  std::int64_t ip = 0;
  std::int64_t vp = 0;

  friend bool operator==(const Wallet&, const Wallet&) = default;
};

// One currency balance as the storefront and the messaging service report it.
struct ServiceBalance {
  std::string currency;
  std::int64_t amount = 0;

  friend bool operator==(const ServiceBalance&, const ServiceBalance&) = default;
};

// A wallet as a list of balances.
struct ServiceWallet {
  std::uint64_t accountId = 0;
  std::vector<ServiceBalance> balances;

  friend bool operator==(const ServiceWallet&, const ServiceWallet&) = default;
};

// One order notification kept by the store.
struct OrderNotificationResource {
  std::uint64_t id = 0;
  std::string eventTypeId;
  std::string eventType;
  std::string status;

  friend bool operator==(const OrderNotificationResource&,
                         const OrderNotificationResource&) = default;
};

// One push relayed from the messaging service. `payload` is itself JSON text, parsed by the
// handler that receives the push.
struct VaxoMessagingServiceMessage {
  std::string resource;
  std::string service;
  std::string version;
  std::int64_t timestamp = 0;
  std::string payload;

  friend bool operator==(const VaxoMessagingServiceMessage&,
                         const VaxoMessagingServiceMessage&) = default;
};

struct ItemCost {
  std::string currency;
  std::int64_t cost = 0;
  std::optional<float> discount;

  friend bool operator==(const ItemCost&, const ItemCost&) = default;
};

struct BundledItemCost {
  std::string currency;
  std::int64_t cost = 0;
  std::optional<float> discount;
  std::string costType;

  friend bool operator==(const BundledItemCost&, const BundledItemCost&) = default;
};

// Identifies a catalog item.
struct ItemKey {
  std::string inventoryType;
  std::int32_t itemId = 0;

  friend bool operator==(const ItemKey&, const ItemKey&) = default;
};

struct BundledItem {
  std::string inventoryType;
  std::int32_t itemId = 0;
  std::uint32_t quantity = 0;
  std::vector<BundledItemCost> discountPrices;

  friend bool operator==(const BundledItem&, const BundledItem&) = default;
};

struct BundleItemDTO {
  std::string inventoryType;
  std::int32_t itemId = 0;
  std::string iconUrl;
  std::uint32_t quantity = 0;
  std::string name;
  std::string description;
  bool owned = false;
  std::int64_t vp = 0;
  std::int64_t discountedVp = 0;
  std::int64_t ip = 0;

  friend bool operator==(const BundleItemDTO&, const BundleItemDTO&) = default;
};

struct Sale {
  std::string startDate;
  std::string endDate;
  std::vector<ItemCost> prices;

  friend bool operator==(const Sale&, const Sale&) = default;
};

struct ItemLocalization {
  std::string language;
  std::string name;
  std::string description;

  friend bool operator==(const ItemLocalization&, const ItemLocalization&) = default;
};

struct Bundled {
  bool flexible = false;
  std::vector<BundledItem> items;
  std::vector<BundledItemCost> minimumPrices;

  friend bool operator==(const Bundled&, const Bundled&) = default;
};

// One item of the store's catalog.
struct CatalogItem {
  std::int32_t itemId = 0;
  std::string inventoryType;
  std::optional<std::string> iconUrl;
  std::optional<std::map<std::string, ItemLocalization>> localizations;
  std::optional<bool> active;
  std::optional<Bundled> bundled;
  std::optional<std::string> inactiveDate;
  std::optional<std::int32_t> maxQuantity;
  std::optional<std::vector<ItemCost>> prices;
  std::optional<std::string> releaseDate;
  std::optional<Sale> sale;
  std::optional<std::string> subInventoryType;
  std::optional<std::vector<std::string>> tags;
  std::optional<std::vector<ItemKey>> itemRequirements;
  std::optional<std::string> itemInstanceId;

  friend bool operator==(const CatalogItem&, const CatalogItem&) = default;
};

struct Player {
  std::uint64_t accountId = 0;
  std::int64_t vp = 0;
  std::int64_t ip = 0;
  std::uint32_t summonerLevel = 0;

  friend bool operator==(const Player&, const Player&) = default;
};

struct PageGroupingDTO {
  std::vector<ItemKey> items;
  bool hidden = false;
  bool grouped = false;

  friend bool operator==(const PageGroupingDTO&, const PageGroupingDTO&) = default;
};

// One storefront page. The player travels under the key "Player".
struct PageDTO {
  Api::Player Player;
  std::vector<CatalogItem> catalog;
  std::vector<std::string> groupOrder;
  std::map<std::string, PageGroupingDTO> itemGroups;

  friend bool operator==(const PageDTO&, const PageDTO&) = default;
};

// A player notification as the player-notifications plug-in takes it.
struct Notification {
  std::string backgroundUrl;
  std::string created;
  bool critical = false;
  bool dismissible = false;
  std::map<std::string, std::string> data;
  std::string detailKey;
  std::string expires;
  std::string iconUrl;
  std::uint64_t id = 0;
  std::string source;
  std::string state;
  std::string titleKey;
  std::string type;

  friend bool operator==(const Notification&, const Notification&) = default;
};

struct Summoner {
  std::uint64_t acctId = 0;
  std::uint64_t sumId = 0;

  friend bool operator==(const Summoner&, const Summoner&) = default;
};

struct SummonerLevelAndPoints {
  std::uint32_t summonerLevel = 0;

  friend bool operator==(const SummonerLevelAndPoints&, const SummonerLevelAndPoints&) = default;
};

struct AllSummonerData {
  Summoner summoner;
  SummonerLevelAndPoints summonerLevelAndPoints;

  friend bool operator==(const AllSummonerData&, const AllSummonerData&) = default;
};

// A dialog message as the platform configuration's login data carries it.
struct SimpleDialogMessage {
  std::uint64_t accountId = 0;
  std::string msgId;
  std::string type;
  std::vector<std::string> params;

  friend bool operator==(const SimpleDialogMessage&, const SimpleDialogMessage&) = default;
};

struct LoginDataPacket {
  AllSummonerData allSummonerData;
  std::vector<SimpleDialogMessage> simpleMessages;

  friend bool operator==(const LoginDataPacket&, const LoginDataPacket&) = default;
};

// The login plug-in's session states. The codes are not in declaration order: ERROR is 3.
// States travel by name in written JSON and are read by name, by number or by numeric text.
enum class LoginSessionStates : std::int32_t {
  IN_PROGRESS = 0,
  ERROR = 3,
  SUCCEEDED = 1,
  LOGGING_OUT = 2,
};

// The login plug-in's session resource. `gasToken` is kept as it came, whatever its shape.
struct LoginSession {
  LoginSessionStates state = LoginSessionStates::IN_PROGRESS;
  std::uint64_t summonerId = 0;
  std::uint64_t accountId = 0;
  std::string idToken;
  qor::BindingProperty gasToken;

  friend bool operator==(const LoginSession&, const LoginSession&) = default;
};

// Declares every record and enum above to `registry`, in declaration order, each under
// `prefix` followed by its own name (the module passes "QorStore"). A name that is already
// taken keeps its first declaration; the remaining records are declared as usual.
void RegisterStoreRecords(qor::TypeRegistry& registry, std::string_view prefix);

}  // namespace Vaxo::Client::Store::Api
