#include "store/lcds_records.h"

#include <array>

namespace Vaxo::Client::Store::Api {
namespace {

template <typename T>
constexpr LcdsClass Entry(std::string_view registeredName, std::string_view className) {
  return LcdsClass{registeredName, className, qor::StaticType::Id<T>()};
}

constexpr std::array kClasses = {
    Entry<StoreLcdsStoreFulfillmentNotification>(
        "StoreLcdsStoreFulfillmentNotification",
        "com.vaxoworks.platform.messaging.StoreFulfillmentNotification"),
    Entry<StoreLcdsStoreAccountBalanceNotification>(
        "StoreLcdsStoreAccountBalanceNotification",
        "com.vaxoworks.platform.messaging.StoreAccountBalanceNotification"),
    Entry<StoreLcdsSimpleDialogMessage>(
        "StoreLcdsSimpleDialogMessage",
        "com.vaxoworks.platform.messaging.persistence.SimpleDialogMessage"),
    Entry<StoreLcdsSimpleDialogMessageResponse>(
        "StoreLcdsSimpleDialogMessageResponse",
        "com.vaxoworks.platform.messaging.persistence.SimpleDialogMessageResponse"),
    Entry<StoreLcdsChampionSkinDTO>("StoreLcdsChampionSkinDTO",
                                    "com.vaxoworks.platform.catalog.champion.ChampionSkinDTO"),
    Entry<StoreLcdsChampionDTO>("StoreLcdsChampionDTO",
                                "com.vaxoworks.platform.catalog.champion.ChampionDTO"),
};

}  // namespace

std::span<const LcdsClass> LcdsClasses() noexcept {
  return kClasses;
}

std::optional<std::string_view> LcdsClassName(std::string_view registeredName) noexcept {
  for (const LcdsClass& entry : kClasses) {
    if (entry.registeredName == registeredName) return entry.className;
  }
  return std::nullopt;
}

std::optional<std::string_view> LcdsClassName(qor::TypeId typeId) noexcept {
  for (const LcdsClass& entry : kClasses) {
    if (entry.typeId == typeId) return entry.className;
  }
  return std::nullopt;
}

}  // namespace Vaxo::Client::Store::Api
