// Skin lookup through the catalog, purchase through the store proxy, and acknowledgement of
// dialog messages through the legacy service.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/store/store_fixture.h"

namespace qor::store_test {
namespace {

constexpr const char* kCatalogUrl = "/storefront/v1/catalog?region=&language=";

class PurchaseTest : public StartedStore {
 protected:
  Reply Purchase(std::string_view skinId, std::string_view cost) {
    return Call(PLUGIN_METHOD_POST, "/qor-store/v1/skins/" + std::string(skinId) + "/purchase",
                cost);
  }
  Reply Acknowledge(std::string_view body) {
    return Call(PLUGIN_METHOD_POST, "/qor-store/v1/notifications/acknowledge", body);
  }
  // The account id the store sends now, in a purchase and in an acknowledgement.
  std::pair<uint64_t, uint64_t> AccountIdsSent() {
    proxyRequests.clear();
    ForgetActivity();
    EXPECT_TRUE(Purchase("1", R"({"currency":"RP","cost":1})").Succeeded());
    EXPECT_TRUE(Acknowledge(R"("m")").Succeeded());
    if (proxyRequests.size() != 1 || LcdsCalls().size() != 1) return {99, 99};
    return {proxyRequests[0][3].Member("accountId").GetUnsigned(),
            LcdsCalls()[0].parameters.Element(0).Member("accountId").GetUnsigned()};
  }
};

TEST_F(PurchaseTest, SkinIsTheOneCatalogMatchUnderChampionSkin) {
  // A catalog that does not decode: its failure is the answer, and nothing is kept.
  SetPage(kCatalogUrl, Page(200, "not a catalog"));
  Reply failed = Get("/qor-store/v1/skins/1");
  EXPECT_EQ(failed.status, 500u);
  EXPECT_EQ(failed.error, "Couldn't deserialize catalog response: not a catalog");
  SetPage(kCatalogUrl, Page(200, R"([
    {"itemId": 1, "inventoryType": "CHAMPION_SKIN", "iconUrl": "one.png"},
    {"itemId": 2, "inventoryType": "CHAMPION"},
    {"itemId": 3, "inventoryType": "CHAMPION_SKIN"},
    {"itemId": 3, "inventoryType": "CHAMPION_SKIN", "tags": ["again"]},
    {"itemId": -4, "inventoryType": "CHAMPION_SKIN"}])"));
  struct Case {
    const char* skinId;
    bool found;
  };
  // 2: listed under another inventory type only; 3: listed twice; 9: not listed.
  const Case cases[] = {{"1", true}, {"-4", true}, {"2", false}, {"3", false}, {"9", false}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.skinId);
    Reply reply = Get(std::string("/qor-store/v1/skins/") + c.skinId);
    if (c.found) {
      ASSERT_TRUE(reply.Succeeded()) << *reply.error;
      EXPECT_EQ(reply.body.Member("itemId").ToText(), c.skinId);
    } else {
      EXPECT_EQ(reply.status, 500u);
      EXPECT_EQ(reply.error, "Did not find a single match for the skin");
    }
  }
  // The first good lookup fetched the catalog; the others used the cached copy.
  EXPECT_EQ(ExternalUrls(), (Texts{kCatalogUrl, kCatalogUrl}));
}

TEST_F(PurchaseTest, PurchaseSendsTheSixMemberArgument) {
  proxyAnswer.payload = R"({"transactionId":"t-1"})";
  Reply reply = Purchase("-7", R"({"currency":"RP","cost":-975,"discount":0.5})");
  ASSERT_TRUE(reply.Succeeded()) << *reply.error;
  EXPECT_TRUE(reply.body.IsEmpty());

  ASSERT_EQ(proxyRequests.size(), 1u);
  const std::vector<BindingProperty>& request = proxyRequests[0];
  ASSERT_EQ(request.size(), 4u);
  EXPECT_EQ(request[0].GetString(), "store.zuvstoreproxy");
  EXPECT_EQ(request[1].GetString(), "purchaseItem");
  EXPECT_EQ(request[2].ToText(), std::to_string(kPluginHandle));
  // Logged out: account id 0. The discount is not sent; the cost is a negative integer.
  EXPECT_EQ(JsonText(request[3]), R"({"accountId":0,"cost":-975,"currencyType":"RP","itemId":-7,)"
                                  R"("itemType":"CHAMPION_SKIN","quantity":1})");
  EXPECT_EQ(request[3].Member("accountId").Kind(), BindingKind::Unsigned);
  EXPECT_EQ(request[3].Member("itemId").Kind(), BindingKind::Signed);

  // One telemetry event with every value in decimal text.
  ASSERT_EQ(telemetry.size(), 1u);
  EXPECT_EQ(JsonText(telemetry[0]), R"({"cost":"-975","currencyType":"RP","skinId":"-7"})");
  // The purchase touches neither the wallet nor the catalog.
  EXPECT_TRUE(ExternalUrls().empty());
  EXPECT_TRUE(Published(kWalletUri).empty());
}

TEST_F(PurchaseTest, AFailedTelemetrySendLeavesThePurchaseASuccess) {
  telemetryFails = true;
  proxyAnswer.payload = "{}";
  Reply reply = Purchase("5", R"({"currency":"IP","cost":450})");
  ASSERT_TRUE(reply.Succeeded()) << *reply.error;
  EXPECT_EQ(telemetry.size(), 1u);
  EXPECT_EQ(LogSince("Purchased"), (std::vector<Line>{{3, "Purchased skin 5"}}));
}

// A failed purchase answers 500 with the failure's message (its beginning here: a decoding
// failure goes on with the reader's text) and logs it, except the generic one; no telemetry.
TEST_F(PurchaseTest, FailedPurchasesAnswer500WithoutTelemetry) {
  const std::pair<ProxyAnswer, std::string> cases[] = {
      {{R"({"errorCode":5,"errorMessage":"Not enough RP"})", ""}, "Not enough RP"},
      {{R"({"errorCode":"X"})", ""}, "Internal server error"},
      {{"", "Service unavailable"}, "Service unavailable"},
      {{"<html>", ""}, "Failed to deserialize response payload \"<html>\""},
  };
  for (const auto& [answer, message] : cases) {
    SCOPED_TRACE(message);
    proxyAnswer = answer;
    ForgetActivity();
    Reply reply = Purchase("21", R"({"currency":"RP","cost":975})");
    EXPECT_EQ(reply.status, 500u);
    const std::string error = reply.error.value_or("<success>");
    EXPECT_TRUE(error.starts_with(message)) << error;
    const std::string logged = message == "Internal server error" ? "" : error;
    EXPECT_EQ(LogSince("Failed"),
              (std::vector<Line>{{2, "Failed to purchase skin 21: " + logged}}));
  }
  EXPECT_TRUE(telemetry.empty());
}

TEST_F(PurchaseTest, AcknowledgeSendsTheIdUnchangedAsAnAck) {
  Reply reply = Acknowledge(R"("  spaced id ")");
  ASSERT_TRUE(reply.Succeeded()) << *reply.error;
  EXPECT_TRUE(reply.body.IsEmpty());
  ASSERT_EQ(LcdsCalls().size(), 1u);
  EXPECT_EQ(LcdsCalls()[0].destination, "clientFacadeService");
  EXPECT_EQ(LcdsCalls()[0].method, "callPersistenceMessaging");
  EXPECT_EQ(
      JsonText(LcdsCalls()[0].parameters),
      R"([{"__class":"com.vaxoworks.platform.messaging.persistence.)"
      R"(SimpleDialogMessageResponse","accountId":0,"command":"ack","msgId":"  spaced id "}])");
  EXPECT_EQ(LogSince(),
            (std::vector<Line>{{3, "Acknowledged qor-store notification with id:  spaced id "}}));
}

