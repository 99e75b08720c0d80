// The wallet and the catalog: storefront answers, the catalog's one fetch and its filters.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/store/store_fixture.h"

namespace qor::store_test {
namespace {

constexpr const char* kWalletUrl = "/storefront/v2/wallet?language=";
constexpr const char* kCatalogUrl = "/storefront/v1/catalog?region=&language=";

constexpr const char* kCatalog = R"([
  {"itemId": 1, "inventoryType": "CHAMPION_SKIN", "iconUrl": "one.png"},
  {"itemId": 2, "inventoryType": "CHAMPION"},
  {"itemId": 3, "inventoryType": "CHAMPION_SKIN", "tags": ["new"]},
  {"itemId": 2, "inventoryType": "CHAMPION_SKIN"}
])";

class ModuleWalletCatalogTest : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    StartStore();
  }

  // "TYPE:id" of each item a catalog reply lists, in order.
  static std::vector<std::string> Items(const Reply& reply) {
    std::vector<std::string> items;
    for (const BindingProperty& item : reply.body.Elements()) {
      items.push_back(std::string(item.Member("inventoryType").GetString()) + ":" +
                      item.Member("itemId").ToText());
    }
    return items;
  }

  size_t CatalogFetches() const {
    size_t count = 0;
    for (const std::string& url : ExternalUrls())
      count += url == kCatalogUrl;
    return count;
  }
};

TEST_F(ModuleWalletCatalogTest, WalletAnswersTheStorefrontBalances) {
  SetPage(kWalletUrl, Page(200, R"({"ip":1350,"vp":-5,"other":true})"));
  Reply reply = Get("/qor-store/v1/wallet");
  ASSERT_TRUE(reply.Succeeded()) << reply.error.value_or("");
  EXPECT_EQ(JsonText(reply.body), R"({"ip":1350,"vp":-5})");
  // Not cached: each call asks again.
  (void)Get("/qor-store/v1/wallet");
  EXPECT_EQ(ExternalUrls(), (std::vector<std::string>{kWalletUrl, kWalletUrl}));
  EXPECT_TRUE(Published(kWalletUri).empty());
}

