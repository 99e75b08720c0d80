// Skin lookup through the catalog and purchase through the store proxy.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/store/store2_support.h"

namespace qor::store_test {
namespace {

constexpr const char* kCatalogUrl = "/storefront/v1/catalog?region=&language=";

constexpr const char* kCatalog = R"([
  {"itemId": 1, "inventoryType": "CHAMPION_SKIN", "iconUrl": "one.png"},
  {"itemId": 2, "inventoryType": "CHAMPION"},
  {"itemId": 3, "inventoryType": "CHAMPION_SKIN"},
  {"itemId": 3, "inventoryType": "CHAMPION_SKIN", "tags": ["again"]},
  {"itemId": -4, "inventoryType": "CHAMPION_SKIN"}
])";

class PurchaseTest : public Store2Fixture {
 protected:
  void SetUp() override {
    Store2Fixture::SetUp();
    StartStore();
    ForgetLog();
  }

  Reply Purchase(std::string_view skinId, std::string_view cost) {
    return Call(PLUGIN_METHOD_POST, "/qor-store/v1/skins/" + std::string(skinId) + "/purchase",
                cost);
  }
};

TEST_F(PurchaseTest, SkinIsTheOneCatalogMatchUnderChampionSkin) {
  SetPage(kCatalogUrl, Page(200, kCatalog));
  struct Case {
    const char* skinId;
    const char* item;  // the item's JSON; nullptr for "no single match"
  };
  const Case cases[] = {
      {"1", R"({"iconUrl":"one.png","inventoryType":"CHAMPION_SKIN","itemId":1})"},
      {"-4", R"({"inventoryType":"CHAMPION_SKIN","itemId":-4})"},
      {"2", nullptr},  // listed under another inventory type only
      {"3", nullptr},  // listed twice
      {"9", nullptr},  // not listed
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.skinId);
    Reply reply = Get(std::string("/qor-store/v1/skins/") + c.skinId);
    EXPECT_EQ(reply.function, "GetQorStoreV1SkinsBySkinId");
    if (c.item != nullptr) {
      ASSERT_TRUE(reply.Succeeded()) << *reply.error;
      // Fields the catalog did not give are written as null.
      EXPECT_EQ(reply.body.Member("itemId").ToText(), Json(c.item).Member("itemId").ToText());
      EXPECT_EQ(reply.body.Member("iconUrl"), Json(c.item).Member("iconUrl"));
    } else {
      EXPECT_EQ(reply.status, 500u);
      EXPECT_EQ(reply.error, "Did not find a single match for the skin");
    }
  }
  // The first lookup fetched the catalog; the others used the cached copy.
  EXPECT_EQ(ExternalUrls(), std::vector<std::string>{kCatalogUrl});
}

TEST_F(PurchaseTest, SkinLookupPassesTheCatalogFailureOn) {
  SetPage(kCatalogUrl, Page(200, "not a catalog"));
  Reply reply = Get("/qor-store/v1/skins/1");
  EXPECT_EQ(reply.status, 500u);
  EXPECT_EQ(reply.error, "Couldn't deserialize catalog response: not a catalog");
}

