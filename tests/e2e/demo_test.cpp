// Tests of the demo's pieces inside qor-host: reading the store's purchase request, the
// scenario's "storefront", and finding examples/demo. The purchase story itself, with the
// simulated store proxy and its pushes, is told end to end in store_e2e_test.cpp.
#include "host/storefront/demo.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>

#include "tests/e2e/host_process.h"

namespace qor::host {
namespace {

using ::testing::StartsWith;

constexpr const char* kCatalog = R"([
  {"itemId": 1001, "inventoryType": "CHAMPION_SKIN", "prices": [{"currency": "VP", "cost": 1350}]},
  {"itemId": 1002, "inventoryType": "CHAMPION_SKIN", "prices": [{"currency": "IP", "cost": 3900}]}
])";

// ---- The scenario's storefront ---------------------------------------------------------------

TEST(ScenarioStorefront, ParsesAndRefusesWithMessagesNamingTheKey) {
  MaybeType<Failure, Scenario> scenario = ParseScenario(
      R"({"storefront": {"catalog": "c.json", "ip": 10, "vp": 20,
                         "owned": [{"inventoryType": "CHAMPION", "itemId": 3}]}})");
  ASSERT_TRUE(scenario && scenario->storefront) << scenario.ErrorMessage();
  EXPECT_EQ(scenario->storefront->owned.at(0).second, 3);  // the rest: see the next test

  testing::ExpectRefusals<std::string>(
      [](const std::string& json) { return ParseScenario(json); },
      {
          {R"({"storefront": 1})", "Scenario: 'storefront' must be an object"},
          {R"({"storefront": {}})", "Scenario: storefront: 'catalog' must name the catalog file"},
          {R"({"storefront": {"catalog": "c", "ip": -1}})",
           "Scenario: storefront: 'ip' must be a whole number >= 0"},
          {R"({"storefront": {"catalog": "c", "wallet": {}}})",
           "Scenario: storefront: unknown key 'wallet'"},
          {R"({"storefront": {"catalog": "c", "owned": [{"itemId": 1}]}})",
           "Scenario: storefront: owned[0]: needs a string 'inventoryType' and an integer "
           "'itemId'"},
      });
}

class ScenarioFiles : public ::testing::Test {
 protected:
  void SetUp() override { ASSERT_NE(mkdtemp(directory_.data()), nullptr); }
  void TearDown() override { testing::RunCommand("rm -r " + directory_); }
  std::string Write(const std::string& name, const std::string& text) {
    testing::WriteFile(directory_ + "/" + name, text);
    return directory_ + "/" + name;
  }

  std::string directory_ = "/tmp/qor-demo-test-XXXXXX";
};

TEST_F(ScenarioFiles, ARelativeCatalogIsReadBesideTheScenario) {
  Write("catalog.json", kCatalog);
  const std::string path = Write("scenario.json", R"({
    "resources": {"/qor-login/v1/session": {"idToken": "scenario-token", "accountId": 9}},
    "storefront": {"catalog": "catalog.json", "vp": 1350}})");
  MaybeType<Failure, Scenario> scenario = LoadScenario(path);
  ASSERT_TRUE(scenario) << scenario.ErrorMessage();

  MaybeType<Failure, std::unique_ptr<StorefrontStub>> stub = StartScenarioStorefront(*scenario);
  ASSERT_TRUE(stub) << stub.ErrorMessage();
  const StorefrontState& state = *(*stub)->State();
  // A token of its own per start, handed to the store through the session resource.
  EXPECT_EQ(state.Token().size(), 32u);
  EXPECT_EQ(scenario->resources.at(0).second,
            R"({"accountId":9,"idToken":")" + state.Token() + R"("})");
  EXPECT_EQ(state.Wallet().vp, 1350);

  // Without a session the stub has no token, and refuses every request.
  MaybeType<Failure, Scenario> anonymous =
      LoadScenario(Write("anonymous.json", R"({"storefront": {"catalog": "catalog.json"}})"));
  ASSERT_TRUE(anonymous);
  MaybeType<Failure, std::unique_ptr<StorefrontStub>> locked = StartScenarioStorefront(*anonymous);
  ASSERT_TRUE(locked) << locked.ErrorMessage();
  EXPECT_EQ((*locked)->State()->Token(), "");
}

// ---- The demo folder -------------------------------------------------------------------------

// qor-host --demo finds and runs the demo end to end (store_e2e_test.cpp).
TEST(DemoFiles, AMissingFileIsNamedWithWhereItWasLookedFor) {
  MaybeType<Failure, std::string> missing = FindDemoFile("no-such-file.json");
  ASSERT_FALSE(missing);
  EXPECT_THAT(missing.ErrorMessage(),
              StartsWith("The demo file examples/demo/no-such-file.json was not found (looked in "
                         "the folders above "));
}

}  // namespace
}  // namespace qor::host