// A failure carries the call's message, which the legacy-service layer always begins with the
// request it made: never empty, so "Internal server error" cannot be the answer here.
TEST_F(PurchaseTest, AFailedAcknowledgeAnswers500WithTheCallsMessageAndIsNotRetried) {
  invokeError = "";
  Reply reply = Acknowledge(R"("abc")");
  EXPECT_EQ(reply.status, 500u);
  EXPECT_EQ(reply.error, "Error response for POST /qor-login/v1/session/invoke: ");
  EXPECT_EQ(LogSince(),
            (std::vector<Line>{{2, "Failed to acknowledge qor-store notification with id:abc"}}));
  EXPECT_EQ(LcdsCalls().size(), 1u);
}

// The account id comes from the session: a LOGGING_OUT update keeps it, a Delete sets it to 0.
TEST_F(PurchaseTest, TheAccountIdFollowsTheSession) {
  proxyAnswer.payload = "{}";
  storeUrlReply = "https://s.example";
  EXPECT_EQ(AccountIdsSent(), (std::pair<uint64_t, uint64_t>{0, 0}));
  Deliver(kSessionUri, "Update", SessionJson("SUCCEEDED", 5, 4200000000123, "token"));
  EXPECT_EQ(AccountIdsSent(), (std::pair<uint64_t, uint64_t>{4200000000123, 4200000000123}));
  Deliver(kSessionUri, "Update", SessionJson("LOGGING_OUT", 5, 4200000000123, "token"));
  EXPECT_EQ(AccountIdsSent(), (std::pair<uint64_t, uint64_t>{4200000000123, 4200000000123}));
  Deliver(kSessionUri, "Delete");
  EXPECT_EQ(AccountIdsSent(), (std::pair<uint64_t, uint64_t>{0, 0}));
}

}  // namespace
}  // namespace qor::store_test
