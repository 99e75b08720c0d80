// Storefront pages: the URL each page request forms and how each storefront answer is mapped.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/store/store_fixture.h"

namespace qor::store_test {
namespace {

constexpr const char* kStore = "https://s.example";

class ModulePagesTest : public StoreFixture {
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
TEST_F(ModulePagesTest, UrlTemplatesAreFilledWithEncodedValues) {
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
      {"/qor-store/v1/champions", s + "/storefront/v3/view/champions?language=en_US"},
      {"/qor-store/v1/a-b.c_d~e", s + "/storefront/v3/view/a-b.c_d~e?language=en_US"},
      // A "/" sent percent-encoded inside the segment stays inside it; so do "?" and "#".
      {"/qor-store/v1/a%2Fb", s + "/storefront/v3/view/a%2Fb?language=en_US"},
      {"/qor-store/v1/x%3Fy=1%23z", s + "/storefront/v3/view/x%3Fy%3D1%23z?language=en_US"},
      {"/qor-store/v1/paymentDetails?action=buy", s + "/storefront/v3/payment/buy?language=en_US"},
      {"/qor-store/v1/paymentDetails?action=buy&giftRecipientAccountId=18446744073709551615",
       s + "/storefront/v3/payment/buy?giftrecipientaccountid=18446744073709551615&language=en_US"},
      {"/qor-store/v1/"
       "paymentDetails?action=gift&giftRecipientAccountId=7&giftMessage=hi%20%26%20bye",
       s + "/storefront/v3/payment/gift?giftrecipientaccountid=7&giftmessage=hi%20%26%20bye"
           "&language=en_US"},
      {"/qor-store/v1/"
       "paymentDetails?action=gift&giftRecipientAccountId=7&giftMessage=a%26b%3Dc%23d",
       s + "/storefront/v3/payment/gift?giftrecipientaccountid=7&giftmessage=a%26b%3Dc%23d"
           "&language=en_US"},
      {"/qor-store/v1/paymentDetails?action=b%2Fuy%3Fx",
       s + "/storefront/v3/payment/b%2Fuy%3Fx?language=en_US"},
      // A message without a recipient is not sent.
      {"/qor-store/v1/paymentDetails?action=buy&giftMessage=hello",
       s + "/storefront/v3/payment/buy?language=en_US"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(UrlOf(c.path), c.url);
  }
}

TEST_F(ModulePagesTest, MissingActionMakesNoStorefrontRequest) {
  Reply reply = Get("/qor-store/v1/paymentDetails?giftMessage=x");
  EXPECT_FALSE(reply.Succeeded());
  EXPECT_TRUE(ExternalUrls().empty());
}

TEST_F(ModulePagesTest, TextPagesAnswerTheBodyAsItCame) {
  const std::string html = "<html><body>login &amp; more</body></html>";
  SetPage(std::string(kStore) + "/storefront/v2/login?language=en_US", Page(200, html));
  SetPage(std::string(kStore) + "/storefront/v3/payment/buy?language=en_US",
          Page(299, "{\"a\":1}"));
  SetPage(std::string(kStore) + "/storefront/v3/payment/none?language=en_US", Page(204, ""));

  Reply login = Get("/qor-store/v1/login");
  ASSERT_TRUE(login.Succeeded()) << login.error.value_or("");
  EXPECT_EQ(login.body.GetString(), html);

  // JSON text stays text.
  Reply payment = Get("/qor-store/v1/paymentDetails?action=buy");
  ASSERT_TRUE(payment.Succeeded()) << payment.error.value_or("");
  EXPECT_EQ(payment.body.Kind(), BindingKind::String);
  EXPECT_EQ(payment.body.GetString(), "{\"a\":1}");

  Reply empty = Get("/qor-store/v1/paymentDetails?action=none");
  ASSERT_TRUE(empty.Succeeded()) << empty.error.value_or("");
  EXPECT_EQ(empty.body.Kind(), BindingKind::String);
  EXPECT_EQ(empty.body.GetString(), "");
}

TEST_F(ModulePagesTest, JsonPagesAnswerTheDecodedValue) {
  SetPage(std::string(kStore) + "/storefront/v3/featured?language=en_US",
          Page(200, R"({"groups":[1,2],"title":"Featured"})"));
  Reply reply = Get("/qor-store/v1/featured");
  ASSERT_TRUE(reply.Succeeded()) << reply.error.value_or("");
  EXPECT_EQ(JsonText(reply.body), R"({"groups":[1,2],"title":"Featured"})");
}

TEST_F(ModulePagesTest, EveryRowOfTheResponseMapping) {
  const std::string view = std::string(kStore) + "/storefront/v3/view/p?language=en_US";
  const std::string label = "GET " + view;
  // `message` is the whole message, or its beginning when `whole` is false (the parser's own
  // text follows).
  struct Case {
    const char* name;
    host::ExternalReply answer;
    uint32_t status;
    std::string message;
    bool whole = true;
  };
  host::ExternalReply refused;
  refused.connectionCode = 2;
  refused.status = 0;
  refused.body = "Connection refused";
  host::ExternalReply refusedWith404 = refused;
  refusedWith404.status = 404;
  const Case cases[] = {
      {"not connected", refused, 500, "Could not connect to the server: Connection refused"},
      {"not connected wins over 404", refusedWith404, 500,
       "Could not connect to the server: Connection refused"},
      {"404 whatever the body", Page(404, R"({"valid":"json"})"), 404, "Not found"},
      {"redirect", Page(302, "{}"), 500, "Received an error status from the server: 302 - "},
      // The error text is whatever reading the body gave.
      {"redirect with a text body", Page(302, "moved"), 500,
       "Received an error status from the server: 302 - Error deserializing json response for " +
           label + ": ",
       false},
      {"informational", Page(199, "{}"), 500, "Received an error status from the server: 199 - "},
      {"server error", Page(503, "{}"), 500, "Received an error status from the server: 503 - "},
      {"300", Page(300, "{}"), 500, "Received an error status from the server: 300 - "},
      {"undecodable", Page(200, "{nope"), 500,
       "Could not decode body returned from the server: 200 - Error deserializing json response "
       "for " +
           label + ": ",
       false},
      {"empty where JSON is expected", Page(200, ""), 500,
       "Could not decode body returned from the server: 200 - Error converting response for " +
           label + ": body was empty"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    storefront = [&](const host::ExternalCall&) { return c.answer; };
    Reply reply = Get("/qor-store/v1/p");
    EXPECT_EQ(reply.status, c.status);
    ASSERT_TRUE(reply.error.has_value());
    if (c.whole) {
      EXPECT_EQ(*reply.error, c.message);
    } else {
      EXPECT_EQ(reply.error->substr(0, c.message.size()), c.message);
      EXPECT_TRUE(reply.error->ends_with(" given body " + c.answer.body)) << *reply.error;
    }
  }
}

TEST_F(ModulePagesTest, TextPagesMapFailuresTheSameWay) {
  storefront = [](const host::ExternalCall&) { return Page(404, "<html>missing</html>"); };
  for (const char* path : {"/qor-store/v1/login", "/qor-store/v1/paymentDetails?action=buy"}) {
    SCOPED_TRACE(path);
    Reply reply = Get(path);
    EXPECT_EQ(reply.status, 404u);
    EXPECT_EQ(reply.error.value_or(""), "Not found");
  }
  storefront = [](const host::ExternalCall&) { return Page(302, ""); };
  Reply reply = Get("/qor-store/v1/login");
  EXPECT_EQ(reply.status, 500u);
  EXPECT_EQ(reply.error.value_or(""), "Received an error status from the server: 302 - ");
}

}  // namespace
}  // namespace qor::store_test
