#include "store/records.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <type_traits>
#include <utility>
#include <vector>

#include "binding/json.h"
#include "binding/record.h"
#include "binding/registry.h"
#include "store/lcds_records.h"

namespace Vaxo::Client::Store::Api {
namespace {

using qor::TypeRegistry;

constexpr std::int64_t kInt64Max = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kInt64Min = std::numeric_limits<std::int64_t>::min();
constexpr std::uint64_t kUInt64Max = std::numeric_limits<std::uint64_t>::max();
constexpr std::uint32_t kUInt32Max = std::numeric_limits<std::uint32_t>::max();
constexpr std::int32_t kInt32Max = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kInt32Min = std::numeric_limits<std::int32_t>::min();

template <typename... T>
struct TypeList {};

// Every store record in registration order, then the legacy-service DTOs.
using StoreTypes =
    TypeList<Wallet, ServiceBalance, ServiceWallet, OrderNotificationResource,
             VaxoMessagingServiceMessage, ItemCost, BundledItemCost, ItemKey, BundledItem,
             BundleItemDTO, Sale, ItemLocalization, Bundled, CatalogItem, Player, PageGroupingDTO,
             PageDTO, Notification, Summoner, SummonerLevelAndPoints, AllSummonerData,
             SimpleDialogMessage, LoginDataPacket, LoginSessionStates, LoginSession>;
using LcdsTypes =
    TypeList<StoreLcdsStoreFulfillmentNotification, StoreLcdsStoreAccountBalanceNotification,
             StoreLcdsSimpleDialogMessage, StoreLcdsSimpleDialogMessageResponse,
             StoreLcdsChampionSkinDTO, StoreLcdsChampionDTO>;

qor::BindingProperty Json(std::string_view text) {
  auto parsed = qor::ParseJson(text);
  EXPECT_TRUE(parsed.Succeeded()) << parsed.ErrorMessage();
  return parsed.Succeeded() ? *parsed : qor::BindingProperty();
}

// Reads `json` as a T, as a value named "value".
template <typename T>
qor::MaybeType<qor::Failure, T> ReadAs(const TypeRegistry& registry, std::string_view json) {
  return qor::FromBinding<T>(Json(json), registry, "value");
}

// ReadAs<T> without the value, for tables over several record types.
template <typename T>
qor::MaybeType<qor::Failure, void> ReadOnly(const TypeRegistry& registry, std::string_view json) {
  auto read = ReadAs<T>(registry, json);
  if (read.Failed()) return read.Error();
  return {};
}

template <typename T>
std::string WriteAs(const TypeRegistry& registry, const T& value) {
  auto tree = qor::ToBinding(value, registry);
  EXPECT_TRUE(tree.Succeeded()) << tree.ErrorMessage();
  return tree.Succeeded() ? qor::WriteJson(*tree, &registry) : std::string();
}

class StoreRecordsTest : public ::testing::Test {
 protected:
  StoreRecordsTest() {
    RegisterStoreRecords(registry_, "QorStore");
    RegisterLcdsRecords(registry_);
  }

  // `json` (compact, keys in byte-wise order, every field present) reads as `expected` and
  // writes back byte for byte.
  template <typename T>
  void ExpectRoundTrip(std::string_view json, const T& expected) {
    SCOPED_TRACE(std::string(json));
    auto read = ReadAs<T>(registry_, json);
    ASSERT_TRUE(read.Succeeded()) << read.ErrorMessage();
    EXPECT_TRUE(*read == expected) << "read back: " << WriteAs(registry_, *read);
    EXPECT_EQ(WriteAs(registry_, *read), json);
  }

