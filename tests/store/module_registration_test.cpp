// The store's endpoint table and start-up, seen from a host: the functions in their order, the
// route each path reaches, and what the store does while it starts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/store/store_fixture.h"

namespace qor::store_test {
namespace {

using ModuleRegistrationTest = StoreFixture;

TEST_F(ModuleRegistrationTest, FourteenFunctionsInTableOrder) {
  StartStore();
  EXPECT_EQ(FunctionNames(), (std::vector<std::string>{
                                 "GetQorStoreV1GetStoreUrl",
                                 "GetQorStoreV1LastPage",
                                 "PostQorStoreV1LastPage",
                                 "GetQorStoreV1Login",
                                 "GetQorStoreV1SkinsBySkinId",
                                 "PostQorStoreV1SkinsBySkinIdPurchase",
                                 "GetQorStoreV1ByPageType",
                                 "GetQorStoreV1PaymentDetails",
                                 "GetQorStoreV1Wallet",
                                 "GetQorStoreV1OrderNotifications",
                                 "GetQorStoreV1OrderNotificationsById",
                                 "DeleteQorStoreV1OrderNotificationsById",
                                 "PostQorStoreV1NotificationsAcknowledge",
                                 "GetQorStoreV1Catalog",
                             }));
}

TEST_F(ModuleRegistrationTest, EachPathReachesItsOwnFunction) {
  StartStore();
  struct Case {
    uint32_t method;
    const char* path;
    const char* function;
  };
  const Case cases[] = {
      {PLUGIN_METHOD_GET, "/qor-store/v1/getStoreUrl", "GetQorStoreV1GetStoreUrl"},
      {PLUGIN_METHOD_GET, "/qor-store/v1/lastPage", "GetQorStoreV1LastPage"},
      {PLUGIN_METHOD_POST, "/qor-store/v1/lastPage", "PostQorStoreV1LastPage"},
      {PLUGIN_METHOD_GET, "/qor-store/v1/login", "GetQorStoreV1Login"},
      {PLUGIN_METHOD_GET, "/qor-store/v1/skins/7", "GetQorStoreV1SkinsBySkinId"},
      {PLUGIN_METHOD_POST, "/qor-store/v1/skins/7/purchase", "PostQorStoreV1SkinsBySkinIdPurchase"},
      {PLUGIN_METHOD_GET, "/qor-store/v1/paymentDetails?action=buy", "GetQorStoreV1PaymentDetails"},
      {PLUGIN_METHOD_GET, "/qor-store/v1/wallet", "GetQorStoreV1Wallet"},
      {PLUGIN_METHOD_GET, "/qor-store/v1/order-notifications", "GetQorStoreV1OrderNotifications"},
      {PLUGIN_METHOD_GET, "/qor-store/v1/order-notifications/3",
       "GetQorStoreV1OrderNotificationsById"},
      {PLUGIN_METHOD_DELETE, "/qor-store/v1/order-notifications/3",
       "DeleteQorStoreV1OrderNotificationsById"},
      {PLUGIN_METHOD_POST, "/qor-store/v1/notifications/acknowledge",
       "PostQorStoreV1NotificationsAcknowledge"},
      {PLUGIN_METHOD_GET, "/qor-store/v1/catalog", "GetQorStoreV1Catalog"},
      // Any other single segment is a page type.
      {PLUGIN_METHOD_GET, "/qor-store/v1/featured", "GetQorStoreV1ByPageType"},
      {PLUGIN_METHOD_GET, "/qor-store/v1/skins", "GetQorStoreV1ByPageType"},
      {PLUGIN_METHOD_GET, "/qor-store/v1/notifications", "GetQorStoreV1ByPageType"},
      {PLUGIN_METHOD_GET, "/qor-store/v1/Wallet", "GetQorStoreV1ByPageType"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(Call(c.method, c.path, "\"x\"").function, c.function);
  }
}

TEST_F(ModuleRegistrationTest, OtherMethodsReachNoStoreFunction) {
  StartStore();
  EXPECT_EQ(Call(PLUGIN_METHOD_PUT, "/qor-store/v1/lastPage").function, "");
  EXPECT_EQ(Call(PLUGIN_METHOD_DELETE, "/qor-store/v1/lastPage").function, "");
  EXPECT_EQ(Call(PLUGIN_METHOD_POST, "/qor-store/v1/order-notifications/3").function, "");
  EXPECT_EQ(Call(PLUGIN_METHOD_GET, "/qor-store/v1/skins/7/parts").function, "");
}

TEST_F(ModuleRegistrationTest, LastPageIsFeaturedUntilSetAndAgainWhenSetEmpty) {
  StartStore();
  auto lastPage = [&] {
    Reply reply = Get("/qor-store/v1/lastPage");
    EXPECT_TRUE(reply.Succeeded()) << reply.error.value_or("");
    return std::string(reply.body.GetString());
  };
  EXPECT_EQ(lastPage(), "featured");

  Reply set = Call(PLUGIN_METHOD_POST, "/qor-store/v1/lastPage", "\"skins\"");
  ASSERT_TRUE(set.Succeeded()) << set.error.value_or("");
  EXPECT_TRUE(set.body.IsEmpty());
  EXPECT_EQ(lastPage(), "skins");

  // A logout does not reset it.
  Deliver(kSessionUri, "Delete");
  EXPECT_EQ(lastPage(), "skins");

  ASSERT_TRUE(Call(PLUGIN_METHOD_POST, "/qor-store/v1/lastPage", "\"\"").Succeeded());
  EXPECT_EQ(lastPage(), "featured");
}

TEST_F(ModuleRegistrationTest, StartWithoutSessionFetchesNothingAndUsesEmptyUrlAndLocale) {
  StartStore();
  EXPECT_TRUE(LcdsCalls().empty());
  EXPECT_TRUE(ExternalUrls().empty());
  EXPECT_TRUE(Published(StoreFixture::kStoreUrlUri).empty());

  (void)Get("/qor-store/v1/wallet");
  (void)Get("/qor-store/v1/login");
  EXPECT_EQ(ExternalUrls(), (std::vector<std::string>{"/storefront/v2/wallet?language=",
                                                      "/storefront/v2/login?language="}));
}

TEST_F(ModuleRegistrationTest, StartWithUsableSessionPublishesUrlAndWalletBeforeLocaleArrives) {
  SetResource(kSessionUri, SessionJson("SUCCEEDED", 11, 22, "tok"));
  SetResource(kRegionLocaleUri, R"({"locale":"en_US","region":"NA"})");
  SetResource(kPlatformIdUri, R"("NA1")");
  storeUrlReply = "https://store.example/";
  SetPage("https://store.example/storefront/v2/wallet?language=", Page(200, R"({"ip":5,"vp":6})"));
  StartStore();

  ASSERT_EQ(LcdsCalls().size(), 1u);
  EXPECT_EQ(LcdsCalls()[0].destination, "loginService");
  EXPECT_EQ(LcdsCalls()[0].method, "getStoreUrl");
  EXPECT_EQ(LcdsCalls()[0].parameters.Size(), 0u);

  ASSERT_EQ(Published(StoreFixture::kStoreUrlUri).size(), 1u);
  EXPECT_EQ(Published(StoreFixture::kStoreUrlUri)[0].GetString(), "https://store.example");
  ASSERT_EQ(Published(StoreFixture::kWalletUri).size(), 1u);
  EXPECT_EQ(JsonText(Published(StoreFixture::kWalletUri)[0]), R"({"ip":5,"vp":6})");

  const std::vector<host::ExternalCall> calls = ExternalCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].url, "https://store.example/storefront/v2/wallet?language=");
  EXPECT_EQ(calls[0].timeLimit, 20u);
  bool authorised = false;
  for (const auto& [name, value] : calls[0].headers) {
    if (name == "Authorization") authorised = value == "Bearer tok";
  }
  EXPECT_TRUE(authorised);

  // The locale and platform id came in after the wallet, and are used from then on.
  ForgetActivity();
  (void)Get("/qor-store/v1/catalog");
  EXPECT_EQ(ExternalUrls(),
            std::vector<std::string>{
                "https://store.example/storefront/v1/catalog?region=NA1&language=en_US"});
}

}  // namespace
}  // namespace qor::store_test