TEST_F(ModuleWalletCatalogTest, WalletFailuresCarryTheErrorTextOnly) {
  const std::string label = std::string("GET ") + kWalletUrl;
  host::ExternalReply refused;
  refused.connectionCode = 1;
  refused.status = 0;
  refused.body = "Host unreachable";
  struct Case {
    const char* name;
    host::ExternalReply answer;
    std::string message;  // whole message, or its beginning when `whole` is false
    bool whole = true;
  };
  const Case cases[] = {
      {"503 without error text", Page(503, R"({"ip":1,"vp":2})"), "Error fetching player wallet: "},
      {"404", Page(404, "{}"), "Error fetching player wallet: "},
      {"404 with an empty body", Page(404, ""),
       "Error fetching player wallet: Error converting response for " + label + ": body was empty"},
      {"not connected", refused, "Error fetching player wallet: Host unreachable"},
      {"empty body", Page(200, ""),
       "Error fetching player wallet: Error converting response for " + label + ": body was empty"},
      {"not JSON", Page(200, "ip=1"),
       "Error fetching player wallet: Error deserializing json response for " + label + ": ",
       false},
      {"wrong shape", Page(200, R"({"ip":"many"})"),
       "Error fetching player wallet: Error converting response for " + label + " to ", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    storefront = [&](const host::ExternalCall&) { return c.answer; };
    Reply reply = Get("/qor-store/v1/wallet");
    EXPECT_EQ(reply.status, 500u);
    ASSERT_TRUE(reply.error.has_value());
    if (c.whole) {
      EXPECT_EQ(*reply.error, c.message);
    } else {
      EXPECT_EQ(reply.error->substr(0, c.message.size()), c.message) << *reply.error;
    }
  }
}

TEST_F(ModuleWalletCatalogTest, CatalogIsFetchedOnceAndFiltered) {
  SetPage(kCatalogUrl, Page(200, kCatalog));
  struct Case {
    const char* query;
    std::vector<std::string> items;
  };
  // A list travels in the query as JSON or element by element ("name.0=...&name.1=...").
  const Case cases[] = {
      {"", {"CHAMPION_SKIN:1", "CHAMPION:2", "CHAMPION_SKIN:3", "CHAMPION_SKIN:2"}},
      {"?itemId=[1]", {}},
      {"?itemId.0=1&itemId.1=2", {}},
      {R"(?inventoryType=["CHAMPION_SKIN"])",
       {"CHAMPION_SKIN:1", "CHAMPION_SKIN:3", "CHAMPION_SKIN:2"}},
      {"?inventoryType.0=CHAMPION_SKIN&inventoryType.1=CHAMPION_SKIN",
       {"CHAMPION_SKIN:1", "CHAMPION_SKIN:3", "CHAMPION_SKIN:2", "CHAMPION_SKIN:1",
        "CHAMPION_SKIN:3", "CHAMPION_SKIN:2"}},
      {R"(?inventoryType=["CHAMPION","CHAMPION_SKIN"])",
       {"CHAMPION:2", "CHAMPION_SKIN:1", "CHAMPION_SKIN:3", "CHAMPION_SKIN:2"}},
      {R"(?inventoryType=["CHAMPION_SKIN"]&itemId=[2,1])", {"CHAMPION_SKIN:1", "CHAMPION_SKIN:2"}},
      {R"(?inventoryType=["CHAMPION_SKIN"]&itemId=[9])", {}},
      {R"(?inventoryType=["CHAMPION_SKIN"]&itemId=)", {}},
      {R"(?inventoryType=["champion_skin"])", {}},
      {R"(?inventoryType=["BUNDLE"])", {}},
      {"?inventoryType=", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    Reply reply = Get(std::string("/qor-store/v1/catalog") + c.query);
    ASSERT_TRUE(reply.Succeeded()) << reply.error.value_or("");
    EXPECT_EQ(reply.body.Kind(), BindingKind::Collection);
    EXPECT_EQ(Items(reply), c.items);
  }
  EXPECT_EQ(CatalogFetches(), 1u);

  // The items come back whole.
  Reply one = Get(R"(/qor-store/v1/catalog?inventoryType=["CHAMPION_SKIN"]&itemId=[3])");
  ASSERT_EQ(one.body.Size(), 1u);
  EXPECT_EQ(JsonText(one.body.Element(0).Member("tags")), R"(["new"])");

  // Neither a logout nor a new locale refreshes it.
  Deliver(kSessionUri, "Delete");
  Deliver(kRegionLocaleUri, "Update", R"({"locale":"de_DE"})");
  SetPage(kCatalogUrl, Page(200, "[]"));
  EXPECT_EQ(Items(Get("/qor-store/v1/catalog")).size(), 4u);
  EXPECT_EQ(CatalogFetches(), 1u);
}

TEST_F(ModuleWalletCatalogTest, UndecodableCatalogFailsAndIsFetchedAgain) {
  host::ExternalReply refused;
  refused.connectionCode = 1;
  refused.status = 0;
  refused.body = "Host unreachable";
  struct Case {
    const char* name;
    host::ExternalReply answer;
    std::string message;
  };
  const Case cases[] = {
      {"not JSON", Page(200, "<html>"), "Couldn't deserialize catalog response: <html>"},
      {"not a list", Page(200, R"({"itemId":1})"),
       R"(Couldn't deserialize catalog response: {"itemId":1})"},
      {"wrong item shape", Page(200, R"([{"itemId":"one"}])"),
       R"(Couldn't deserialize catalog response: [{"itemId":"one"}])"},
      {"empty body", Page(200, ""), "Couldn't deserialize catalog response: "},
      {"not connected", refused, "Couldn't deserialize catalog response: "},
  };
  size_t fetches = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    storefront = [&](const host::ExternalCall&) { return c.answer; };
    Reply reply = Get("/qor-store/v1/catalog");
    EXPECT_EQ(reply.status, 500u);
    EXPECT_EQ(reply.error.value_or("<success>"), c.message);
    EXPECT_EQ(CatalogFetches(), ++fetches);
  }
  // Each failure left the cache empty: the next query fetches, and keeps what it got.
  storefront = [](const host::ExternalCall&) { return Page(200, kCatalog); };
  EXPECT_EQ(Items(Get(R"(/qor-store/v1/catalog?inventoryType=["CHAMPION"])")),
            std::vector<std::string>{"CHAMPION:2"});
  (void)Get("/qor-store/v1/catalog");
  EXPECT_EQ(CatalogFetches(), fetches + 1);
}

TEST_F(ModuleWalletCatalogTest, EmptyCatalogIsAnsweredButNotKept) {
  SetPage(kCatalogUrl, Page(200, "[]"));
  Reply reply = Get("/qor-store/v1/catalog");
  ASSERT_TRUE(reply.Succeeded()) << reply.error.value_or("");
  EXPECT_EQ(reply.body.Size(), 0u);
  SetPage(kCatalogUrl, Page(200, kCatalog));
  EXPECT_EQ(Items(Get("/qor-store/v1/catalog")).size(), 4u);
  EXPECT_EQ(CatalogFetches(), 2u);
}

}  // namespace
}  // namespace qor::store_test
