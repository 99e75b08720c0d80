// The player's wallet and the store catalog.
//
// The wallet is asked of the storefront on every call. The catalog is fetched once, at the
// first call that finds the cache empty, kept for the life of the plug-in, and every query
// filters that copy. Values in storefront URLs are percent-encoded (see store_url.cpp).
#include <algorithm>

#include "binding/json.h"
#include "binding/record.h"
#include "foundation/format.h"
#include "runtime/local_client.h"
#include "store/detail/storefront.h"
#include "store/store_module.h"

namespace qor {

MaybeType<Failure, StoreModule::Wallet> StoreModule::GetWallet() {
  const std::string url =
      Format("%1/storefront/v2/wallet?language=%2", storeUrl, detail::UrlComponent(locale));
  ExternalResponse<Wallet> response = ExternalGet<Wallet>(
      *this, url, kStorefrontTimeLimit, detail::StorefrontHeaderCopy(storefrontHeaders));
  if (response.error.empty() && response.connectionCode == 0 && response.status >= 200 &&
      response.status <= 299 && !response.parseFailed && !response.conversionFailed) {
    return response.value;
  }
  return Failure::InternalServerError("Error fetching player wallet: " + response.error);
}

MaybeType<Failure, std::vector<StoreModule::CatalogItem>> StoreModule::GetCatalog(
    const std::optional<std::vector<std::string>>& inventoryType,
    const std::optional<std::vector<int32_t>>& itemId) {
  if (catalogCache.empty()) {
    const std::string url = Format("%s/storefront/v1/catalog?region=%s&language=%s", storeUrl,
                                   detail::UrlComponent(platformId), detail::UrlComponent(locale));
    // Only the body decides: a request that never reached the server has an empty one.
    ExternalResponse<std::string> response = ExternalGet<std::string>(
        *this, url, kStorefrontTimeLimit, detail::StorefrontHeaderCopy(storefrontHeaders));
    MaybeType<Failure, BindingProperty> parsed = ParseJson(std::string_view(response.value));
    MaybeType<Failure, std::vector<CatalogItem>> items =
        parsed.Failed() ? MaybeType<Failure, std::vector<CatalogItem>>(parsed.Error())
                        : FromBinding<std::vector<CatalogItem>>(*parsed, Types(), "<value>");
    if (items.Failed()) {
      return Failure::InternalServerError(
          Format("Couldn't deserialize catalog response: %s", response.value));
    }
    catalogCache = std::move(*items);
  }

  if (!inventoryType && !itemId) return catalogCache;
  std::vector<CatalogItem> taken;
  if (!inventoryType) return taken;
  for (const std::string& type : *inventoryType) {
    for (const CatalogItem& item : catalogCache) {
      if (item.inventoryType != type) continue;
      if (itemId && std::find(itemId->begin(), itemId->end(), item.itemId) == itemId->end()) {
        continue;
      }
      taken.push_back(item);
    }
  }
  return taken;
}

}  // namespace qor
