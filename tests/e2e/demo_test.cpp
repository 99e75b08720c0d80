// Tests of the demo's pieces inside qor-host: the scenario's "storefront", the simulated store
// proxy and the pushes it makes, and finding examples/demo.
#include "host/storefront/demo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "api/host_abi.h"
#include "host/json_value.h"
#include "tests/e2e/host_process.h"

namespace qor::host {
namespace {

using ::testing::EndsWith;
using ::testing::HasSubstr;
using ::testing::StartsWith;

constexpr const char* kCatalog = R"([
  {"itemId": 1001, "inventoryType": "CHAMPION_SKIN", "prices": [{"currency": "VP", "cost": 1350}]},
  {"itemId": 1002, "inventoryType": "CHAMPION_SKIN", "prices": [{"currency": "IP", "cost": 3900}]}
])";

std::string Json(const BindingProperty& value) {
  MaybeType<Failure, std::string> json = PropertyToJson(value);
  return json ? *json : "<unwritable>";
}

// The purchase argument as the store builds it: accountId unsigned, the other numbers signed.
BindingProperty PurchasePayload(int64_t itemId, std::string_view currency, int64_t cost) {
  BindingProperty payload;
  payload.SetStructure(6);
  payload.MutableMember("accountId").SetUnsigned(77);
  payload.MutableMember("cost").SetSigned(cost);
  payload.MutableMember("currencyType").SetString(currency);
  payload.MutableMember("itemId").SetSigned(itemId);
  payload.MutableMember("itemType").SetString("CHAMPION_SKIN");
  payload.MutableMember("quantity").SetSigned(1);
  return payload;
}

TEST(ReadPurchaseRequest, TakesTheStoresPayloadAndFlagsWhatIsMissingOrMistyped) {
  const PurchaseRequest request = ReadPurchaseRequest(PurchasePayload(1001, "VP", 1350));
  EXPECT_TRUE(request.complete);
  EXPECT_EQ(request.accountId, 77u);
  EXPECT_EQ(request.itemId, 1001);
  EXPECT_EQ(request.itemType, "CHAMPION_SKIN");
  EXPECT_EQ(request.quantity, 1);
  EXPECT_EQ(request.currency, "VP");
  EXPECT_EQ(request.cost, 1350);

  struct Case {
    const char* name;
    std::function<void(BindingProperty&)> change;
    bool complete;
  };
  const Case cases[] = {
      {"item id unsigned", [](BindingProperty& p) { p.MutableMember("itemId").SetUnsigned(5); },
       true},
      {"no cost", [](BindingProperty& p) { p.RemoveMember("cost"); }, false},
      {"item id beyond 32 bits",
       [](BindingProperty& p) { p.MutableMember("itemId").SetSigned(int64_t{1} << 31); }, false},
      {"item id as text", [](BindingProperty& p) { p.MutableMember("itemId").SetString("5"); },
       false},
      {"account id above int64",
       [](BindingProperty& p) { p.MutableMember("accountId").SetUnsigned(UINT64_MAX); }, false},
      {"not a structure", [](BindingProperty& p) { p.SetString("purchase"); }, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    BindingProperty payload = PurchasePayload(1001, "VP", 1350);
    c.change(payload);
    EXPECT_EQ(ReadPurchaseRequest(payload).complete, c.complete);
  }
}

// The simulated peers with the store proxy installed; the posted work is held until Run().
class StoreProxyTest : public ::testing::Test {
 protected:
  void Start(bool useVms) {
    MaybeType<Failure, Scenario> scenario =
        ParseScenario(std::string(R"({"resources": {"/qor-platform-config/v1/namespaces/)"
                                  R"(MBXStore/UseVMS": )") +
                      (useVms ? "true" : "false") + "}}");
    ASSERT_TRUE(scenario) << scenario.ErrorMessage();
    peers_ = std::make_unique<SimulatedPeers>(
        *scenario, [this](std::string name, BindingProperty payload) {
          published_.push_back({std::move(name), std::move(payload)});
        });
    MaybeType<Failure, StorefrontCatalog> catalog = StorefrontCatalog::Parse(kCatalog);
    ASSERT_TRUE(catalog);
    StorefrontAccount account;
    account.token = "tok";
    account.accountId = 77;
    account.balances = {4000, 1500};
    state_ = std::make_shared<StorefrontState>(std::move(*catalog), std::move(account));
    InstallStoreProxy(*peers_, state_,
                      [this](std::function<void()> work) { posted_.push_back(std::move(work)); });
  }

  // Starts a purchase the way the runtime does (the uuid form) and returns the answer's
  // payload text, delivered by event.
  std::string Purchase(const BindingProperty& payload) {
    LocalCall call;
    call.method = PLUGIN_METHOD_POST;
    call.route = call.path = "/qor-login/v1/service-proxy-uuid-requests";
    call.arguments = {BindingProperty("store.zuvstoreproxy"), BindingProperty("purchaseItem"),
                      BindingProperty(std::uint64_t{1}), payload};
    call.argumentNames.resize(call.arguments.size());
    const size_t before = published_.size();
    LocalReply reply = peers_->Answer(call);
    EXPECT_FALSE(reply.error) << *reply.error;
    EXPECT_EQ(published_.size(), before + 1);
    if (published_.size() != before + 1) return "";
    EXPECT_EQ(published_.back().first, "OnServiceProxyUuidEvent");
    return std::string(published_.back().second.Member("payload").GetString());
  }

  void Run() {
    std::vector<std::function<void()>> work;
    work.swap(posted_);
    for (auto& item : work)
      item();
  }

  // The events published after the first `from`, as "name json" lines.
  std::vector<std::string> PublishedSince(size_t from) const {
    std::vector<std::string> lines;
    for (size_t i = from; i < published_.size(); ++i)
      lines.push_back(published_[i].first + " " + Json(published_[i].second));
    return lines;
  }

  std::unique_ptr<SimulatedPeers> peers_;
  std::shared_ptr<StorefrontState> state_;
  std::vector<std::pair<std::string, BindingProperty>> published_;
  std::vector<std::function<void()>> posted_;
};

