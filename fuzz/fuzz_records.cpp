// Store records: the input is parsed as JSON and read into each store record and each
// legacy-service record. Whatever reads must write back, and the written tree, through JSON
// text, must read into an equal record (a record is a wire format: nothing is lost).
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "binding/json.h"
#include "binding/record.h"
#include "binding/registry.h"
#include "fuzz/detail/check.h"
#include "store/lcds_records.h"
#include "store/records.h"

namespace {

using namespace Vaxo::Client::Store::Api;

const qor::TypeRegistry& Registry() {
  static const qor::TypeRegistry* registry = [] {
    auto* made = new qor::TypeRegistry();
    RegisterStoreRecords(*made, "QorStore");
    RegisterLcdsRecords(*made);
    return made;
  }();
  return *registry;
}

template <typename T>
void RoundTrip(const qor::BindingProperty& input) {
  const qor::TypeRegistry& registry = Registry();
  auto read = qor::FromBinding<T>(input, registry, "value");
  if (read.Failed()) {
    QOR_FUZZ_CHECK(!read.ErrorMessage().empty(), "a refusal without a message");
    return;
  }
  auto tree = qor::ToBinding(*read, registry);
  QOR_FUZZ_CHECK(tree.Succeeded(), tree.ErrorMessage());
  const std::string written = qor::WriteJson(*tree, &registry);
  auto parsed = qor::ParseJson(std::string_view(written));
  QOR_FUZZ_CHECK(parsed.Succeeded(), std::string(parsed.ErrorMessage()) + " in " + written);
  auto again = qor::FromBinding<T>(*parsed, registry, "value");
  QOR_FUZZ_CHECK(again.Succeeded(), again.ErrorMessage() + " reading back " + written);
  QOR_FUZZ_CHECK(*again == *read, "a record changed through " + written);
}

template <typename... T>
void RoundTripAll(const qor::BindingProperty& input) {
  (RoundTrip<T>(input), ...);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  auto parsed = qor::ParseJson(std::string_view(reinterpret_cast<const char*>(data), size));
  if (parsed.Failed()) return 0;
  const qor::BindingProperty& input = *parsed;
  RoundTripAll<Wallet, ServiceBalance, ServiceWallet, OrderNotificationResource,
               VaxoMessagingServiceMessage, ItemCost, BundledItemCost, ItemKey, BundledItem,
               BundleItemDTO, Sale, ItemLocalization, Bundled, CatalogItem, Player, PageGroupingDTO,
               PageDTO, Notification, Summoner, SummonerLevelAndPoints, AllSummonerData,
               SimpleDialogMessage, LoginDataPacket, LoginSessionStates, LoginSession>(input);
  RoundTripAll<StoreLcdsStoreFulfillmentNotification, StoreLcdsStoreAccountBalanceNotification,
               StoreLcdsSimpleDialogMessage, StoreLcdsSimpleDialogMessageResponse,
               StoreLcdsChampionSkinDTO, StoreLcdsChampionDTO>(input);
  return 0;
}
