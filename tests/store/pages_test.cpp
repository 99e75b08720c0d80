// Storefront pages, the wallet and the catalog: the URL each request forms and how each
// storefront answer is mapped.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/store/store_fixture.h"

namespace qor::store_test {
namespace {

constexpr const char* kStore = "https://s.example";

class PagesTest : public StoreFixture {
 protected:
  // Started, logged in (store URL kStore) and with the locale "en_US".
  void SetUp() override {
    StoreFixture::SetUp();
    storeUrlReply = std::string(kStore) + "/";
    StartStore();
    Deliver(kRegionLocaleUri, "Update", R"({"locale":"en_US","region":"NA"})");
    Deliver(kSessionUri, "Update", SessionJson("SUCCEEDED", 1, 2, "tok"));
    ForgetActivity();
  }

  // Calls `path` and returns the one storefront URL it asked for.
  std::string UrlOf(std::string_view path) {
    ForgetActivity();
    (void)Get(path);
    std::vector<std::string> urls = ExternalUrls();
    return urls.size() == 1 ? urls[0] : "<" + std::to_string(urls.size()) + " requests>";
  }
};

// Values are percent-encoded (all but RFC 3986's unreserved characters), so that none can end
// the URL, add a parameter or change the path; plain values read as they are.
TEST_F(PagesTest, UrlTemplatesAreFilledWithEncodedValues) {
  const std::string s = kStore;
  struct Case {
    const char* path;
    std::string url;
  };
  const Case cases[] = {
      {"/qor-store/v1/login", s + "/storefront/v2/login?language=en_US"},
      {"/qor-store/v1/featured", s + "/storefront/v3/featured?language=en_US"},
      // Only the exact lower-case "featured" is the featured page.
      {"/qor-store/v1/Featured", s + "/storefront/v3/view/Featured?language=en_US"},
      {"/qor-store/v1/a-b.c_d~e", s + "/storefront/v3/view/a-b.c_d~e?language=en_US"},
      // A "/" sent percent-encoded inside the segment stays inside it; so do "?" and "#".
      {"/qor-store/v1/a%2Fb", s + "/storefront/v3/view/a%2Fb?language=en_US"},
      {"/qor-store/v1/x%3Fy=1%23z", s + "/storefront/v3/view/x%3Fy%3D1%23z?language=en_US"},
      {"/qor-store/v1/paymentDetails?action=buy&giftRecipientAccountId=18446744073709551615",
       s + "/storefront/v3/payment/buy?giftrecipientaccountid=18446744073709551615&language=en_US"},
      {"/qor-store/v1/"
       "paymentDetails?action=gift&giftRecipientAccountId=7&giftMessage=a%26b%3Dc%23d%20e",
       s + "/storefront/v3/payment/gift?giftrecipientaccountid=7&giftmessage=a%26b%3Dc%23d%20e"
           "&language=en_US"},
      {"/qor-store/v1/paymentDetails?action=b%2Fuy%3Fx",
       s + "/storefront/v3/payment/b%2Fuy%3Fx?language=en_US"},
      // A message without a recipient is not sent.
      {"/qor-store/v1/paymentDetails?action=buy&giftMessage=hello",
       s + "/storefront/v3/payment/buy?language=en_US"},
      {"/qor-store/v1/paymentDetails?giftMessage=x", "<0 requests>"},  // no action
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(UrlOf(c.path), c.url);
  }
}

TEST_F(PagesTest, TextPagesAnswerTheBodyAsItCameAndJsonPagesTheValue) {
  const std::string html = "<html><body>login &amp; more</body></html>";
  SetPage(std::string(kStore) + "/storefront/v2/login?language=en_US", Page(200, html));
  SetPage(std::string(kStore) + "/storefront/v3/payment/buy?language=en_US",
          Page(299, "{\"a\":1}"));
  SetPage(std::string(kStore) + "/storefront/v3/featured?language=en_US",
          Page(200, R"({"groups":[1,2],"title":"Featured"})"));

  Reply login = Get("/qor-store/v1/login");
  ASSERT_TRUE(login.Succeeded()) << login.error.value_or("");
  EXPECT_EQ(login.body.GetString(), html);
  Reply payment = Get("/qor-store/v1/paymentDetails?action=buy");  // JSON text stays text
  ASSERT_TRUE(payment.Succeeded()) << payment.error.value_or("");
  EXPECT_EQ(payment.body.Kind(), BindingKind::String);
  EXPECT_EQ(payment.body.GetString(), "{\"a\":1}");
  Reply featured = Get("/qor-store/v1/featured");
  ASSERT_TRUE(featured.Succeeded()) << featured.error.value_or("");
  EXPECT_EQ(JsonText(featured.body), R"({"groups":[1,2],"title":"Featured"})");
}

// Every row of the response mapping, for a JSON page and, where the body is not read, for
// both text pages too.
TEST_F(PagesTest, EveryRowOfTheResponseMapping) {
  host::ExternalReply refusedWith404 = Unreachable();
  refusedWith404.status = 404;
  struct Case {
    const char* name;
    host::ExternalReply answer;
    uint32_t status;
    std::string message;  // the whole message, or its beginning when `bodyRead` (the
                          // parser's own text follows)
    bool bodyRead = false;
  };
  const Case cases[] = {
      {"not connected", Unreachable(), 500, "Could not connect to the server: Connection refused"},
      {"not connected wins over 404", refusedWith404, 500,
       "Could not connect to the server: Connection refused"},
      {"404 whatever the body", Page(404, R"({"valid":"json"})"), 404, "Not found"},
      {"redirect", Page(302, "{}"), 500, "Received an error status from the server: 302 - "},
      {"informational", Page(199, "{}"), 500, "Received an error status from the server: 199 - "},
      {"server error", Page(503, "{}"), 500, "Received an error status from the server: 503 - "},
      {"redirect with a text body", Page(302, "moved"), 500,
       "Received an error status from the server: 302 - Error deserializing json response for ",
       true},
      {"undecodable", Page(200, "{nope"), 500,
       "Could not decode body returned from the server: 200 - Error deserializing json response "
       "for ",
       true},
      {"empty where JSON is expected", Page(200, ""), 500,
       "Could not decode body returned from the server: 200 - Error converting response for GET " +
           std::string(kStore) + "/storefront/v3/view/p?language=en_US: body was empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    storefront = [&](const host::ExternalCall&) { return c.answer; };
    std::vector<const char*> paths = {"/qor-store/v1/p"};
    if (!c.bodyRead && c.answer.status != 200) {
      paths.push_back("/qor-store/v1/login");
      paths.push_back("/qor-store/v1/paymentDetails?action=buy");
    }
    for (const char* path : paths) {
      SCOPED_TRACE(path);
      Reply reply = Get(path);
      EXPECT_EQ(reply.status, c.status);
      ASSERT_TRUE(reply.error.has_value());
      if (c.bodyRead) {
        EXPECT_TRUE(reply.error->starts_with(c.message)) << *reply.error;
        EXPECT_TRUE(reply.error->ends_with(" given body " + c.answer.body)) << *reply.error;
      } else {
        EXPECT_EQ(*reply.error, c.message);
      }
    }
  }
}

constexpr const char* kWalletUrl = "/storefront/v2/wallet?language=";
constexpr const char* kCatalogUrl = "/storefront/v1/catalog?region=&language=";
constexpr const char* kCatalog = R"([
  {"itemId": 1, "inventoryType": "CHAMPION_SKIN", "iconUrl": "one.png"},
  {"itemId": 2, "inventoryType": "CHAMPION"},
  {"itemId": 3, "inventoryType": "CHAMPION_SKIN", "tags": ["new"]},
  {"itemId": 2, "inventoryType": "CHAMPION_SKIN"}
])";

// Logged out: the wallet and catalog URLs are the bare paths.
class WalletCatalogTest : public StoreFixture {
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

TEST_F(WalletCatalogTest, WalletAnswersTheStorefrontBalancesOrTheErrorTextOnly) {
  SetPage(kWalletUrl, Page(200, R"({"ip":1350,"vp":-5,"other":true})"));
  Reply reply = Get("/qor-store/v1/wallet");
  ASSERT_TRUE(reply.Succeeded()) << reply.error.value_or("");
  EXPECT_EQ(JsonText(reply.body), R"({"ip":1350,"vp":-5})");
  (void)Get("/qor-store/v1/wallet");  // not cached: each call asks again
  EXPECT_EQ(ExternalUrls(), (std::vector<std::string>{kWalletUrl, kWalletUrl}));
  EXPECT_TRUE(Published(kWalletUri).empty());

  const std::string label = std::string("GET ") + kWalletUrl;
  struct Case {
    const char* name;
    host::ExternalReply answer;
    std::string message;  // the message's beginning
  };
  const Case cases[] = {
      {"503 without error text", Page(503, R"({"ip":1,"vp":2})"), "Error fetching player wallet: "},
      {"not connected", Unreachable("Host unreachable"),
       "Error fetching player wallet: Host unreachable"},
      {"empty body", Page(200, ""),
       "Error fetching player wallet: Error converting response for " + label + ": body was empty"},
      {"not JSON", Page(200, "ip=1"),
       "Error fetching player wallet: Error deserializing json response for " + label + ": "},
      {"wrong shape", Page(200, R"({"ip":"many"})"),
       "Error fetching player wallet: Error converting response for " + label + " to "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    storefront = [&](const host::ExternalCall&) { return c.answer; };
    Reply failed = Get("/qor-store/v1/wallet");
    EXPECT_EQ(failed.status, 500u);
    EXPECT_TRUE(failed.error.value_or("").starts_with(c.message)) << failed.error.value_or("");
  }
}

TEST_F(WalletCatalogTest, CatalogIsFetchedOnceAndFiltered) {
  SetPage(kCatalogUrl, Page(200, kCatalog));
  struct Case {
    const char* query;
    std::vector<std::string> items;
  };
  // A list travels in the query as JSON or element by element ("name.0=...&name.1=...").
  const Case cases[] = {
      {"", {"CHAMPION_SKIN:1", "CHAMPION:2", "CHAMPION_SKIN:3", "CHAMPION_SKIN:2"}},
      {"?itemId=[1]", {}},
      {"?inventoryType.0=CHAMPION_SKIN&inventoryType.1=CHAMPION_SKIN",
       {"CHAMPION_SKIN:1", "CHAMPION_SKIN:3", "CHAMPION_SKIN:2", "CHAMPION_SKIN:1",
        "CHAMPION_SKIN:3", "CHAMPION_SKIN:2"}},
      {R"(?inventoryType=["CHAMPION","CHAMPION_SKIN"])",
       {"CHAMPION:2", "CHAMPION_SKIN:1", "CHAMPION_SKIN:3", "CHAMPION_SKIN:2"}},
      {R"(?inventoryType=["CHAMPION_SKIN"]&itemId=[2,1])", {"CHAMPION_SKIN:1", "CHAMPION_SKIN:2"}},
      {R"(?inventoryType=["CHAMPION_SKIN"]&itemId=)", {}},
      {R"(?inventoryType=["champion_skin"])", {}},
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

// Only the body decides: an error status with a catalog in the body is a catalog, and kept.
TEST_F(WalletCatalogTest, CatalogWithAnErrorStatusButAnArrayBodyIsKept) {
  SetPage(kCatalogUrl, Page(503, kCatalog));
  EXPECT_EQ(Items(Get("/qor-store/v1/catalog")).size(), 4u);
  SetPage(kCatalogUrl, Page(200, "[]"));
  EXPECT_EQ(Items(Get("/qor-store/v1/catalog")).size(), 4u);
  EXPECT_EQ(CatalogFetches(), 1u);
}

TEST_F(WalletCatalogTest, UndecodableOrEmptyCatalogIsNotKept) {
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
      {"not connected", Unreachable(), "Couldn't deserialize catalog response: "},
      {"empty list", Page(200, "[]"), ""},  // answered, but not kept
  };
  size_t fetches = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    storefront = [&](const host::ExternalCall&) { return c.answer; };
    Reply reply = Get("/qor-store/v1/catalog");
    if (c.message.empty()) {
      ASSERT_TRUE(reply.Succeeded()) << *reply.error;
      EXPECT_EQ(reply.body.Size(), 0u);
    } else {
      EXPECT_EQ(reply.status, 500u);
      EXPECT_EQ(reply.error.value_or("<success>"), c.message);
    }
    EXPECT_EQ(CatalogFetches(), ++fetches);
  }
  // The next query fetches, and keeps what it got.
  storefront = [](const host::ExternalCall&) { return Page(200, kCatalog); };
  EXPECT_EQ(Items(Get(R"(/qor-store/v1/catalog?inventoryType=["CHAMPION"])")),
            std::vector<std::string>{"CHAMPION:2"});
  (void)Get("/qor-store/v1/catalog");
  EXPECT_EQ(CatalogFetches(), fetches + 1);
}

}  // namespace
}  // namespace qor::store_test
