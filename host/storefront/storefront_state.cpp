#include "host/storefront/storefront_state.h"

#include <rapidjson/document.h>
#include <rapidjson/error/en.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <ctime>
#include <limits>

namespace qor::host {
namespace {

using Json = rapidjson::Value;

Failure Invalid(size_t index, std::string_view what) {
  return Failure(400, "Catalog item " + std::to_string(index) + ": " + std::string(what));
}

std::string_view Text(const Json& value) {
  return std::string_view(value.GetString(), value.GetStringLength());
}

// The string member `key`, or the empty text when it is absent or not a string.
std::string TextMember(const Json& object, const char* key) {
  auto it = object.FindMember(key);
  return it != object.MemberEnd() && it->value.IsString() ? std::string(Text(it->value))
                                                          : std::string();
}

// Reads `object`[`key`] (absent or null: no prices) as an array of prices.
MaybeType<Failure, std::vector<ItemPrice>> ReadPrices(const Json& object, const char* key,
                                                      size_t index, std::string_view where) {
  std::vector<ItemPrice> prices;
  auto it = object.FindMember(key);
  if (it == object.MemberEnd() || it->value.IsNull()) return prices;
  if (!it->value.IsArray()) {
    return Invalid(index, "'" + std::string(where) + "' must be an array of prices");
  }
  for (const Json& entry : it->value.GetArray()) {
    if (!entry.IsObject()) {
      return Invalid(index, "every entry of '" + std::string(where) + "' must be an object");
    }
    auto currency = entry.FindMember("currency");
    auto cost = entry.FindMember("cost");
    if (currency == entry.MemberEnd() || !currency->value.IsString() || cost == entry.MemberEnd() ||
        !cost->value.IsInt64() || cost->value.GetInt64() < 0) {
      return Invalid(index, "every price in '" + std::string(where) +
                                "' needs a string 'currency' and an integer 'cost' >= 0");
    }
    prices.push_back(ItemPrice{std::string(Text(currency->value)), cost->value.GetInt64()});
  }
  return prices;
}

MaybeType<Failure, CatalogEntry> ReadEntry(const Json& item, size_t index) {
  if (!item.IsObject()) return Invalid(index, "must be an object");
  CatalogEntry entry;
  auto id = item.FindMember("itemId");
  if (id == item.MemberEnd() || !id->value.IsInt()) {
    return Invalid(index, "'itemId' must be a 32-bit integer");
  }
  entry.itemId = id->value.GetInt();
  auto type = item.FindMember("inventoryType");
  if (type == item.MemberEnd() || !type->value.IsString()) {
    return Invalid(index, "'inventoryType' must be a string");
  }
  entry.inventoryType = std::string(Text(type->value));
  if (auto active = item.FindMember("active");
      active != item.MemberEnd() && active->value.IsBool()) {
    entry.active = active->value.GetBool();
  }
  entry.releaseDate = TextMember(item, "releaseDate");
  MaybeType<Failure, std::vector<ItemPrice>> prices = ReadPrices(item, "prices", index, "prices");
  if (!prices) return prices.Error();
  entry.prices = std::move(*prices);
  if (auto sale = item.FindMember("sale"); sale != item.MemberEnd() && !sale->value.IsNull()) {
    if (!sale->value.IsObject()) return Invalid(index, "'sale' must be an object or null");
    MaybeType<Failure, std::vector<ItemPrice>> salePrices =
        ReadPrices(sale->value, "prices", index, "sale.prices");
    if (!salePrices) return salePrices.Error();
    entry.salePrices = std::move(*salePrices);
    entry.saleStart = TextMember(sale->value, "startDate");
    entry.saleEnd = TextMember(sale->value, "endDate");
  }
  return entry;
}

bool HasPrice(const std::vector<ItemPrice>& prices, std::string_view currency, int64_t cost) {
  for (const ItemPrice& price : prices) {
    if (price.currency == currency && price.cost == cost) return true;
  }
  return false;
}

PurchaseOutcome Refused(PurchaseError error, std::string message, Balances balances) {
  PurchaseOutcome outcome;
  outcome.error = error;
  outcome.message = std::move(message);
  outcome.balances = balances;
  return outcome;
}

}  // namespace

bool CatalogEntry::OnSale(std::string_view now) const {
  return !salePrices.empty() && !saleStart.empty() && !saleEnd.empty() && saleStart <= now &&
         now < saleEnd;
}

// ---- StorefrontCatalog ---------------------------------------------------------------------

struct StorefrontCatalog::Document {
  rapidjson::Document json;
};

StorefrontCatalog::StorefrontCatalog() : document_(std::make_unique<Document>()) {
  document_->json.SetArray();
  json_ = "[]";
}
StorefrontCatalog::~StorefrontCatalog() = default;
StorefrontCatalog::StorefrontCatalog(StorefrontCatalog&&) noexcept = default;
StorefrontCatalog& StorefrontCatalog::operator=(StorefrontCatalog&&) noexcept = default;

MaybeType<Failure, StorefrontCatalog> StorefrontCatalog::Parse(std::string_view json) {
  StorefrontCatalog catalog;
  rapidjson::Document& document = catalog.document_->json;
  // Iterative: a deeply nested file cannot exhaust the stack.
  document.Parse<rapidjson::kParseIterativeFlag | rapidjson::kParseValidateEncodingFlag>(
      json.data(), json.size());
  if (document.HasParseError()) {
    return Failure(400, "The catalog is not valid JSON: " +
                            std::string(rapidjson::GetParseError_En(document.GetParseError())) +
                            " at offset " + std::to_string(document.GetErrorOffset()));
  }
  if (!document.IsArray()) return Failure(400, "The catalog must be a JSON array of items");
  catalog.entries_.reserve(document.Size());
  for (rapidjson::SizeType i = 0; i < document.Size(); ++i) {
    MaybeType<Failure, CatalogEntry> entry = ReadEntry(document[i], i);
    if (!entry) return entry.Error();
    catalog.entries_.push_back(std::move(*entry));
  }
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  document.Accept(writer);
  catalog.json_.assign(buffer.GetString(), buffer.GetSize());
  return catalog;
}

MaybeType<Failure, StorefrontCatalog> StorefrontCatalog::Load(const std::string& path) {
  std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
  if (!file) return Failure(400, path + ": cannot open the catalog file");
  std::string text;
  char buffer[65536];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof(buffer), file.get())) > 0) {
    if (text.size() + got > kMaxCatalogBytes) {
      return Failure(400, path + ": the catalog file is larger than 64 MiB");
    }
    text.append(buffer, got);
  }
  if (std::ferror(file.get())) return Failure(400, path + ": cannot read the catalog file");
  MaybeType<Failure, StorefrontCatalog> catalog = Parse(text);
  if (!catalog) return Failure(400, path + ": " + catalog.ErrorMessage());
  return catalog;
}

