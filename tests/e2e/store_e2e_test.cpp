// End-to-end stories of the store: qor-host --demo (the real plug-in from its default place
// beside qor-host, the storefront stub inside, the store proxy simulated) called over HTTP the
// way the README's curl session does, its event stream and OpenAPI description, and the
// command lines of qor-host and the standalone qor-storefront.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <thread>

#include "tests/e2e/host_process.h"
#include "tests/e2e/json_lookup.h"

namespace qor::host::testing {
namespace {

using ::testing::HasSubstr;

constexpr const char* kWalletResource = "/dev/v1/resources?uri=/qor-store/v1/wallet";
constexpr const char* kOrders = "/qor-store/v1/order-notifications";
constexpr const char* kWalletPush =
    "/dev/v1/resources?uri=/vaxo-messaging-service/v1/message/store/v1/wallet";

HttpCall Purchase(int skinId, const std::string& cost) {
  return HttpCall{"POST",
                  "/qor-store/v1/skins/" + std::to_string(skinId) + "/purchase",
                  cost,
                  {"Content-Type: application/json"}};
}

std::string Failed(const std::string& message) {
  return "{\"httpStatus\":500,\"message\":\"" + message + "\"}";
}

// GET /dev/v1/events on a raw connection (HTTP/1.0: the stream comes unframed, and ends when
// the host closes it).
std::unique_ptr<RawConnection> OpenEventStream(const HostProcess& host,
                                               const std::string& headers = "") {
  auto stream = std::make_unique<RawConnection>(host);
  stream->SendHead("GET", "/dev/v1/events", headers, "HTTP/1.0");
  return stream;
}

// The first event about resource `uri` (the JSON of its data line); empty when none came yet.
// Every event is one data line followed by a blank line.
std::string ResourceEvent(const std::string& text, const std::string& uri) {
  const size_t found = text.find("\"uri\":\"" + uri + "\"");
  const size_t end = text.find('\n', found);
  if (found == std::string::npos || end == std::string::npos) return "";
  const size_t start = text.rfind("data: ", found) + 6;
  return text.compare(end, 2, "\n\n") == 0 ? text.substr(start, end - start) : "(no blank line)";
}

class Demo : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = HostProcess::Start(QOR_HOST_BINARY, {"--demo", "--log-level", "none"});
    ASSERT_FALSE(host_->Url().empty()) << host_->Stderr();
  }
  HostProcess& Host() { return *host_; }

  std::unique_ptr<HostProcess> host_;
};

TEST_F(Demo, PurchaseStoryFromWalletToOrderNotificationAndWalletAfter) {
  // The wallet as the storefront has it, and as the store published it at login.
  EXPECT_EQ(Host().Get("/qor-store/v1/wallet").body, R"({"ip":4800,"vp":1600})");
  EXPECT_EQ(Host().Get(kWalletResource).body, R"({"ip":4800,"vp":1600})");

  HttpResult skin = Host().Get("/qor-store/v1/skins/2003");
  ASSERT_EQ(skin.status, 200) << skin.body;
  EXPECT_THAT(skin.body, HasSubstr(R"("name":"Sky Pirate Brisa")"));
  EXPECT_THAT(skin.body, HasSubstr(R"("prices":[{"cost":1350,"currency":"VP","discount":null}])"));

  HttpResult bought = Host().Call(Purchase(2003, R"({"currency":"VP","cost":1350})"));
  EXPECT_EQ(bought.status, 204) << bought.body;

  // The order push became notification 0.
  const std::string order =
      R"({"eventType":"PURCHASE","eventTypeId":"00000000-0000-4000-9000-000000000001",)"
      R"("id":0,"status":"COMPLETED"})";
  EXPECT_EQ(Host().Get(kOrders).body, "[" + order + "]");
  EXPECT_EQ(Host().Get("/dev/v1/resources?uri=/qor-store/v1/order-notifications/0").body, order);

  // The wallet push updated the store's wallet resource; the storefront agrees.
  EXPECT_EQ(Host().Get(kWalletResource).body, R"({"ip":4800,"vp":250})");
  EXPECT_EQ(Host().Get("/qor-store/v1/wallet").body, R"({"ip":4800,"vp":250})");

  // A refusal, in words a player understands; nothing is charged or pushed.
  EXPECT_EQ(Host().Call(Purchase(2003, R"({"currency":"VP","cost":1350})")).body,
            Failed("You already own this skin."));
  EXPECT_EQ(Host().Get(kOrders).body, "[" + order + "]");
  EXPECT_EQ(Host().Get(kWalletResource).body, R"({"ip":4800,"vp":250})");
}