  TypeRegistry registry_;
};

// Every record, with every field set to a value other than its default (integers at the edges
// of their types), reads its exact keys and writes them back in byte-wise key order.
TEST_F(StoreRecordsTest, StoreRecordsReadTheirKeysAndWriteThemBackSorted) {
  ExpectRoundTrip(R"({"ip":-5,"vp":9223372036854775807})", Wallet{.ip = -5, .vp = kInt64Max});
  ExpectRoundTrip(R"({"amount":-9223372036854775808,"currency":"VP"})",
                  ServiceBalance{.currency = "VP", .amount = kInt64Min});
  ExpectRoundTrip(
      R"({"accountId":18446744073709551615,"balances":[{"amount":10,"currency":"IP"},{"amount":0,"currency":""}]})",
      ServiceWallet{.accountId = kUInt64Max,
                    .balances = {{.currency = "IP", .amount = 10}, {.currency = "", .amount = 0}}});
  ExpectRoundTrip(R"({"eventType":"PURCHASE","eventTypeId":"e-1","id":7,"status":"DONE"})",
                  OrderNotificationResource{
                      .id = 7, .eventTypeId = "e-1", .eventType = "PURCHASE", .status = "DONE"});
  ExpectRoundTrip(
      R"({"payload":"{\"ip\":1}","resource":"/store/v1/wallet","service":"store","timestamp":-1,"version":"1.0"})",
      VaxoMessagingServiceMessage{.resource = "/store/v1/wallet",
                                  .service = "store",
                                  .version = "1.0",
                                  .timestamp = -1,
                                  .payload = R"({"ip":1})"});
  ExpectRoundTrip(R"({"cost":975,"currency":"VP","discount":0.25})",
                  ItemCost{.currency = "VP", .cost = 975, .discount = 0.25f});
  ExpectRoundTrip(R"({"cost":1,"costType":"minimum","currency":"IP","discount":null})",
                  BundledItemCost{.currency = "IP", .cost = 1, .costType = "minimum"});
  ExpectRoundTrip(R"({"inventoryType":"CHAMPION_SKIN","itemId":-2147483648})",
                  ItemKey{.inventoryType = "CHAMPION_SKIN", .itemId = kInt32Min});
  ExpectRoundTrip(
      R"({"discountPrices":[{"cost":5,"costType":"x","currency":"VP","discount":0.5}],"inventoryType":"CHAMPION","itemId":2147483647,"quantity":4294967295})",
      BundledItem{
          .inventoryType = "CHAMPION",
          .itemId = kInt32Max,
          .quantity = kUInt32Max,
          .discountPrices = {{.currency = "VP", .cost = 5, .discount = 0.5f, .costType = "x"}}});
  ExpectRoundTrip(
      R"({"description":"d","discountedVp":3,"iconUrl":"u","inventoryType":"t","ip":-4,"itemId":6,"name":"n","owned":true,"quantity":2,"vp":5})",
      BundleItemDTO{.inventoryType = "t",
                    .itemId = 6,
                    .iconUrl = "u",
                    .quantity = 2,
                    .name = "n",
                    .description = "d",
                    .owned = true,
                    .vp = 5,
                    .discountedVp = 3,
                    .ip = -4});
  ExpectRoundTrip(
      R"({"endDate":"2026-02-01","prices":[{"cost":1,"currency":"VP","discount":null}],"startDate":"2026-01-01"})",
      Sale{.startDate = "2026-01-01",
           .endDate = "2026-02-01",
           .prices = {{.currency = "VP", .cost = 1}}});
  ExpectRoundTrip(R"({"description":"d","language":"en_US","name":"n"})",
                  ItemLocalization{.language = "en_US", .name = "n", .description = "d"});
  ExpectRoundTrip(
      R"({"flexible":true,"items":[{"discountPrices":[],"inventoryType":"t","itemId":1,"quantity":1}],"minimumPrices":[{"cost":2,"costType":"c","currency":"IP","discount":null}]})",
      Bundled{.flexible = true,
              .items = {{.inventoryType = "t", .itemId = 1, .quantity = 1}},
              .minimumPrices = {{.currency = "IP", .cost = 2, .costType = "c"}}});
  ExpectRoundTrip(
      R"({"active":false,"bundled":{"flexible":false,"items":[],"minimumPrices":[]},"iconUrl":"http://i/1.png","inactiveDate":"2027-01-01","inventoryType":"CHAMPION_SKIN","itemId":1001,"itemInstanceId":"abc","itemRequirements":[{"inventoryType":"CHAMPION","itemId":1}],"localizations":{"de_DE":{"description":"b","language":"de_DE","name":"a"},"en_US":{"description":"d","language":"en_US","name":"n"}},"maxQuantity":1,"prices":[{"cost":975,"currency":"VP","discount":null}],"releaseDate":"2020-01-01","sale":{"endDate":"e","prices":[],"startDate":"s"},"subInventoryType":"RECOLOR","tags":["a","b"]})",
      CatalogItem{
          .itemId = 1001,
          .inventoryType = "CHAMPION_SKIN",
          .iconUrl = "http://i/1.png",
          .localizations =
              std::map<std::string, ItemLocalization>{
                  {"de_DE", {.language = "de_DE", .name = "a", .description = "b"}},
                  {"en_US", {.language = "en_US", .name = "n", .description = "d"}}},
          .active = false,
          .bundled = Bundled{},
          .inactiveDate = "2027-01-01",
          .maxQuantity = 1,
          .prices = std::vector<ItemCost>{{.currency = "VP", .cost = 975}},
          .releaseDate = "2020-01-01",
          .sale = Sale{.startDate = "s", .endDate = "e"},
          .subInventoryType = "RECOLOR",
          .tags = std::vector<std::string>{"a", "b"},
          .itemRequirements = std::vector<ItemKey>{{.inventoryType = "CHAMPION", .itemId = 1}},
          .itemInstanceId = "abc"});
  ExpectRoundTrip(R"({"accountId":1,"ip":2,"summonerLevel":4294967295,"vp":3})",
                  Player{.accountId = 1, .vp = 3, .ip = 2, .summonerLevel = kUInt32Max});
  ExpectRoundTrip(R"({"grouped":true,"hidden":false,"items":[{"inventoryType":"t","itemId":3}]})",
                  PageGroupingDTO{.items = {{.inventoryType = "t", .itemId = 3}}, .grouped = true});
  // "Player" keeps its capital P, and so sorts before the lower-case keys.
  ExpectRoundTrip(
      R"({"Player":{"accountId":9,"ip":0,"summonerLevel":30,"vp":10},"catalog":[{"active":null,"bundled":null,"iconUrl":null,"inactiveDate":null,"inventoryType":"t","itemId":5,"itemInstanceId":null,"itemRequirements":null,"localizations":null,"maxQuantity":null,"prices":null,"releaseDate":null,"sale":null,"subInventoryType":null,"tags":null}],"groupOrder":["g1","g0"],"itemGroups":{"g0":{"grouped":false,"hidden":true,"items":[]}}})",
      PageDTO{.Player = {.accountId = 9, .vp = 10, .summonerLevel = 30},
              .catalog = {{.itemId = 5, .inventoryType = "t"}},
              .groupOrder = {"g1", "g0"},
              .itemGroups = {{"g0", {.hidden = true}}}});
  ExpectRoundTrip(
      R"({"backgroundUrl":"b","created":"c","critical":true,"data":{"k":"v"},"detailKey":"dk","dismissible":true,"expires":"x","iconUrl":"i","id":18446744073709551615,"source":"s","state":"unread","titleKey":"tk","type":"t"})",
      Notification{.backgroundUrl = "b",
                   .created = "c",
                   .critical = true,
                   .dismissible = true,
                   .data = {{"k", "v"}},
                   .detailKey = "dk",
                   .expires = "x",
                   .iconUrl = "i",
                   .id = kUInt64Max,
                   .source = "s",
                   .state = "unread",
                   .titleKey = "tk",
                   .type = "t"});
  ExpectRoundTrip(R"({"acctId":1,"sumId":2})", Summoner{.acctId = 1, .sumId = 2});
  ExpectRoundTrip(R"({"summonerLevel":30})", SummonerLevelAndPoints{.summonerLevel = 30});
  ExpectRoundTrip(
      R"({"summoner":{"acctId":1,"sumId":2},"summonerLevelAndPoints":{"summonerLevel":3}})",
      AllSummonerData{.summoner = {.acctId = 1, .sumId = 2},
                      .summonerLevelAndPoints = {.summonerLevel = 3}});
  ExpectRoundTrip(R"({"accountId":5,"msgId":"m","params":["p1",""],"type":"GIFT_RECEIVED"})",
                  SimpleDialogMessage{
                      .accountId = 5, .msgId = "m", .type = "GIFT_RECEIVED", .params = {"p1", ""}});
  ExpectRoundTrip(
      R"({"allSummonerData":{"summoner":{"acctId":0,"sumId":0},"summonerLevelAndPoints":{"summonerLevel":0}},"simpleMessages":[{"accountId":1,"msgId":"a","params":[],"type":"t"}]})",
      LoginDataPacket{.simpleMessages = {{.accountId = 1, .msgId = "a", .type = "t"}}});
  // gasToken is kept as it came, whatever its shape.
  ExpectRoundTrip(
      R"({"accountId":2,"gasToken":{"a":null,"b":[1,"x"]},"idToken":"tok","state":"SUCCEEDED","summonerId":1})",
      LoginSession{.state = LoginSessionStates::SUCCEEDED,
                   .summonerId = 1,
                   .accountId = 2,
                   .idToken = "tok",
                   .gasToken = Json(R"({"a":null,"b":[1,"x"]})")});
  ExpectRoundTrip(
      R"({"accountId":0,"gasToken":"opaque","idToken":"","state":"ERROR","summonerId":0})",
      LoginSession{.state = LoginSessionStates::ERROR, .gasToken = qor::BindingProperty("opaque")});
}

TEST_F(StoreRecordsTest, LcdsRecordsReadTheirKeysAndWriteThemBackSorted) {
  ExpectRoundTrip(R"({"data":{"k":[true]},"inventoryType":"t","ip":1,"vp":2})",
                  StoreLcdsStoreFulfillmentNotification{
                      .inventoryType = "t", .vp = 2, .ip = 1, .data = Json(R"({"k":[true]})")});
  ExpectRoundTrip(R"({"ip":-1,"vp":2})",
                  StoreLcdsStoreAccountBalanceNotification{.ip = -1, .vp = 2});
  ExpectRoundTrip(R"({"accountId":18446744073709551615,"msgId":"m","params":["a"],"type":"t"})",
                  StoreLcdsSimpleDialogMessage{
                      .accountId = kUInt64Max, .msgId = "m", .type = "t", .params = {"a"}});
  ExpectRoundTrip(R"({"accountId":0,"command":"ack","msgId":"abc"})",
                  StoreLcdsSimpleDialogMessageResponse{.msgId = "abc", .command = "ack"});
  const std::string skinJson =
      R"({"championId":1,"endDate":18446744073709551615,"freeToPlayReward":true,"lastSelected":true,"owned":true,"purchaseDate":2,"skinId":1001,"sources":["s"],"stillObtainable":true,"winCountRemaining":-1})";
  const StoreLcdsChampionSkinDTO skin{.endDate = kUInt64Max,
                                      .purchaseDate = 2,
                                      .winCountRemaining = -1,
                                      .sources = {"s"},
                                      .championId = 1,
                                      .freeToPlayReward = true,
                                      .lastSelected = true,
                                      .owned = true,
                                      .skinId = 1001,
                                      .stillObtainable = true};
  ExpectRoundTrip(skinJson, skin);
  ExpectRoundTrip(
      R"({"active":true,"botEnabled":true,"championId":1,"championSkins":[)" + skinJson +
          R"(],"endDate":0,"freeToPlay":true,"freeToPlayReward":true,"owned":true,"purchaseDate":3,"rankedPlayEnabled":true,"sources":[],"winCountRemaining":4294967295})",
      StoreLcdsChampionDTO{.purchaseDate = 3,
                           .winCountRemaining = kUInt32Max,
                           .active = true,
                           .botEnabled = true,
                           .championId = 1,
                           .championSkins = {skin},
                           .freeToPlay = true,
                           .freeToPlayReward = true,
                           .owned = true,
                           .rankedPlayEnabled = true});
}

// No field is required: absent keys (and keys that match no field) leave a default record.
// A default record written and read again is the default record.
TEST_F(StoreRecordsTest, AbsentKeysKeepDefaults) {
  auto check = [this]<typename... T>(TypeList<T...>) {
    auto one = [this]<typename R>(R*) {
      if constexpr (std::is_class_v<R>) {
        SCOPED_TRACE(std::string(qor::StaticType::Name<R>()));
        auto read = ReadAs<R>(registry_, R"({"noSuchField":[1,2]})");
        ASSERT_TRUE(read.Succeeded()) << read.ErrorMessage();
        EXPECT_TRUE(*read == R{});
        auto again = ReadAs<R>(registry_, WriteAs(registry_, R{}));
        ASSERT_TRUE(again.Succeeded()) << again.ErrorMessage();
        EXPECT_TRUE(*again == R{});
      }
    };
    (one(static_cast<T*>(nullptr)), ...);
  };
  check(StoreTypes{});
  check(LcdsTypes{});

  auto wallet = ReadAs<Wallet>(registry_, "{}");
  ASSERT_TRUE(wallet.Succeeded());
  EXPECT_EQ(wallet->ip, 0);
  EXPECT_EQ(wallet->vp, 0);
  auto balance = ReadAs<StoreLcdsStoreAccountBalanceNotification>(registry_, R"({"ip":5})");
  ASSERT_TRUE(balance.Succeeded());
  EXPECT_EQ(balance->ip, 5);
  EXPECT_EQ(balance->vp, 0);
}

// Every field is written, optionals holding nothing as null.
TEST_F(StoreRecordsTest, DefaultRecordsWriteEveryFieldWithNullForEmptyOptionals) {
  EXPECT_EQ(
      WriteAs(registry_, CatalogItem{.itemId = 7, .inventoryType = "CHAMPION"}),
      R"({"active":null,"bundled":null,"iconUrl":null,"inactiveDate":null,"inventoryType":"CHAMPION","itemId":7,"itemInstanceId":null,"itemRequirements":null,"localizations":null,"maxQuantity":null,"prices":null,"releaseDate":null,"sale":null,"subInventoryType":null,"tags":null})");
  EXPECT_EQ(WriteAs(registry_, ItemCost{}), R"({"cost":0,"currency":"","discount":null})");
  EXPECT_EQ(WriteAs(registry_, LoginSession{}),
            R"({"accountId":0,"gasToken":null,"idToken":"","state":"IN_PROGRESS","summonerId":0})");
  EXPECT_EQ(WriteAs(registry_, StoreLcdsStoreFulfillmentNotification{}),
            R"({"data":null,"inventoryType":"","ip":0,"vp":0})");
}

TEST_F(StoreRecordsTest, OptionalFieldsHoldNothingForNullAndTheValueOtherwise) {
  struct Case {
    std::string_view json;
    std::optional<std::int32_t> maxQuantity;
  } cases[] = {
      {R"({"maxQuantity":null})", std::nullopt},
      {R"({})", std::nullopt},
      {R"({"maxQuantity":5})", 5},
      {R"({"maxQuantity":0})", 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.json));
    auto item = ReadAs<CatalogItem>(registry_, c.json);
    ASSERT_TRUE(item.Succeeded()) << item.ErrorMessage();
    EXPECT_EQ(item->maxQuantity, c.maxQuantity);
  }
  // An optional of a record, present but empty, holds a default record, not nothing.
  auto item = ReadAs<CatalogItem>(registry_, R"({"sale":{},"tags":[],"active":false})");
  ASSERT_TRUE(item.Succeeded()) << item.ErrorMessage();
  EXPECT_EQ(item->sale, Sale{});
  EXPECT_EQ(item->tags, std::vector<std::string>{});
  EXPECT_EQ(item->active, false);
}

