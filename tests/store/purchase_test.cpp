// Skin lookup through the catalog, purchase through the store proxy, and acknowledgement of
// dialog messages through the legacy service.
#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "tests/store/store_fixture.h"

namespace qor::store_test {
namespace {

constexpr const char* kCatalogUrl = "/storefront/v1/catalog?region=&language=";
constexpr std::string_view kProxyRoute = "/qor-login/v1/service-proxy-uuid-requests";
constexpr std::string_view kTelemetryRoute = "/telemetry/v1/events/ukp-be-qor-store.purchase-skin";

class PurchaseTest : public StartedStore {
 protected:
  Reply Purchase(std::string_view skinId, std::string_view cost) {
    return Call(PLUGIN_METHOD_POST, "/qor-store/v1/skins/" + std::string(skinId) + "/purchase",
                cost);
  }
  Reply Acknowledge(std::string_view body) {
    return Call(PLUGIN_METHOD_POST, "/qor-store/v1/notifications/acknowledge", body);
  }
};

TEST_F(PurchaseTest, SkinIsTheOneCatalogMatchUnderChampionSkin) {
  SetPage(kCatalogUrl, Page(200, R"([
    {"itemId": 1, "inventoryType": "CHAMPION_SKIN", "iconUrl": "one.png"},
    {"itemId": 2, "inventoryType": "CHAMPION"},
    {"itemId": 3, "inventoryType": "CHAMPION_SKIN"},
    {"itemId": 3, "inventoryType": "CHAMPION_SKIN", "tags": ["again"]}])"));
  // 2: listed under another inventory type only; 3: listed twice.
  for (const char* skinId : {"1", "2", "3"}) {
    SCOPED_TRACE(skinId);
    Reply reply = Get(std::string("/qor-store/v1/skins/") + skinId);
    EXPECT_EQ(reply.Succeeded() ? reply.body.Member("iconUrl").ToText() : *reply.error,
              skinId == std::string("1") ? "one.png" : "Did not find a single match for the skin");
  }
  // The first lookup fetched the catalog; the others used the cached copy.
  EXPECT_EQ(ExternalUrls(), Texts{kCatalogUrl});
}

// A failed telemetry send leaves the purchase a success.
TEST_F(PurchaseTest, PurchaseSendsTheSixMemberArgumentAndTelemetry) {
  postsFail = true;
  proxyPayload = R"({"transactionId":"t-1"})";
  Reply reply = Purchase("-7", R"({"currency":"RP","cost":-975,"discount":0.5})");
  ASSERT_TRUE(reply.Succeeded() && reply.body.IsEmpty()) << reply.error.value_or("");

  // Logged out: account id 0. The discount is not sent; the cost is a negative integer. The
  // plug-in's handle names the caller.
  ASSERT_EQ(Sent(kProxyRoute).size(), 1u);
  EXPECT_EQ(JsonText(Sent(kProxyRoute)[0]),
            R"("store.zuvstoreproxy" "purchaseItem" 9 {"accountId":0,"cost":-975,)"
            R"("currencyType":"RP","itemId":-7,"itemType":"CHAMPION_SKIN","quantity":1})");
  // One telemetry event with every value in decimal text.
  ASSERT_EQ(Sent(kTelemetryRoute).size(), 1u);
  EXPECT_EQ(JsonText(Sent(kTelemetryRoute)[0]),
            R"({"cost":"-975","currencyType":"RP","skinId":"-7"})");
}

// A failed purchase answers 500 with the failure's message and logs it, except the generic
// one; no telemetry.
TEST_F(PurchaseTest, FailedPurchasesAnswer500WithoutTelemetry) {
  // The proxy's payload and error, and the answer's message.
  const std::tuple<std::string, std::string, std::string> cases[] = {
      {R"({"errorCode":5,"errorMessage":"Not enough RP"})", "", "Not enough RP"},
      {R"({"errorCode":"X"})", "", "Internal server error"},
      {"", "Service unavailable", "Service unavailable"},
  };
  for (const auto& [payload, error, message] : cases) {
    SCOPED_TRACE(message);
    proxyPayload = payload;
    proxyError = error;
    Reply reply = Purchase("21", R"({"currency":"RP","cost":975})");
    EXPECT_EQ(std::to_string(reply.status) + " " + reply.error.value_or(""), "500 " + message);
    const std::string logged = message == "Internal server error" ? "" : message;
    EXPECT_EQ(Log().back(), "2 Failed to purchase skin 21: " + logged);
  }
  EXPECT_TRUE(Sent(kTelemetryRoute).empty());
}

// A failure carries the call's message, which the legacy-service layer always begins with the
// request it made: never empty, so "Internal server error" cannot be the answer here.
TEST_F(PurchaseTest, AcknowledgeSendsTheIdUnchangedAsAnAckAndAFailureAnswers500) {
  ASSERT_TRUE(Acknowledge(R"("  spaced id ")").Succeeded());
  ASSERT_EQ(Sent(kLcdsRoute).size(), 1u);
  EXPECT_EQ(JsonText(Sent(kLcdsRoute)[0]),
            R"("clientFacadeService" "callPersistenceMessaging" [{"__class":)"
            R"("com.vaxoworks.platform.messaging.persistence.SimpleDialogMessageResponse",)"
            R"("accountId":0,"command":"ack","msgId":"  spaced id "}])");
  EXPECT_EQ(Log(), Texts{"3 Acknowledged qor-store notification with id:  spaced id "});

  invokeError = "";
  Reply reply = Acknowledge(R"("abc")");
  EXPECT_EQ(reply.status, 500u);
  EXPECT_EQ(reply.error, "Error response for POST /qor-login/v1/session/invoke: ");
  EXPECT_EQ(Log().back(), "2 Failed to acknowledge qor-store notification with id:abc");
  EXPECT_EQ(Sent(kLcdsRoute).size(), 2u);  // not retried
}

// The account id comes from the session: a LOGGING_OUT update keeps it, a Delete sets it to 0.
TEST_F(PurchaseTest, TheAccountIdFollowsTheSession) {
  proxyPayload = "{}";
  storeUrlReply = "https://s.example";
  // The account id the store sends now, in a purchase and in an acknowledgement.
  auto accountIdsSent = [&] {
    ForgetActivity();
    EXPECT_TRUE(Purchase("1", R"({"currency":"RP","cost":1})").Succeeded());
    EXPECT_TRUE(Acknowledge(R"("m")").Succeeded());
    if (Sent(kProxyRoute).size() != 1 || Sent(kLcdsRoute).size() != 1) return std::string();
    return Sent(kProxyRoute)[0][3].Member("accountId").ToText() + " " +
           Sent(kLcdsRoute)[0][2].Element(0).Member("accountId").ToText();
  };
  EXPECT_EQ(accountIdsSent(), "0 0");
  Deliver(kSessionUri, "Update", SessionJson("SUCCEEDED", 5, 4200000000123, "token"));
  EXPECT_EQ(accountIdsSent(), "4200000000123 4200000000123");
  Deliver(kSessionUri, "Update", SessionJson("LOGGING_OUT", 5, 4200000000123, "token"));
  EXPECT_EQ(accountIdsSent(), "4200000000123 4200000000123");
  Deliver(kSessionUri, "Delete");
  EXPECT_EQ(accountIdsSent(), "0 0");
}

}  // namespace
}  // namespace qor::store_test