TEST_F(PurchaseTest, PurchaseSendsTheSixMemberArgument) {
  proxyAnswer.payload = R"({"transactionId":"t-1"})";
  Reply reply = Purchase("7", R"({"currency":"RP","cost":-975,"discount":0.5})");
  ASSERT_TRUE(reply.Succeeded()) << *reply.error;
  EXPECT_EQ(reply.function, "PostQorStoreV1SkinsBySkinIdPurchase");
  EXPECT_TRUE(reply.body.IsEmpty());

  ASSERT_EQ(proxyRequests.size(), 1u);
  const std::vector<BindingProperty>& request = proxyRequests[0];
  ASSERT_EQ(request.size(), 4u);
  EXPECT_EQ(request[0].GetString(), "store.zuvstoreproxy");
  EXPECT_EQ(request[1].GetString(), "purchaseItem");
  EXPECT_EQ(request[2].ToText(), std::to_string(kPluginHandle));
  // Logged out: account id 0. The discount is not sent; the cost is a negative integer.
  EXPECT_EQ(JsonText(request[3]), R"({"accountId":0,"cost":-975,"currencyType":"RP","itemId":7,)"
                                  R"("itemType":"CHAMPION_SKIN","quantity":1})");
  EXPECT_EQ(request[3].Member("accountId").Kind(), BindingKind::Unsigned);
  EXPECT_EQ(request[3].Member("itemId").Kind(), BindingKind::Signed);

  // One telemetry event with every value in decimal text.
  ASSERT_EQ(telemetry.size(), 1u);
  EXPECT_EQ(JsonText(telemetry[0]), R"({"cost":"-975","currencyType":"RP","skinId":"7"})");
  EXPECT_EQ(LogLinesStarting("Purchased skin"), (std::vector<Line>{{3, "Purchased skin 7"}}));
  EXPECT_TRUE(LogLinesStarting("Failed to purchase").empty());
  // The purchase touches neither the wallet nor the catalog.
  EXPECT_TRUE(ExternalUrls().empty());
  EXPECT_TRUE(Published(kWalletUri).empty());
}

TEST_F(PurchaseTest, NegativeSkinIdsAreReportedWithTheirSign) {
  proxyAnswer.payload = "{}";
  Reply reply = Purchase("-12", R"({"currency":"IP","cost":450})");
  ASSERT_TRUE(reply.Succeeded()) << *reply.error;
  ASSERT_EQ(proxyRequests.size(), 1u);
  EXPECT_EQ(proxyRequests[0][3].Member("itemId").GetSigned(), -12);
  ASSERT_EQ(telemetry.size(), 1u);
  EXPECT_EQ(JsonText(telemetry[0]), R"({"cost":"450","currencyType":"IP","skinId":"-12"})");
}

TEST_F(PurchaseTest, PurchaseSendsTheLoggedInAccount) {
  StopStore();
  SetResource(kSessionUri, SessionJson("SUCCEEDED", 5, 4200000000123, "token"));
  StartStore();
  proxyAnswer.payload = "{}";
  ASSERT_TRUE(Purchase("1", R"({"currency":"RP","cost":1})").Succeeded());
  ASSERT_EQ(proxyRequests.size(), 1u);
  EXPECT_EQ(proxyRequests[0][3].Member("accountId").GetUnsigned(), 4200000000123u);
}

TEST_F(PurchaseTest, FailedPurchasesAnswer500WithoutTelemetry) {
  struct Case {
    const char* name;
    ProxyAnswer answer;
    std::string message;
  };
  const Case cases[] = {
      {"reply with errorCode",
       {R"({"errorCode":5,"errorMessage":"Not enough RP"})", ""},
       "Not enough RP"},
      {"errorCode 0", {R"({"errorCode":0,"errorMessage":"Item owned"})", ""}, "Item owned"},
      {"errorCode without message", {R"({"errorCode":"X"})", ""}, "Internal server error"},
      {"proxy error", {"", "Service unavailable"}, "Service unavailable"},
      {"payload not JSON", {"<html>", ""}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    proxyAnswer = c.answer;
    ForgetLog();
    telemetry.clear();
    Reply reply = Purchase("21", R"({"currency":"RP","cost":975})");
    EXPECT_EQ(reply.status, 500u);
    ASSERT_TRUE(reply.error.has_value());
    if (c.message.empty()) {
      EXPECT_TRUE(reply.error->starts_with("Failed to deserialize response payload \"<html>\""))
          << *reply.error;
    } else {
      EXPECT_EQ(*reply.error, c.message);
    }
    const std::string logged = c.message == "Internal server error" ? "" : *reply.error;
    EXPECT_EQ(LogLinesStarting("Failed to purchase skin"),
              (std::vector<Line>{{2, "Failed to purchase skin 21: " + logged}}));
    EXPECT_TRUE(LogLinesStarting("Purchased skin").empty());
    EXPECT_TRUE(telemetry.empty());
  }
}

}  // namespace
}  // namespace qor::store_test