TEST_F(StoreRecordsTest, LoginStatesReadByNameNumberOrNumericTextAndWriteByName) {
  struct Case {
    std::string_view state;
    LoginSessionStates expected;
    std::string_view written;
  } cases[] = {
      {R"("IN_PROGRESS")", LoginSessionStates::IN_PROGRESS, "IN_PROGRESS"},
      {R"("ERROR")", LoginSessionStates::ERROR, "ERROR"},
      {R"("SUCCEEDED")", LoginSessionStates::SUCCEEDED, "SUCCEEDED"},
      {R"("LOGGING_OUT")", LoginSessionStates::LOGGING_OUT, "LOGGING_OUT"},
      {"3", LoginSessionStates::ERROR, "ERROR"},
      {"1", LoginSessionStates::SUCCEEDED, "SUCCEEDED"},
      {"2", LoginSessionStates::LOGGING_OUT, "LOGGING_OUT"},
      {"0", LoginSessionStates::IN_PROGRESS, "IN_PROGRESS"},
      {R"("3")", LoginSessionStates::ERROR, "ERROR"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.state));
    auto session = ReadAs<LoginSession>(registry_, R"({"state":)" + std::string(c.state) + "}");
    ASSERT_TRUE(session.Succeeded()) << session.ErrorMessage();
    EXPECT_EQ(session->state, c.expected);
    EXPECT_EQ(qor::WriteJson(Json(WriteAs(registry_, *session)).Member("state"), &registry_),
              "\"" + std::string(c.written) + "\"");
  }
}

