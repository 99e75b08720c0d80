// Storefront pages, the wallet and the catalog: the URL each request forms and how each
// storefront answer is mapped.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/store/store_fixture.h"

namespace qor::store_test {
namespace {

const std::string kStore = "https://s.example";
const std::string kWalletUrl = kStore + "/storefront/v2/wallet?language=en_US";
const std::string kCatalogUrl = kStore + "/storefront/v1/catalog?region=&language=en_US";
constexpr const char* kCatalog = R"([
  {"itemId": 1, "inventoryType": "CHAMPION_SKIN", "iconUrl": "one.png"},
  {"itemId": 2, "inventoryType": "CHAMPION"},
  {"itemId": 3, "inventoryType": "CHAMPION_SKIN", "tags": ["new"]},
  {"itemId": 2, "inventoryType": "CHAMPION_SKIN"}
])";

class PagesTest : public StoreFixture {
 protected:
  // Started, logged in (store URL kStore) and with the locale "en_US".
  void SetUp() override {
    StoreFixture::SetUp();
    storeUrlReply = kStore + "/";
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
    const std::vector<std::string> urls = ExternalUrls();
    return static_cast<size_t>(std::count(urls.begin(), urls.end(), kCatalogUrl));
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
  SetPage(kStore + "/storefront/v2/login?language=en_US", Page(200, html));
  SetPage(kStore + "/storefront/v3/payment/buy?language=en_US", Page(299, "{\"a\":1}"));
  SetPage(kStore + "/storefront/v3/featured?language=en_US",
          Page(200, R"({"groups":[1,2],"title":"Featured"})"));

  EXPECT_EQ(Get("/qor-store/v1/login").body.GetString(), html);
  Reply payment = Get("/qor-store/v1/paymentDetails?action=buy");  // JSON text stays text
  EXPECT_EQ(payment.body.Kind(), BindingKind::String);
  EXPECT_EQ(payment.body.GetString(), "{\"a\":1}");
  EXPECT_EQ(JsonText(Get("/qor-store/v1/featured").body), R"({"groups":[1,2],"title":"Featured"})");
}

// How each endpoint maps a failed storefront answer: the status, and the message's beginning
// (the readers' own texts follow some of them).
TEST_F(PagesTest, FailedAnswersMapToTheEndpointsMessages) {
  host::ExternalReply refusedWith404 = Unreachable();
  refusedWith404.status = 404;
  const char* json = "/qor-store/v1/p";
  const char* login = "/qor-store/v1/login";
  const char* payment = "/qor-store/v1/paymentDetails?action=buy";
  const char* wallet = "/qor-store/v1/wallet";
  const char* catalog = "/qor-store/v1/catalog";
  const std::string refused = "Could not connect to the server: Connection refused";
  const std::string status302 = "Received an error status from the server: 302 - ";
  struct Case {
    const char* path;
    host::ExternalReply answer;
    uint32_t status;
    std::string message;
  };
  const Case cases[] = {
      {json, Unreachable(), 500, refused},
      {login, Unreachable(), 500, refused},  // a text page maps like a JSON page
      {json, refusedWith404, 500, refused},  // not connected wins over 404
      {json, Page(404, R"({"valid":"json"})"), 404, "Not found"},
      {payment, Page(404, "gone"), 404, "Not found"},
      {json, Page(302, "{}"), 500, status302},
      {login, Page(302, "{}"), 500, status302},
      {json, Page(199, "{}"), 500, "Received an error status from the server: 199 - "},
      {json, Page(302, "moved"), 500, status302 + "Error deserializing json response for "},
      {json, Page(200, "{nope"), 500,
       "Could not decode body returned from the server: 200 - Error deserializing json response "
       "for "},
      {json, Page(200, ""), 500,
       "Could not decode body returned from the server: 200 - Error converting response for GET " +
           kStore + "/storefront/v3/view/p?language=en_US: body was empty"},
      // The wallet answers the error text only: a 503 has none.
      {wallet, Page(503, R"({"ip":1,"vp":2})"), 500, "Error fetching player wallet: "},
      {wallet, Unreachable("Host unreachable"), 500,
       "Error fetching player wallet: Host unreachable"},
      {wallet, Page(200, "ip=1"), 500,
       "Error fetching player wallet: Error deserializing json response for GET " + kWalletUrl},
      {catalog, Page(200, "<html>"), 500, "Couldn't deserialize catalog response: <html>"},
      {catalog, Page(200, R"([{"itemId":"one"}])"), 500,
       R"(Couldn't deserialize catalog response: [{"itemId":"one"}])"},
      {catalog, Unreachable(), 500, "Couldn't deserialize catalog response: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.path) + " answered " + std::to_string(c.answer.status) + " " +
                 c.answer.body);
    storefront = [&](const host::ExternalCall&) { return c.answer; };
    Reply reply = Get(c.path);
    EXPECT_EQ(reply.status, c.status);
    EXPECT_TRUE(reply.error.value_or("<success>").starts_with(c.message))
        << reply.error.value_or("");
  }
  // No failed catalog was kept: the next query fetches.
  storefront = [](const host::ExternalCall&) { return Page(200, kCatalog); };
  ForgetActivity();
  EXPECT_EQ(Items(Get(R"(/qor-store/v1/catalog?inventoryType=["CHAMPION"])")), Texts{"CHAMPION:2"});
  EXPECT_EQ(CatalogFetches(), 1u);
}

TEST_F(PagesTest, WalletAnswersTheStorefrontBalancesEachTime) {
  SetPage(kWalletUrl, Page(200, R"({"ip":1350,"vp":-5,"other":true})"));
  EXPECT_EQ(JsonText(Get("/qor-store/v1/wallet").body), R"({"ip":1350,"vp":-5})");
  (void)Get("/qor-store/v1/wallet");  // not cached: each call asks again
  EXPECT_EQ(ExternalUrls(), (Texts{kWalletUrl, kWalletUrl}));
  EXPECT_TRUE(Published(kWalletUri).empty());
}

TEST_F(PagesTest, CatalogIsFetchedOnceAndFiltered) {
  SetPage(kCatalogUrl, Page(200, kCatalog));
  struct Case {
    const char* query;
    std::vector<std::string> items;
  };
  const Case cases[] = {
      {"", {"CHAMPION_SKIN:1", "CHAMPION:2", "CHAMPION_SKIN:3", "CHAMPION_SKIN:2"}},
      {"?itemId=[1]", {}},
      {R"(?inventoryType=["CHAMPION","CHAMPION_SKIN","CHAMPION"])",
       {"CHAMPION:2", "CHAMPION_SKIN:1", "CHAMPION_SKIN:3", "CHAMPION_SKIN:2", "CHAMPION:2"}},
      {R"(?inventoryType=["CHAMPION_SKIN"]&itemId=[2,1])", {"CHAMPION_SKIN:1", "CHAMPION_SKIN:2"}},
      {R"(?inventoryType=["champion_skin"])", {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.query);
    Reply reply = Get(std::string("/qor-store/v1/catalog") + c.query);
    EXPECT_EQ(reply.body.Kind(), BindingKind::Collection);
    EXPECT_EQ(Items(reply), c.items);
  }
  // The items come back whole.
  Reply one = Get(R"(/qor-store/v1/catalog?inventoryType=["CHAMPION_SKIN"]&itemId=[3])");
  ASSERT_EQ(one.body.Size(), 1u);
  EXPECT_EQ(JsonText(one.body.Element(0).Member("tags")), R"(["new"])");
  // Neither a logout nor a new locale refreshes it.
  Deliver(kRegionLocaleUri, "Update", R"({"locale":"de_DE"})");
  Deliver(kSessionUri, "Delete");
  EXPECT_EQ(Items(Get("/qor-store/v1/catalog")).size(), 4u);
  EXPECT_EQ(CatalogFetches(), 1u);
}

// Only the body decides: an error status with a catalog in the body is a catalog, and kept;
// an empty list is answered but not kept.
TEST_F(PagesTest, CatalogWithAnErrorStatusButAnArrayBodyIsKept) {
  SetPage(kCatalogUrl, Page(200, "[]"));
  EXPECT_EQ(Items(Get("/qor-store/v1/catalog")).size(), 0u);
  SetPage(kCatalogUrl, Page(503, kCatalog));
  EXPECT_EQ(Items(Get("/qor-store/v1/catalog")).size(), 4u);
  SetPage(kCatalogUrl, Page(200, "[]"));
  EXPECT_EQ(Items(Get("/qor-store/v1/catalog")).size(), 4u);
  EXPECT_EQ(CatalogFetches(), 2u);
}

}  // namespace
}  // namespace qor::store_test