const std::string& StorefrontCatalog::Json() const {
  return json_;
}

const std::vector<CatalogEntry>& StorefrontCatalog::Entries() const {
  return entries_;
}

const CatalogEntry* StorefrontCatalog::Find(std::string_view inventoryType, int32_t itemId) const {
  for (const CatalogEntry& entry : entries_) {
    if (entry.itemId == itemId && entry.inventoryType == inventoryType) return &entry;
  }
  return nullptr;
}

std::string StorefrontCatalog::ItemJson(size_t index, std::string_view language) const {
  const rapidjson::Document& document = document_->json;
  if (index >= document.Size()) return "null";
  const rapidjson::Value& item = document[static_cast<rapidjson::SizeType>(index)];
  rapidjson::StringBuffer buffer;
  rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
  writer.StartObject();
  for (auto it = item.MemberBegin(); it != item.MemberEnd(); ++it) {
    writer.Key(it->name.GetString(), it->name.GetStringLength());
    const rapidjson::Value& value = it->value;
    // Member iterators only of an object: MemberEnd() of anything else is undefined.
    const bool narrowed =
        value.IsObject() && !language.empty() && Text(it->name) == "localizations";
    if (narrowed) {
      auto one = value.FindMember(rapidjson::Value(rapidjson::StringRef(
          language.data(), static_cast<rapidjson::SizeType>(language.size()))));
      if (one != value.MemberEnd()) {
        writer.StartObject();
        writer.Key(one->name.GetString(), one->name.GetStringLength());
        one->value.Accept(writer);
        writer.EndObject();
        continue;
      }
    }
    value.Accept(writer);
  }
  writer.EndObject();
  return std::string(buffer.GetString(), buffer.GetSize());
}