// Wrong kinds and out-of-range values fail with the conversion rule's message naming the
// innermost field.
TEST_F(StoreRecordsTest, WrongKindsFailNamingTheField) {
  using Reader = qor::MaybeType<qor::Failure, void> (*)(const TypeRegistry&, std::string_view);
  struct Case {
    Reader read;
    std::string_view json;
    std::string_view message;
  } cases[] = {
      {&ReadOnly<Wallet>, "[]",
       "Couldn't assign value to 'value' of type QorStoreWallet because the input not a "
       "structure."},
      {&ReadOnly<Wallet>, R"({"ip":"12abc"})",
       "Value 12abc for 'ip' of type int64 is in an incorrect format"},
      {&ReadOnly<Wallet>, R"({"vp":true})",
       "Couldn't assign value to 'vp' of type int64 because the input is of an invalid type "
       "bool."},
      {&ReadOnly<ServiceWallet>, R"({"accountId":-1})",
       "Value -1 for 'accountId' of type uint64 is out of range"},
      {&ReadOnly<ServiceWallet>, R"({"balances":{}})",
       "Couldn't assign value to 'balances' of type vector because the input not a collection."},
      {&ReadOnly<ServiceWallet>, R"({"balances":[{"amount":1},{"amount":"x"}]})",
       "Value x for 'amount' of type int64 is in an incorrect format"},
      {&ReadOnly<Player>, R"({"summonerLevel":4294967296})",
       "Value 4294967296 for 'summonerLevel' of type uint32 is out of range"},
      {&ReadOnly<CatalogItem>, R"({"itemId":2147483648})",
       "Value 2147483648 for 'itemId' of type int32 is out of range"},
      {&ReadOnly<CatalogItem>, R"({"localizations":[]})",
       "Couldn't assign value to 'localizations' of type map because the input not a structure."},
      {&ReadOnly<CatalogItem>, R"({"localizations":{"en":{"name":1}}})",
       "Couldn't assign value to 'name' because the input is not a string."},
      {&ReadOnly<CatalogItem>, R"({"bundled":5})",
       "Couldn't assign value to 'bundled' of type QorStoreBundled because the input not a "
       "structure."},
      {&ReadOnly<CatalogItem>, R"({"active":"yes"})",
       "Value yes for 'active' of type bool is in an incorrect format. Options are \"true\", "
       "\"false\", \"1\", \"0\"."},
      {&ReadOnly<CatalogItem>, R"({"tags":["a",1]})",
       "Couldn't assign value to 'tags' because the input is not a string."},
      {&ReadOnly<CatalogItem>, R"({"prices":[{"discount":"cheap"}]})",
       "Value cheap for 'discount' of type float is in an incorrect format"},
      {&ReadOnly<PageDTO>, R"({"Player":{"vp":[]}})",
       "Couldn't assign value to 'vp' of type int64 because the input is of an invalid type "
       "collection."},
      {&ReadOnly<PageDTO>, R"({"itemGroups":{"g":{"hidden":1}}})",
       "Couldn't assign value to 'hidden' of type bool because the input is of an invalid type "
       "unsigned."},
      {&ReadOnly<Notification>, R"({"data":{"k":5}})",
       "Couldn't assign value to 'data' because the input is not a string."},
      {&ReadOnly<VaxoMessagingServiceMessage>, R"({"payload":{"ip":1}})",
       "Couldn't assign value to 'payload' because the input is not a string."},
      {&ReadOnly<LoginDataPacket>,
       R"({"allSummonerData":{"summonerLevelAndPoints":{"summonerLevel":-3}}})",
       "Value -3 for 'summonerLevel' of type uint32 is out of range"},
      {&ReadOnly<LoginSession>, R"({"state":"BOGUS"})",
       "BOGUS is not a valid QorStoreLoginSessionStates enumeration value for 'state'."},
      {&ReadOnly<LoginSession>, R"({"state":4})",
       "4 is not a valid QorStoreLoginSessionStates enumeration value for 'state'."},
      {&ReadOnly<LoginSession>, R"({"state":"succeeded"})",
       "succeeded is not a valid QorStoreLoginSessionStates enumeration value for 'state'."},
      {&ReadOnly<LoginSession>, R"({"state":true})",
       "Couldn't assign value to 'state' of enum type because the input is of an invalid type "
       "bool."},
      // winCountRemaining is unsigned in the champion DTO, signed in the skin DTO.
      {&ReadOnly<StoreLcdsChampionDTO>, R"({"winCountRemaining":-1})",
       "Value -1 for 'winCountRemaining' of type uint32 is out of range"},
      {&ReadOnly<StoreLcdsChampionDTO>, R"({"championSkins":[{"winCountRemaining":2147483648}]})",
       "Value 2147483648 for 'winCountRemaining' of type int32 is out of range"},
      {&ReadOnly<StoreLcdsSimpleDialogMessage>, R"({"params":"a"})",
       "Couldn't assign value to 'params' of type vector because the input not a collection."},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.json));
    auto result = c.read(registry_, c.json);
    ASSERT_TRUE(result.Failed());
    EXPECT_EQ(result.ErrorMessage(), c.message);
  }
}