// The host's simulated store proxy sends the legacy balance message when the messaging service
// is off (what the store makes of it is shown by the store's own tests).
TEST_F(Demo, WithoutMessagingServiceTheWalletFollowsTheLegacyBalanceMessage) {
  ASSERT_EQ(
      Host()
          .Call({"PUT", "/dev/v1/resources?uri=/qor-platform-config/v1/namespaces/MBXStore/UseVMS",
                 "false"})
          .status,
      204);
  HttpResult bought = Host().Call(Purchase(20003, R"({"currency":"IP","cost":3900})"));
  EXPECT_EQ(bought.status, 204) << bought.body;
  // A legacy message is handled in a callback of its own, which may run after the answer.
  const std::string expected = R"({"ip":900,"vp":1600})";
  std::string wallet;
  for (int i = 0; i < 500 && (wallet = Host().Get(kWalletResource).body) != expected; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  EXPECT_EQ(wallet, expected);
}

TEST_F(Demo, StorefrontPagesAndTheWaitingGiftComeThroughTheStore) {
  HttpResult login = Host().Get("/qor-store/v1/login");
  EXPECT_EQ(login.status, 200);
  EXPECT_THAT(login.body, HasSubstr("Signed in as account 3120441"));
  EXPECT_THAT(Host().Get("/qor-store/v1/featured").body,
              HasSubstr(R"("groupOrder":["sale","new","bundles"])"));
  EXPECT_THAT(Host().Get("/qor-store/v1/skins").body, HasSubstr(R"("itemGroups":{"skins":)"));
  HttpResult catalog =
      Host().Get("/qor-store/v1/catalog?inventoryType.0=WARD_SKIN&itemId.0=3&itemId.1=4");
  EXPECT_THAT(catalog.body, HasSubstr(R"("itemId":3,)"));
  EXPECT_THAT(catalog.body, HasSubstr(R"("itemId":4,)"));

  // The scenario's gift, once the configuration allows toasts.
  ASSERT_EQ(
      Host()
          .Call({"PUT",
                 "/dev/v1/resources?uri=/qor-platform-config/v1/initial-configuration-complete",
                 "true"})
          .status,
      204);
  EXPECT_THAT(
      Host().Get("/dev/v1/notifications").body,
      HasSubstr(R"("msgId":"gift-20240611-0001","receiver":"Kestrel","sender":"Marrow"},)"));
}

// One client reads the wallet push and hangs up: its slot is free at once (not at the next
// keep-alive), so the host's eight slots take eight reconnecting clients, which catch up from
// the id they give; all of them end when the host stops.
TEST_F(Demo, EventStreamCarriesPushesCatchesReconnectingClientsUpAndEndsAtShutdown) {
  const std::string wallet = "/qor-store/v1/wallet";
  auto walletEvent = [&](const std::string& text) { return !ResourceEvent(text, wallet).empty(); };
  {
    std::unique_ptr<RawConnection> first = OpenEventStream(Host());
    EXPECT_THAT(first->ReadUntil([](const std::string& text) {
      return text.find(": connected\n\n") != std::string::npos;
    }),
                HasSubstr("text/event-stream"));
    const std::string push =
        R"({"resource": "/store/v1/wallet", "service": "store", "version": "1", "timestamp": 0,)"
        R"( "payload": "{\"accountId\": 7, \"balances\": [{\"currency\": \"VP\", \"amount\": 1350},)"
        R"( {\"currency\": \"IP\", \"amount\": 200}]}"})";
    ASSERT_EQ(Host().Call({"PUT", kWalletPush, push}).status, 204);
    const std::string text = first->ReadUntil(walletEvent);
    EXPECT_EQ(
        ResourceEvent(text, wallet),
        R"({"name":"OnJsonApiEvent_qor-store_v1_wallet","payload":)"
        R"({"data":{"ip":200,"vp":1350},"eventType":"Update","uri":"/qor-store/v1/wallet"}})");
    EXPECT_THAT(text, HasSubstr("id: "));
  }
  std::vector<std::unique_ptr<RawConnection>> streams;
  for (int i = 0; i < 8; ++i)
    streams.push_back(OpenEventStream(Host(), "Last-Event-ID: 0\r\n"));
  for (const auto& stream : streams)
    EXPECT_TRUE(walletEvent(stream->ReadUntil(walletEvent)));
  HttpResult post = Host().Call({"POST", "/dev/v1/events"});
  EXPECT_EQ(post.status, 405);
  EXPECT_EQ(post.Header("allow"), "GET");

  EXPECT_EQ(Host().SignalAndWait(SIGTERM), 0) << Host().Stderr();
  for (const auto& stream : streams) {
    stream->ReadUntil();
    EXPECT_TRUE(stream->ClosedByHost());
  }
}

