// What the storefront stub and the simulated store proxy share: the catalog, the player's two
// balances and the items the player owns.
//
// The catalog is read once and never changes. The balances and the owned items change only
// through Purchase, which checks a purchase and applies it in one step, so two purchases
// racing for the last currency cannot both succeed.
//
// Thread rule: StorefrontCatalog is immutable after Parse/Load and may be read from every
// thread. StorefrontState guards its balances and owned items with one lock; every member may
// be called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/maybe.h"

namespace qor::host {

// Largest catalog file read.
inline constexpr size_t kMaxCatalogBytes = 64u << 20;
// The inventory type of the items the store proxy sells.
inline constexpr std::string_view kSkinInventoryType = "CHAMPION_SKIN";

struct ItemPrice {
  std::string currency;
  int64_t cost = 0;
};

// The parts of one catalog item that the stub looks at; the item's full JSON stays in the
// catalog.
struct CatalogEntry {
  int32_t itemId = 0;
  std::string inventoryType;
  bool active = true;                 // "active" false: no longer sold
  std::vector<ItemPrice> prices;      // "prices"
  std::vector<ItemPrice> salePrices;  // "sale"."prices", valid from saleStart to saleEnd
  std::string saleStart;              // ISO 8601 UTC texts as the catalog writes them
  std::string saleEnd;
  std::string releaseDate;

  // The sale runs at `now` (an ISO 8601 UTC text of the catalog's form): saleStart <= now <
  // saleEnd, compared as texts (the form sorts by time).
  bool OnSale(std::string_view now) const;
};

class StorefrontCatalog {
 public:
  StorefrontCatalog();
  ~StorefrontCatalog();
  StorefrontCatalog(StorefrontCatalog&&) noexcept;
  StorefrontCatalog& operator=(StorefrontCatalog&&) noexcept;

  // Reads a JSON array of catalog items. Every item needs an integer "itemId" that fits 32
  // bits and a string "inventoryType"; "prices" and "sale"."prices", when present and not
  // null, must be arrays of {"currency": string, "cost": integer >= 0}; "active",
  // "releaseDate", "sale"."startDate" and "sale"."endDate" are read when they have the right
  // type. Fails (status 400) with a message naming the item, e.g.
  // "Catalog item 3: 'itemId' must be a 32-bit integer".
  static MaybeType<Failure, StorefrontCatalog> Parse(std::string_view json);
  // Reads the file (at most kMaxCatalogBytes) and parses it; the message of a failure begins
  // with the path.
  static MaybeType<Failure, StorefrontCatalog> Load(const std::string& path);

  // The whole catalog as compact JSON, in file order.
  const std::string& Json() const;
  const std::vector<CatalogEntry>& Entries() const;
  // The first item of that type and id, or null.
  const CatalogEntry* Find(std::string_view inventoryType, int32_t itemId) const;
  // Item `index` of Entries() as compact JSON. With a `language` that the item's
  // "localizations" object holds, only that localization is kept; otherwise all are.
  std::string ItemJson(size_t index, std::string_view language) const;

 private:
  struct Document;
  std::unique_ptr<Document> document_;
  std::string json_;
  std::vector<CatalogEntry> entries_;
};

struct Balances {
  int64_t ip = 0;
  int64_t vp = 0;
};

// The player the storefront serves.
struct StorefrontAccount {
  std::string token;  // the session's idToken: requests need "Authorization: Bearer TOKEN"
  uint64_t accountId = 0;
  Balances balances;
  std::vector<std::pair<std::string, int32_t>> owned;  // inventory type, item id
};

// One "purchaseItem" request of the store proxy, as read from its payload.
struct PurchaseRequest {
  uint64_t accountId = 0;
  int32_t itemId = 0;
  std::string itemType;
  int64_t quantity = 0;
  std::string currency;
  int64_t cost = 0;
  bool complete = false;  // every member was present with the right type
};

// The refusal codes of the simulated store proxy (sent as "errorCode").
enum class PurchaseError : int {
  kNone = 0,
  kInvalidRequest = 400,
  kNotEnoughCurrency = 402,
  kNotForSale = 404,
  kAlreadyOwned = 409,
  kPriceChanged = 412,
};

struct PurchaseOutcome {
  PurchaseError error = PurchaseError::kNone;
  std::string message;       // for the player; empty on success
  Balances balances;         // after the purchase (unchanged when refused)
  uint64_t orderNumber = 0;  // 1, 2, ... for the accepted purchases of this state

  bool Succeeded() const { return error == PurchaseError::kNone; }
};

class StorefrontState {
 public:
  StorefrontState(StorefrontCatalog catalog, StorefrontAccount account);

  const StorefrontCatalog& Catalog() const { return catalog_; }
  const std::string& Token() const { return token_; }
  uint64_t AccountId() const { return accountId_; }
  Balances Wallet() const;
  bool Owns(std::string_view inventoryType, int32_t itemId) const;
  // The owned items as JSON: [{"inventoryType": "...", "itemId": N}, ...].
  std::string OwnedJson() const;

  // Checks the purchase against the catalog, the owned items and the balances, in this order,
  // and on success deducts the cost and records the item as owned. Refusals, first that holds:
  //   kInvalidRequest  the request lacks a member, or its quantity is not 1
  //   kNotForSale      no item of the catalog has that id as a champion skin, or it is inactive
  //   kAlreadyOwned    the player owns the skin
  //   kPriceChanged    no price of the item (sale prices only while the sale runs at `now`)
  //                    has that currency and cost
  //   kInvalidRequest  the currency is neither "IP" nor "VP"
  //   kNotEnoughCurrency  the balance of that currency is below the cost
  PurchaseOutcome Purchase(const PurchaseRequest& request, std::string_view now);

 private:
  const StorefrontCatalog catalog_;
  const std::string token_;
  const uint64_t accountId_;

  mutable std::mutex mutex_;
  Balances balances_;                                // guarded by mutex_
  std::set<std::pair<std::string, int32_t>> owned_;  // guarded by mutex_
  uint64_t orders_ = 0;                              // guarded by mutex_
};

// The current time as the catalog writes times: "2024-05-01T12:00:00.000Z".
std::string NowIsoText();

}  // namespace qor::host