// Registration order and names: every type is found by its native identity, in the order
// of the type lists above, under the prefix (store records) or its own name (DTOs).
TEST_F(StoreRecordsTest, RegistersEveryTypeInOrderUnderItsName) {
  const std::vector<std::string_view> expected = {
      "QorStoreWallet",
      "QorStoreServiceBalance",
      "QorStoreServiceWallet",
      "QorStoreOrderNotificationResource",
      "QorStoreVaxoMessagingServiceMessage",
      "QorStoreItemCost",
      "QorStoreBundledItemCost",
      "QorStoreItemKey",
      "QorStoreBundledItem",
      "QorStoreBundleItemDTO",
      "QorStoreSale",
      "QorStoreItemLocalization",
      "QorStoreBundled",
      "QorStoreCatalogItem",
      "QorStorePlayer",
      "QorStorePageGroupingDTO",
      "QorStorePageDTO",
      "QorStoreNotification",
      "QorStoreSummoner",
      "QorStoreSummonerLevelAndPoints",
      "QorStoreAllSummonerData",
      "QorStoreSimpleDialogMessage",
      "QorStoreLoginDataPacket",
      "QorStoreLoginSessionStates",
      "QorStoreLoginSession",
      "StoreLcdsStoreFulfillmentNotification",
      "StoreLcdsStoreAccountBalanceNotification",
      "StoreLcdsSimpleDialogMessage",
      "StoreLcdsSimpleDialogMessageResponse",
      "StoreLcdsChampionSkinDTO",
      "StoreLcdsChampionDTO",
  };
  std::vector<const qor::TypeRecord*> types = registry_.Types();
  std::vector<std::string_view> names;
  for (const qor::TypeRecord* type : types)
    names.push_back(type->Name());
  EXPECT_EQ(names, expected);

  std::vector<const qor::TypeRecord*> byIdentity;
  auto collect = [&]<typename... T>(TypeList<T...>) {
    (byIdentity.push_back(registry_.FindType<T>()), ...);
  };
  collect(StoreTypes{});
  collect(LcdsTypes{});
  EXPECT_EQ(byIdentity, types);

  const qor::TypeRecord* states = registry_.FindType("QorStoreLoginSessionStates");
  ASSERT_NE(states, nullptr);
  EXPECT_TRUE(states->IsEnum());
  EXPECT_EQ(states->Size(), 4u);
  const std::pair<std::string_view, std::int32_t> codes[] = {
      {"IN_PROGRESS", 0}, {"ERROR", 3}, {"SUCCEEDED", 1}, {"LOGGING_OUT", 2}};
  EXPECT_EQ(states->Values().size(), std::size(codes));
  for (const auto& [name, code] : codes) {
    EXPECT_EQ(registry_.EnumValueOf(*states, name), code) << name;
    EXPECT_EQ(registry_.EnumName(states->Id(), code), name) << code;
  }
}