TEST_F(Demo, OpenApiDescribesTheStoreEndpointsAndTheControlApi) {
  HttpResult result = Host().Get("/dev/v1/openapi.json");
  ASSERT_EQ(result.status, 200) << result.body;
  EXPECT_EQ(result.Header("content-type"), "application/json");
  rapidjson::Document document;
  document.Parse(result.body.c_str(), result.body.size());
  ASSERT_FALSE(document.HasParseError()) << result.body;
  // The control API's operations, and only they, carry its tag, which the document lists.
  for (const auto& path : document["paths"].GetObject()) {
    const std::string_view name = path.name.GetString();
    for (const auto& operation : path.value.GetObject()) {
      const rapidjson::Value* tags = At(operation.value, "tags");
      const bool control = tags != nullptr && Compact(*tags) == "[\"qor-host control\"]";
      EXPECT_EQ(control, name.starts_with("/dev/v1/")) << name;
    }
  }
  EXPECT_EQ(JsonAt(document, "servers"), "[{\"url\":\"" + Host().Url() + "\"}]");
  EXPECT_NE(At(document, "components/schemas/QorStoreItemCost"), nullptr);
  EXPECT_EQ(Host().Call({"PUT", "/dev/v1/openapi.json"}).status, 405);
}

// ---- Command lines ---------------------------------------------------------------------------

// The options themselves are read in unit tests; here the exit statuses of the mains.
TEST(CommandLines, HelpAndMistakesGiveTheirExitStatus) {
  EXPECT_EQ(RunCommand(std::string(QOR_HOST_BINARY) + " --help").first, 0);
  EXPECT_EQ(RunCommand(std::string(QOR_STOREFRONT_BINARY) + " --help").first, 0);
  const auto [both, bothText] =
      RunCommand(std::string(QOR_HOST_BINARY) + " --demo --scenario x.json --listen 127.0.0.1:0");
  EXPECT_EQ(both, 2);
  EXPECT_THAT(bothText, HasSubstr("--demo runs the demo's own scenario: leave out --scenario"));

  const auto [badStatus, badText] = RunCommand(std::string(QOR_STOREFRONT_BINARY) + " --ip lots");
  EXPECT_EQ(badStatus, 2);
  EXPECT_THAT(badText, HasSubstr("--ip: expected a whole number"));
  const auto [missingStatus, missingText] =
      RunCommand(std::string(QOR_STOREFRONT_BINARY) + " --catalog /nonexistent.json --listen :0");
  EXPECT_EQ(missingStatus, 1);
  EXPECT_THAT(missingText, HasSubstr("/nonexistent.json: cannot open the catalog file"));
}

TEST(CommandLines, StandaloneStorefrontServesTheDemoCatalog) {
  // The shell prints its process id, then becomes the storefront, whose first line names its
  // URL: "... at http://127.0.0.1:PORT".
  std::FILE* out = popen("echo $$; exec " QOR_STOREFRONT_BINARY
                         " --listen 127.0.0.1:0 --token standalone-token --vp 42",
                         "r");
  char pid[32] = {};
  char line[512] = {};
  ASSERT_TRUE(out && std::fgets(pid, sizeof(pid), out) && std::fgets(line, sizeof(line), out));
  std::string url = line;
  url = url.substr(url.rfind(" at ") + 4);
  url.pop_back();  // the line's end
  const HttpResult answer =
      HttpGet(url + "/storefront/v2/wallet", {"Authorization: Bearer standalone-token"});
  const HttpResult unauthorized = HttpGet(url + "/storefront/v2/wallet");
  // A page that rebinds its own name to the stub's address is refused, as by qor-host.
  const HttpResult rebound =
      HttpGet(url + "/storefront/v2/wallet",
              {"Authorization: Bearer standalone-token", "Host: attacker.example:80"});
  kill(std::atoi(pid), SIGTERM);
  const int status = pclose(out);
  EXPECT_EQ(answer.body, R"({"ip":5000,"vp":42})") << url << answer.error;
  EXPECT_EQ(unauthorized.status, 401);
  EXPECT_EQ(rebound.status, 403);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace qor::host::testing