TEST_F(StoreProxyTest, APurchaseAnswersFirstThenPushesTheWalletAndTheOrderByMessagingService) {
  Start(true);
  EXPECT_EQ(Purchase(PurchasePayload(1001, "VP", 1350)), "{}");
  ASSERT_EQ(posted_.size(), 1u);  // the pushes wait behind the answer
  const size_t answered = published_.size();
  Run();
  const std::vector<std::string> pushes = PublishedSince(answered);
  // Each resource goes out under its derived name and under "OnJsonApiEvent"; the owned
  // items come last.
  ASSERT_EQ(pushes.size(), 6u);
  EXPECT_THAT(pushes[0], StartsWith("OnJsonApiEvent_vaxo-messaging-service_v1_message "));
  EXPECT_THAT(pushes[1], StartsWith("OnJsonApiEvent "));

  const BindingProperty& wallet = published_[answered].second;
  EXPECT_EQ(wallet.Member("uri").GetString(), "/vaxo-messaging-service/v1/message/store/v1/wallet");
  EXPECT_EQ(wallet.Member("eventType").GetString(), "Create");
  EXPECT_EQ(wallet.Member("data").Member("resource").GetString(), "/store/v1/wallet");
  EXPECT_EQ(wallet.Member("data").Member("payload").GetString(),
            R"({"accountId":77,"balances":[{"amount":4000,"currency":"IP"},)"
            R"({"amount":150,"currency":"VP"}]})");

  const BindingProperty& order = published_[answered + 2].second;
  EXPECT_EQ(order.Member("uri").GetString(), "/vaxo-messaging-service/v1/message/cap/v1/orders");
  EXPECT_EQ(order.Member("data").Member("payload").GetString(),
            R"({"eventType":"PURCHASE","eventTypeId":"00000000-0000-4000-9000-000000000001",)"
            R"("status":"COMPLETED"})");
  EXPECT_GT(order.Member("data").Member("timestamp").ToSigned(), 0);
  EXPECT_EQ(Json(published_[answered + 4].second.Member("data")),
            R"([{"inventoryType":"CHAMPION_SKIN","itemId":1001}])");

  // A refusal answers its code and message, and nothing follows it.
  EXPECT_EQ(Purchase(PurchasePayload(1001, "VP", 1350)),
            R"({"errorCode":409,"errorMessage":"You already own this skin."})");
  EXPECT_TRUE(posted_.empty());
  EXPECT_EQ(state_->Wallet().vp, 150);
}