// Shared field flags, and the order rule: a record's field types are declared before it, so
// every reference is resolved when the field is added.
TEST_F(StoreRecordsTest, FieldsCarryNoFlagsAndReferToEarlierTypes) {
  std::vector<const qor::TypeRecord*> types = registry_.Types();
  for (std::size_t index = 0; index < types.size(); ++index) {
    const qor::TypeRecord& type = *types[index];
    EXPECT_TRUE(type.Description().empty()) << type.Name();
    for (const auto& field : type.Fields()) {
      SCOPED_TRACE(type.Name() + "." + field->name);
      EXPECT_EQ(field->flags, qor::kFieldDefault);
      EXPECT_TRUE(field->description.empty());
      if (field->type.typeId == qor::kReservedTypeId) continue;
      ASSERT_NE(field->type.record, nullptr);
      auto at = std::find(types.begin(), types.end(), field->type.record);
      ASSERT_NE(at, types.end());
      EXPECT_LT(static_cast<std::size_t>(at - types.begin()), index);
    }
  }
  // Spot checks of what the field declarations carry.
  const qor::TypeRecord* catalog = registry_.FindType<CatalogItem>();
  ASSERT_NE(catalog, nullptr);
  std::size_t optionals = 0;
  for (const auto& field : catalog->Fields())
    optionals += field->optional ? 1 : 0;
  EXPECT_EQ(catalog->Fields().size(), 15u);
  EXPECT_EQ(optionals, 13u);
  const qor::FieldRecord* localizations = catalog->FindField("localizations");
  ASSERT_NE(localizations, nullptr);
  EXPECT_EQ(registry_.Describe(localizations->type), "map<QorStoreItemLocalization>");
  const qor::FieldRecord* gasToken = registry_.FindType<LoginSession>()->FindField("gasToken");
  ASSERT_NE(gasToken, nullptr);
  EXPECT_EQ(gasToken->type.type, qor::NativeType::Object);
}

