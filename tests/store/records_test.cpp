// The store's records and the legacy-service DTOs: the keys each declares, as read and written
// (keys in byte-wise order), the states' numbers, and the plug-in's prefix on every name.
#include "store/records.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "binding/json.h"
#include "binding/record.h"
#include "store/lcds_records.h"

namespace Vaxo::Client::Store::Api {
namespace {

using qor::TypeRegistry;

qor::BindingProperty Json(std::string_view text) {
  auto parsed = qor::ParseJson(text);
  EXPECT_TRUE(parsed.Succeeded()) << parsed.ErrorMessage();
  return parsed.Succeeded() ? *parsed : qor::BindingProperty();
}

template <typename T>
qor::MaybeType<qor::Failure, T> ReadAs(const TypeRegistry& registry, std::string_view json) {
  return qor::FromBinding<T>(Json(json), registry, "value");
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

  // `json` reads as `expected` and writes back byte for byte.
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

// Records with nested records, optionals, maps, a capitalised key and a value kept as it came,
// with every field set (the module tests show the others on the wire).
TEST_F(StoreRecordsTest, RecordsReadTheirKeysAndWriteThemBackSorted) {
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
  // "Player" keeps its capital P, and so sorts before the lower-case keys.
  ExpectRoundTrip(
      R"({"Player":{"accountId":9,"ip":0,"summonerLevel":30,"vp":10},"catalog":[{"active":null,"bundled":null,"iconUrl":null,"inactiveDate":null,"inventoryType":"t","itemId":5,"itemInstanceId":null,"itemRequirements":null,"localizations":null,"maxQuantity":null,"prices":null,"releaseDate":null,"sale":null,"subInventoryType":null,"tags":null}],"groupOrder":["g1","g0"],"itemGroups":{"g0":{"grouped":false,"hidden":true,"items":[]}}})",
      PageDTO{.Player = {.accountId = 9, .vp = 10, .summonerLevel = 30},
              .catalog = {{.itemId = 5, .inventoryType = "t"}},
              .groupOrder = {"g1", "g0"},
              .itemGroups = {{"g0", {.hidden = true}}}});
  // gasToken is kept as it came, whatever its shape.
  ExpectRoundTrip(
      R"({"accountId":2,"gasToken":{"a":null,"b":[1,"x"]},"idToken":"tok","state":"SUCCEEDED","summonerId":1})",
      LoginSession{.state = LoginSessionStates::SUCCEEDED,
                   .summonerId = 1,
                   .accountId = 2,
                   .idToken = "tok",
                   .gasToken = Json(R"({"a":null,"b":[1,"x"]})")});
}

// The states' numbers: the platform may send a state by number.
TEST_F(StoreRecordsTest, LoginStatesReadByNumberAndWriteByName) {
  auto session = ReadAs<LoginSession>(registry_, R"({"state":2})");
  ASSERT_TRUE(session.Succeeded()) << session.ErrorMessage();
  EXPECT_EQ(session->state, LoginSessionStates::LOGGING_OUT);
  session = ReadAs<LoginSession>(registry_, R"({"state":3})");
  ASSERT_TRUE(session.Succeeded()) << session.ErrorMessage();
  EXPECT_EQ(Json(WriteAs(registry_, *session)).Member("state").GetString(), "ERROR");
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
