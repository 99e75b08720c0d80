// Storefront pages, the wallet and the catalog: the URL each request forms and how each
// storefront answer is mapped.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
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
  // "TYPE:id" of each item the catalog endpoint lists for `query`, in order.
  std::vector<std::string> Items(std::string_view query) {
    std::vector<std::string> items;
    const Reply catalog = Get("/qor-store/v1/catalog" + std::string(query));
    for (const BindingProperty& item : catalog.body.Elements()) {
      items.push_back(std::string(item.Member("inventoryType").GetString()) + ":" +
                      item.Member("itemId").ToText());
    }
    return items;
  }
};

// Values are percent-encoded (all but RFC 3986's unreserved characters), so that none can end
// the URL, add a parameter or change the path; plain values read as they are.
TEST_F(PagesTest, UrlTemplatesAreFilledWithEncodedValues) {
  const std::string s = kStore;
  const std::pair<const char*, std::string> cases[] = {
      // Only the exact lower-case "featured" is the featured page. A "/" sent percent-encoded
      // inside the segment stays inside it; so do "?" and "#".
      {"/qor-store/v1/Featured-._~%2Fy%3Fz=1%23",
       s + "/storefront/v3/view/Featured-._~%2Fy%3Fz%3D1%23?language=en_US"},
      {"/qor-store/v1/"
       "paymentDetails?action=gift&giftRecipientAccountId=7&giftMessage=a%26b%3Dc%23d%20e",
       s + "/storefront/v3/payment/gift?giftrecipientaccountid=7&giftmessage=a%26b%3Dc%23d%20e"
           "&language=en_US"},
      {"/qor-store/v1/paymentDetails?action=buy&giftRecipientAccountId=18446744073709551615",
       s + "/storefront/v3/payment/buy?giftrecipientaccountid=18446744073709551615&language=en_US"},
      // A message without a recipient is not sent.
      {"/qor-store/v1/paymentDetails?action=b%2Fuy&giftMessage=hello",
       s + "/storefront/v3/payment/b%2Fuy?language=en_US"},
      {"/qor-store/v1/paymentDetails?giftMessage=x", ""},  // no action: no request
  };
  for (const auto& [path, url] : cases) {
    SCOPED_TRACE(path);
    ForgetActivity();
    (void)Get(path);
    EXPECT_EQ(ExternalUrls(), url.empty() ? Texts() : Texts{url});
  }
}

TEST_F(PagesTest, TextPagesAnswerTheBodyAsItCameJsonPagesTheValueAndTheWalletItsBalances) {
  const std::string html = "<html><body>login &amp; more</body></html>";
  SetPage(kStore + "/storefront/v2/login?language=en_US", Page(200, html));
  SetPage(kStore + "/storefront/v3/payment/buy?language=en_US", Page(299, R"({"a":1})"));
  SetPage(kStore + "/storefront/v3/featured?language=en_US",
          Page(200, R"({"groups":[1,2],"title":"Featured"})"));

  EXPECT_EQ(Get("/qor-store/v1/login").body.GetString(), html);
  // JSON text stays text.
  EXPECT_EQ(JsonText(Get("/qor-store/v1/paymentDetails?action=buy").body), R"("{\"a\":1}")");
  EXPECT_EQ(JsonText(Get("/qor-store/v1/featured").body), R"({"groups":[1,2],"title":"Featured"})");
  // The wallet takes its two balances, asked for again each time, and is not published.
  SetPage(kWalletUrl, Page(200, R"({"ip":1350,"vp":-5,"other":true})"));
  ForgetActivity();
  EXPECT_EQ(JsonText(Get("/qor-store/v1/wallet").body), R"({"ip":1350,"vp":-5})");
  (void)Get("/qor-store/v1/wallet");
  EXPECT_EQ(ExternalUrls(), (Texts{kWalletUrl, kWalletUrl}));
  EXPECT_TRUE(Published(kWalletUri).empty());
}

// How each endpoint maps a failed storefront answer: the status, and the message's beginning
// (the readers' own texts follow some of them).
TEST_F(PagesTest, FailedAnswersMapToTheEndpointsMessages) {
  host::ExternalReply refusedWith404 = Unreachable();
  refusedWith404.status = 404;
  const std::string refused = "500 Could not connect to the server: Connection refused";
  // The path (under /qor-store/v1/), the answer, and the status and message's beginning.
  const std::tuple<const char*, host::ExternalReply, std::string> cases[] = {
      {"p", Unreachable(), refused},
      {"login", Unreachable(), refused},  // a text page maps like a JSON page
      {"p", refusedWith404, refused},     // not connected wins over 404
      {"p", Page(404, R"({"valid":"json"})"), "404 Not found"},
      {"p", Page(302, "moved"), "500 Received an error status from the server: 302 - Error"},
      {"p", Page(200, "{nope"),
       "500 Could not decode body returned from the server: 200 - Error deserializing json"},
      // The wallet answers the error text only: a 503 has none.
      {"wallet", Page(503, R"({"ip":1,"vp":2})"), "500 Error fetching player wallet: "},
      {"wallet", Page(200, "ip=1"),
       "500 Error fetching player wallet: Error deserializing json response for GET " + kWalletUrl},
      {"catalog", Page(200, R"([{"itemId":"one"}])"),
       R"(500 Couldn't deserialize catalog response: [{"itemId":"one"}])"},
  };
  for (const auto& [path, answer, message] : cases) {
    SCOPED_TRACE(std::string(path) + " answered " + std::to_string(answer.status));
    storefront = [&](const host::ExternalCall&) { return answer; };
    Reply reply = Get("/qor-store/v1/" + std::string(path));
    const std::string text = std::to_string(reply.status) + " " + reply.error.value_or("");
    EXPECT_TRUE(text.starts_with(message)) << text;
  }
  // No failed catalog was kept: the next query fetches. Items are listed by type, in the
  // order (and as often) the query names the types.
  storefront = [](const host::ExternalCall&) { return Page(200, kCatalog); };
  ForgetActivity();
  EXPECT_EQ(
      Items(R"(?inventoryType=["CHAMPION","CHAMPION_SKIN","CHAMPION"])"),
      (Texts{"CHAMPION:2", "CHAMPION_SKIN:1", "CHAMPION_SKIN:3", "CHAMPION_SKIN:2", "CHAMPION:2"}));
  EXPECT_EQ(ExternalUrls(), Texts{kCatalogUrl});
}

// Only the body decides: an error status with a catalog in the body is a catalog, and kept
// (neither a logout nor a new locale refreshes it); an empty list is answered but not kept.
TEST_F(PagesTest, CatalogWithAnErrorStatusButAnArrayBodyIsKept) {
  SetPage(kCatalogUrl, Page(200, "[]"));
  EXPECT_EQ(Items("").size(), 0u);
  SetPage(kCatalogUrl, Page(503, kCatalog));
  EXPECT_EQ(Items("").size(), 4u);
  SetPage(kCatalogUrl, Page(200, "[]"));
  Deliver(kRegionLocaleUri, "Update", R"({"locale":"de_DE"})");
  Deliver(kSessionUri, "Delete");
  EXPECT_EQ(Items(R"(?inventoryType=["CHAMPION_SKIN"]&itemId=[2,1])"),
            (Texts{"CHAMPION_SKIN:1", "CHAMPION_SKIN:2"}));
  EXPECT_EQ(ExternalUrls(), (Texts{kCatalogUrl, kCatalogUrl}));
}

}  // namespace
}  // namespace qor::store_test