// A taken name keeps its first declaration; the other records are declared as usual, and
// declaring everything a second time changes nothing.
TEST(StoreRecordsRegistration, TakenNamesKeepTheFirstDeclaration) {
  struct Other {
    std::string only;
  };
  TypeRegistry registry;
  qor::DeclareRecord<Other>(registry, "QorStoreWallet").Field("only", &Other::only);
  RegisterStoreRecords(registry, "QorStore");
  RegisterStoreRecords(registry, "QorStore");
  RegisterLcdsRecords(registry);
  RegisterLcdsRecords(registry);

  EXPECT_EQ(registry.Types().size(), 31u);
  const qor::TypeRecord* wallet = registry.FindType("QorStoreWallet");
  ASSERT_NE(wallet, nullptr);
  ASSERT_EQ(wallet->Fields().size(), 1u);
  EXPECT_EQ(wallet->Fields()[0]->name, "only");
  EXPECT_EQ(registry.FindType<ServiceWallet>()->Fields().size(), 2u);
  EXPECT_EQ(registry.FindType<StoreLcdsChampionDTO>()->Fields().size(), 12u);
  EXPECT_EQ(registry.FindType("QorStoreLoginSessionStates")->Values().size(), 4u);
}

TEST(StoreRecordsRegistration, PrefixIsThePluginsOwn) {
  TypeRegistry registry;
  RegisterStoreRecords(registry, "Other");
  EXPECT_NE(registry.FindType("OtherWallet"), nullptr);
  EXPECT_NE(registry.FindType("OtherLoginSessionStates"), nullptr);
  EXPECT_EQ(registry.FindType("QorStoreWallet"), nullptr);
  auto session = qor::FromBinding<LoginSession>(Json(R"({"state":7})"), registry, "session");
  ASSERT_TRUE(session.Failed());
  EXPECT_EQ(session.ErrorMessage(),
            "7 is not a valid OtherLoginSessionStates enumeration value for 'state'.");
}

}  // namespace
}  // namespace Vaxo::Client::Store::Api
