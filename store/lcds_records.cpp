#include "store/lcds_records.h"

#include <array>

#include "binding/record.h"

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

void RegisterLcdsRecords(qor::TypeRegistry& registry) {
  using qor::DeclareRecord;
  using Fulfillment = StoreLcdsStoreFulfillmentNotification;
  using Balance = StoreLcdsStoreAccountBalanceNotification;
  using Dialog = StoreLcdsSimpleDialogMessage;
  using DialogResponse = StoreLcdsSimpleDialogMessageResponse;
  using Skin = StoreLcdsChampionSkinDTO;
  using Champion = StoreLcdsChampionDTO;

  DeclareRecord<Fulfillment>(registry, "StoreLcdsStoreFulfillmentNotification")
      .Field("inventoryType", &Fulfillment::inventoryType)
      .Field("vp", &Fulfillment::vp)
      .Field("ip", &Fulfillment::ip)
      .Field("data", &Fulfillment::data);
  DeclareRecord<Balance>(registry, "StoreLcdsStoreAccountBalanceNotification")
      .Field("ip", &Balance::ip)
      .Field("vp", &Balance::vp);
  DeclareRecord<Dialog>(registry, "StoreLcdsSimpleDialogMessage")
      .Field("accountId", &Dialog::accountId)
      .Field("msgId", &Dialog::msgId)
      .Field("type", &Dialog::type)
      .Field("params", &Dialog::params);
  DeclareRecord<DialogResponse>(registry, "StoreLcdsSimpleDialogMessageResponse")
      .Field("accountId", &DialogResponse::accountId)
      .Field("msgId", &DialogResponse::msgId)
      .Field("command", &DialogResponse::command);
  DeclareRecord<Skin>(registry, "StoreLcdsChampionSkinDTO")
      .Field("endDate", &Skin::endDate)
      .Field("purchaseDate", &Skin::purchaseDate)
      .Field("winCountRemaining", &Skin::winCountRemaining)
      .Field("sources", &Skin::sources)
      .Field("championId", &Skin::championId)
      .Field("freeToPlayReward", &Skin::freeToPlayReward)
      .Field("lastSelected", &Skin::lastSelected)
      .Field("owned", &Skin::owned)
      .Field("skinId", &Skin::skinId)
      .Field("stillObtainable", &Skin::stillObtainable);
  DeclareRecord<Champion>(registry, "StoreLcdsChampionDTO")
      .Field("endDate", &Champion::endDate)
      .Field("purchaseDate", &Champion::purchaseDate)
      .Field("winCountRemaining", &Champion::winCountRemaining)
      .Field("sources", &Champion::sources)
      .Field("active", &Champion::active)
      .Field("botEnabled", &Champion::botEnabled)
      .Field("championId", &Champion::championId)
      .Field("championSkins", &Champion::championSkins)
      .Field("freeToPlay", &Champion::freeToPlay)
      .Field("freeToPlayReward", &Champion::freeToPlayReward)
      .Field("owned", &Champion::owned)
      .Field("rankedPlayEnabled", &Champion::rankedPlayEnabled);
}

}  // namespace Vaxo::Client::Store::Api