// ---- StorefrontState -----------------------------------------------------------------------

StorefrontState::StorefrontState(StorefrontCatalog catalog, StorefrontAccount account)
    : catalog_(std::move(catalog)),
      token_(std::move(account.token)),
      accountId_(account.accountId),
      balances_(account.balances),
      owned_(account.owned.begin(), account.owned.end()) {}

Balances StorefrontState::Wallet() const {
  std::lock_guard lock(mutex_);
  return balances_;
}

bool StorefrontState::Owns(std::string_view inventoryType, int32_t itemId) const {
  std::lock_guard lock(mutex_);
  return owned_.count({std::string(inventoryType), itemId}) != 0;
}

PurchaseOutcome StorefrontState::Purchase(const PurchaseRequest& request, std::string_view now) {
  std::lock_guard lock(mutex_);
  if (!request.complete) {
    return Refused(PurchaseError::kInvalidRequest, "The purchase request is incomplete.",
                   balances_);
  }
  if (request.quantity != 1) {
    return Refused(PurchaseError::kInvalidRequest, "Skins are bought one at a time.", balances_);
  }
  const CatalogEntry* item = request.itemType == kSkinInventoryType
                                 ? catalog_.Find(kSkinInventoryType, request.itemId)
                                 : nullptr;
  if (item == nullptr) {
    return Refused(PurchaseError::kNotForSale, "This skin is not in the store.", balances_);
  }
  if (!item->active) {
    return Refused(PurchaseError::kNotForSale, "This skin is no longer for sale.", balances_);
  }
  if (owned_.count({item->inventoryType, item->itemId}) != 0) {
    return Refused(PurchaseError::kAlreadyOwned, "You already own this skin.", balances_);
  }
  const bool priced =
      HasPrice(item->prices, request.currency, request.cost) ||
      (item->OnSale(now) && HasPrice(item->salePrices, request.currency, request.cost));
  if (!priced) {
    return Refused(PurchaseError::kPriceChanged,
                   "The price of this skin has changed. Refresh the store and try again.",
                   balances_);
  }
  int64_t* balance = request.currency == "IP"   ? &balances_.ip
                     : request.currency == "VP" ? &balances_.vp
                                                : nullptr;
  if (balance == nullptr) {
    return Refused(PurchaseError::kInvalidRequest,
                   "This skin cannot be bought with " + request.currency + ".", balances_);
  }
  if (*balance < request.cost) {
    return Refused(PurchaseError::kNotEnoughCurrency,
                   "You need " + std::to_string(request.cost - *balance) + " more " +
                       request.currency + " to buy this skin.",
                   balances_);
  }
  *balance -= request.cost;
  owned_.insert({item->inventoryType, item->itemId});
  PurchaseOutcome outcome;
  outcome.balances = balances_;
  outcome.orderNumber = ++orders_;
  return outcome;
}

std::string NowIsoText() {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm utc{};
  gmtime_r(&now.tv_sec, &utc);
  char text[96];
  std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03ldZ", utc.tm_year + 1900,
                utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                now.tv_nsec / 1000000);
  return text;
}

}  // namespace qor::host