TEST_F(StoreProxyTest, WithoutMessagingServiceTheWalletGoesAsALegacyBalanceMessage) {
  Start(false);
  EXPECT_EQ(Purchase(PurchasePayload(1002, "IP", 3900)), "{}");
  const size_t answered = published_.size();
  Run();
  const std::vector<std::string> pushes = PublishedSince(answered);
  ASSERT_EQ(pushes.size(), 5u);
  EXPECT_EQ(pushes[0],
            "OnLcdsEvent_com_vaxoworks_platform_messaging_StoreAccountBalanceNotification "
            R"({"body":{"ip":100,"vp":1500},"clientId":"qor-host","subtopic":"",)"
            R"("typeName":"com.vaxoworks.platform.messaging.StoreAccountBalanceNotification"})");
  EXPECT_THAT(pushes[1], HasSubstr("/cap/v1/orders"));
}

// ---- The scenario's storefront ---------------------------------------------------------------

TEST(ScenarioStorefront, ParsesAndRefusesWithMessagesNamingTheKey) {
  MaybeType<Failure, Scenario> scenario = ParseScenario(
      R"({"storefront": {"catalog": "c.json", "ip": 10, "vp": 20,
                         "owned": [{"inventoryType": "CHAMPION", "itemId": 3}]}})");
  ASSERT_TRUE(scenario) << scenario.ErrorMessage();
  ASSERT_TRUE(scenario->storefront);
  EXPECT_EQ(scenario->storefront->catalog, "c.json");
  EXPECT_EQ(scenario->storefront->ip, 10);
  EXPECT_EQ(scenario->storefront->vp, 20);
  ASSERT_EQ(scenario->storefront->owned.size(), 1u);
  EXPECT_EQ(scenario->storefront->owned[0].second, 3);
  EXPECT_FALSE(ParseScenario("{}")->storefront);

  struct Case {
    const char* json;
    const char* message;
  };
  const Case cases[] = {
      {R"({"storefront": 1})", "Scenario: 'storefront' must be an object"},
      {R"({"storefront": {}})", "Scenario: storefront: 'catalog' must name the catalog file"},
      {R"({"storefront": {"catalog": "c", "ip": -1}})",
       "Scenario: storefront: 'ip' must be a whole number >= 0"},
      {R"({"storefront": {"catalog": "c", "wallet": {}}})",
       "Scenario: storefront: unknown key 'wallet'"},
      {R"({"storefront": {"catalog": "c", "owned": [{"itemId": 1}]}})",
       "Scenario: storefront: owned[0]: needs a string 'inventoryType' and an integer 'itemId'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    MaybeType<Failure, Scenario> refused = ParseScenario(c.json);
    ASSERT_FALSE(refused);
    EXPECT_EQ(refused.ErrorMessage(), c.message);
  }
}

class ScenarioFiles : public ::testing::Test {
 protected:
  void SetUp() override {
    char pattern[] = "/tmp/qor-demo-test-XXXXXX";
    ASSERT_NE(mkdtemp(pattern), nullptr);
    directory_ = pattern;
  }
  void TearDown() override {
    for (const std::string& file : files_)
      std::remove(file.c_str());
    rmdir(directory_.c_str());
  }
  std::string Write(const std::string& name, const std::string& text) {
    const std::string path = directory_ + "/" + name;
    testing::WriteFile(path, text);
    files_.push_back(path);
    return path;
  }

