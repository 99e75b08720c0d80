// The legacy-service (LCDS) data-transfer objects the store exchanges with the platform's
// legacy remote service, and their class names.
//
// Each DTO is registered under its own name (no type-name prefix), right after the store's API
// records, in the order below; the skin DTO comes before the champion DTO that holds a list of
// them. The legacy-service layer needs each DTO's class name by registered name (pushed
// messages, responses) and by native type (sent records): LcdsClasses() lists both.
//
// Conversion flags as for the store records: no field is required, none is optional, none is
// left out when written; an absent key leaves the field at its default.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "binding/property.h"
#include "binding/static_type.h"

namespace qor {
class TypeRegistry;
}  // namespace qor

namespace Vaxo::Client::Store::Api {

// Declared only: the store subscribes to no message of this class.
struct StoreLcdsStoreFulfillmentNotification {
  std::string inventoryType;
  std::int64_t vp = 0;
  std::int64_t ip = 0;
  qor::BindingProperty data;  // whatever the service sent, uninterpreted

  friend bool operator==(const StoreLcdsStoreFulfillmentNotification&,
                         const StoreLcdsStoreFulfillmentNotification&) = default;
};

// A pushed balance.
struct StoreLcdsStoreAccountBalanceNotification {
  std::int64_t ip = 0;
  std::int64_t vp = 0;

  friend bool operator==(const StoreLcdsStoreAccountBalanceNotification&,
                         const StoreLcdsStoreAccountBalanceNotification&) = default;
};

// A pushed dialog message (gift and reward toasts).
struct StoreLcdsSimpleDialogMessage {
  std::uint64_t accountId = 0;
  std::string msgId;
  std::string type;
  std::vector<std::string> params;

  friend bool operator==(const StoreLcdsSimpleDialogMessage&,
                         const StoreLcdsSimpleDialogMessage&) = default;
};

// The acknowledgement of a dialog message (`command` "ack").
struct StoreLcdsSimpleDialogMessageResponse {
  std::uint64_t accountId = 0;
  std::string msgId;
  std::string command;

  friend bool operator==(const StoreLcdsSimpleDialogMessageResponse&,
                         const StoreLcdsSimpleDialogMessageResponse&) = default;
};

struct StoreLcdsChampionSkinDTO {
  std::uint64_t endDate = 0;
  std::uint64_t purchaseDate = 0;
  std::int32_t winCountRemaining = 0;  // signed here, unsigned in the champion DTO
  std::vector<std::string> sources;
  std::int32_t championId = 0;
  bool freeToPlayReward = false;
  bool lastSelected = false;
  bool owned = false;
  std::int32_t skinId = 0;
  bool stillObtainable = false;

  friend bool operator==(const StoreLcdsChampionSkinDTO&,
                         const StoreLcdsChampionSkinDTO&) = default;
};

struct StoreLcdsChampionDTO {
  std::uint64_t endDate = 0;
  std::uint64_t purchaseDate = 0;
  std::uint32_t winCountRemaining = 0;
  std::vector<std::string> sources;
  bool active = false;
  bool botEnabled = false;
  std::int32_t championId = 0;
  std::vector<StoreLcdsChampionSkinDTO> championSkins;
  bool freeToPlay = false;
  bool freeToPlayReward = false;
  bool owned = false;
  bool rankedPlayEnabled = false;

  friend bool operator==(const StoreLcdsChampionDTO&, const StoreLcdsChampionDTO&) = default;
};

// One DTO as the legacy-service layer knows it.
struct LcdsClass {
  std::string_view registeredName;  // e.g. "StoreLcdsSimpleDialogMessage"
  std::string_view className;       // e.g. "com.vaxoworks.platform.messaging.persistence..."
  qor::TypeId typeId;               // the native record's identity
};

// The six DTOs in registration order. The entries are static and live for the process.
std::span<const LcdsClass> LcdsClasses() noexcept;

// Declares the six DTOs to `registry` in table order, under their own names. A name that is
// already taken keeps its first declaration.
void RegisterLcdsRecords(qor::TypeRegistry& registry);

}  // namespace Vaxo::Client::Store::Api
