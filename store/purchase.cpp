// Champion skins: lookup in the catalog and purchase through the store proxy service.
//
// The purchase does not go to the storefront: it calls "purchaseItem" of the store proxy and
// waits for its answer. A bought skin is reported to telemetry and written to the log; the
// wallet follows later through the balance pushes.
#include <map>
#include <string>

#include "foundation/log.h"
#include "runtime/service_proxy.h"
#include "runtime/telemetry.h"
#include "store/store_module.h"

namespace qor {

namespace {

constexpr std::string_view kSkinInventoryType = "CHAMPION_SKIN";
constexpr std::string_view kPurchaseMethod = "purchaseItem";
constexpr std::string_view kPurchaseTelemetryEvent = "ukp-be-qor-store.purchase-skin";

// The one parameter of "purchaseItem".
BindingProperty PurchaseArgument(uint64_t accountId, int32_t skinId,
                                 const StoreModule::ItemCost& cost) {
  BindingProperty argument;
  argument.SetStructure(6);
  argument.MutableMember("accountId").SetUnsigned(accountId);
  argument.MutableMember("itemId").SetSigned(skinId);
  argument.MutableMember("itemType").SetString(kSkinInventoryType);
  argument.MutableMember("quantity").SetSigned(1);
  argument.MutableMember("currencyType").SetString(cost.currency);
  argument.MutableMember("cost").SetSigned(cost.cost);
  return argument;
}

}  // namespace

MaybeType<Failure, StoreModule::CatalogItem> StoreModule::GetSkin(int32_t skinId) {
  MaybeType<Failure, std::vector<CatalogItem>> items = GetCatalog(
      std::vector<std::string>{std::string(kSkinInventoryType)}, std::vector<int32_t>{skinId});
  if (items.Failed()) return items.Error();
  if (items->size() != 1) {
    return Failure(500, "Did not find a single match for the skin");
  }
  return std::move(items->front());
}

MaybeType<Failure, BindingProperty> StoreModule::PurchaseSkin(int32_t skinId,
                                                              const ItemCost& cost) {
  const BindingProperty argument = PurchaseArgument(accountId, skinId, cost);
  MaybeType<Failure, BindingProperty> reply = Proxy().StoreProxyCall(kPurchaseMethod, argument);
  if (reply.Failed()) {
    const std::string message(reply.ErrorMessage());
    Log(LogLevel::Error, log_group::kDbg, "Failed to purchase skin %u: %s", skinId, message);
    return Failure::InternalServerError(message);
  }

  if (TelemetrySender* telemetry = Telemetry(); telemetry != nullptr) {
    const std::map<std::string, std::string> data = {
        {"skinId", std::to_string(skinId)},
        {"currencyType", cost.currency},
        {"cost", std::to_string(cost.cost)},
    };
    (void)telemetry->SendEvent(kPurchaseTelemetryEvent, data);
  }
  Log(LogLevel::Always, log_group::kDbg, "Purchased skin %u", skinId);
  return BindingProperty();
}

}  // namespace qor