  std::string directory_;
  std::vector<std::string> files_;
};

TEST_F(ScenarioFiles, ARelativeCatalogIsReadBesideTheScenario) {
  Write("catalog.json", kCatalog);
  const std::string path = Write("scenario.json", R"({
    "resources": {"/qor-login/v1/session": {"idToken": "scenario-token", "accountId": 9}},
    "storefront": {"catalog": "catalog.json", "vp": 1350}})");
  MaybeType<Failure, Scenario> scenario = LoadScenario(path);
  ASSERT_TRUE(scenario) << scenario.ErrorMessage();
  EXPECT_EQ(scenario->storefront->catalog, directory_ + "/catalog.json");

  MaybeType<Failure, std::unique_ptr<StorefrontStub>> stub = StartScenarioStorefront(*scenario);
  ASSERT_TRUE(stub) << stub.ErrorMessage();
  const StorefrontState& state = *(*stub)->State();
  EXPECT_EQ(state.Token(), "scenario-token");
  EXPECT_EQ(state.AccountId(), 9u);
  EXPECT_EQ(state.Wallet().vp, 1350);
  EXPECT_EQ(state.Catalog().Entries().size(), 2u);

  const std::string absolute =
      Write("absolute.json", R"({"storefront": {"catalog": "/nonexistent/catalog.json"}})");
  MaybeType<Failure, Scenario> elsewhere = LoadScenario(absolute);
  ASSERT_TRUE(elsewhere);
  EXPECT_EQ(elsewhere->storefront->catalog, "/nonexistent/catalog.json");
  MaybeType<Failure, std::unique_ptr<StorefrontStub>> missing = StartScenarioStorefront(*elsewhere);
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.ErrorMessage(),
            "Storefront: /nonexistent/catalog.json: cannot open the catalog file");

  // Without a session the stub has no token, and refuses every request.
  MaybeType<Failure, Scenario> anonymous =
      LoadScenario(Write("anonymous.json", R"({"storefront": {"catalog": "catalog.json"}})"));
  ASSERT_TRUE(anonymous);
  MaybeType<Failure, std::unique_ptr<StorefrontStub>> locked = StartScenarioStorefront(*anonymous);
  ASSERT_TRUE(locked) << locked.ErrorMessage();
  EXPECT_EQ((*locked)->State()->Token(), "");
}

// ---- The demo folder -------------------------------------------------------------------------

TEST(DemoFiles, AreFoundAndHoldAConsistentDemo) {
  MaybeType<Failure, std::string> scenarioPath = FindDemoFile("scenario.json");
  ASSERT_TRUE(scenarioPath) << scenarioPath.ErrorMessage();
  EXPECT_THAT(*scenarioPath, EndsWith("examples/demo/scenario.json"));
  MaybeType<Failure, Scenario> scenario = LoadScenario(*scenarioPath);
  ASSERT_TRUE(scenario) << scenario.ErrorMessage();
  ASSERT_TRUE(scenario->storefront);
  MaybeType<Failure, StorefrontCatalog> catalog =
      StorefrontCatalog::Load(scenario->storefront->catalog);
  ASSERT_TRUE(catalog) << catalog.ErrorMessage();
  EXPECT_GE(catalog->Entries().size(), 200u);
  // Every owned item is in the catalog.
  for (const auto& [type, id] : scenario->storefront->owned) {
    SCOPED_TRACE(type + " " + std::to_string(id));
    EXPECT_NE(catalog->Find(type, id), nullptr);
  }

  MaybeType<Failure, std::string> missing = FindDemoFile("no-such-file.json");
  ASSERT_FALSE(missing);
  EXPECT_EQ(missing.Status(), 404);
  EXPECT_THAT(missing.ErrorMessage(),
              StartsWith("The demo file examples/demo/no-such-file.json was not found (looked in "
                         "the folders above "));
}

}  // namespace
}  // namespace qor::host
