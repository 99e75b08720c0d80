// End-to-end tests of the demo: qor-host --demo (the real plug-in, the storefront stub inside,
// the store proxy simulated) called over HTTP the way the README's curl session does, and the
// standalone qor-storefront.
#include <curl/curl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "tests/e2e/host_process.h"

namespace qor::host::testing {
namespace {

using ::testing::HasSubstr;

constexpr const char* kUseVms =
    "/dev/v1/resources?uri=/qor-platform-config/v1/namespaces/"
    "MBXStore/UseVMS";
constexpr const char* kWalletResource = "/dev/v1/resources?uri=/qor-store/v1/wallet";
constexpr const char* kOrders = "/qor-store/v1/order-notifications";

HttpCall Purchase(int skinId, const std::string& cost) {
  return HttpCall{"POST",
                  "/qor-store/v1/skins/" + std::to_string(skinId) + "/purchase",
                  cost,
                  {"Content-Type: application/json"}};
}

std::string Failed(const std::string& message) {
  return "{\"httpStatus\":500,\"message\":\"" + message + "\"}";
}

class Demo : public ::testing::Test {
 protected:
  void SetUp() override {
    std::optional<HostProcess> started =
        HostProcess::Start(QOR_HOST_BINARY, {"--demo", "--log-level", "none"});
    ASSERT_TRUE(started && !started->Url().empty()) << (started ? started->Stderr() : "");
    host_.emplace(std::move(*started));
  }
  const HostProcess& Host() const { return *host_; }

  std::optional<HostProcess> host_;
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
  EXPECT_EQ(Host().Get(std::string(kOrders) + "/0").body, order);
  EXPECT_EQ(Host().Get("/dev/v1/resources?uri=/qor-store/v1/order-notifications/0").body, order);

  // The wallet push updated the store's wallet resource; the storefront agrees.
  EXPECT_EQ(Host().Get(kWalletResource).body, R"({"ip":4800,"vp":250})");
  EXPECT_EQ(Host().Get("/qor-store/v1/wallet").body, R"({"ip":4800,"vp":250})");

  // Refusals, in words a player understands; nothing is charged or pushed.
  struct Case {
    int skinId;
    const char* cost;
    const char* message;
  };
  const Case refusals[] = {
      {2003, R"({"currency":"VP","cost":1350})", "You already own this skin."},
      {2002, R"({"currency":"VP","cost":520})", "You need 270 more VP to buy this skin."},
      {2002, R"({"currency":"VP","cost":1})",
       "The price of this skin has changed. Refresh the store and try again."},
      {2, R"({"currency":"VP","cost":585})", "This skin is not in the store."},
  };
  for (const Case& c : refusals) {
    SCOPED_TRACE(c.message);
    HttpResult refused = Host().Call(Purchase(c.skinId, c.cost));
    EXPECT_EQ(refused.status, 500);
    EXPECT_EQ(refused.body, Failed(c.message));
  }
  EXPECT_EQ(Host().Get(kOrders).body, "[" + order + "]");
  EXPECT_EQ(Host().Get(kWalletResource).body, R"({"ip":4800,"vp":250})");

  // Deleting the notification: it is gone, and a second delete finds nothing.
  EXPECT_EQ(Host().Call({"DELETE", std::string(kOrders) + "/0"}).status, 204);
  EXPECT_EQ(Host().Get(kOrders).body, "[]");
  HttpResult gone = Host().Get(std::string(kOrders) + "/0");
  EXPECT_EQ(gone.status, 404);
  EXPECT_EQ(gone.body, R"({"httpStatus":404,"message":"Notification with given ID not found"})");
  EXPECT_EQ(Host().Call({"DELETE", std::string(kOrders) + "/0"}).body,
            R"({"httpStatus":404,"message":"Notification with given ID not found, nothing )"
            R"(deleted!"})");
  EXPECT_EQ(Host().Get("/dev/v1/resources?uri=/qor-store/v1/order-notifications/0").status, 404);

  // The purchase went to telemetry.
  EXPECT_THAT(Host().Get("/dev/v1/telemetry").body,
              HasSubstr(R"({"name":"ukp-be-qor-store.purchase-skin","payload":{"cost":"1350",)"
                        R"("currencyType":"VP","skinId":"2003"}})"));
}

TEST_F(Demo, WithoutMessagingServiceTheWalletFollowsTheLegacyBalanceMessage) {
  ASSERT_EQ(Host().Call({"PUT", kUseVms, "false"}).status, 204);
  HttpResult bought = Host().Call(Purchase(20003, R"({"currency":"IP","cost":3900})"));
  EXPECT_EQ(bought.status, 204) << bought.body;
  EXPECT_THAT(Host().Get(kOrders).body, HasSubstr(R"("id":0,"status":"COMPLETED")"));
  EXPECT_EQ(Host().Get(kWalletResource).body, R"({"ip":900,"vp":1600})");
}

TEST_F(Demo, PendingGiftBecomesAToastOnceTheConfigurationAllowsIt) {
  EXPECT_EQ(Host().Get("/dev/v1/notifications").body, "[]");
  ASSERT_EQ(Host()
                .Call({"PUT",
                       "/dev/v1/resources?uri=/qor-platform-config/v1/"
                       "initial-configuration-complete",
                       "true"})
                .status,
            204);
  const std::string toast =
      R"({"backgroundUrl":"","created":"","critical":false,"data":{"inventoryType":)"
      R"("CHAMPION_SKIN","itemId":"7002","message":"Happy birthday! Enjoy the new look.",)"
      R"("msgId":"gift-20240611-0001","receiver":"Kestrel","sender":"Marrow"},)"
      R"("detailKey":"notifications_store_gift_details","dismissible":false,"expires":"",)"
      R"("iconUrl":"fe/qor-player-notifications/images/notifications_button_icon.png","id":0,)"
      R"("source":"store","state":"toast","titleKey":"notifications_store_gift_title",)"
      R"("type":"gift"})";
  EXPECT_EQ(Host().Get("/dev/v1/notifications").body, "[" + toast + "]");
}

TEST_F(Demo, StorefrontPagesComeThroughTheStore) {
  HttpResult login = Host().Get("/qor-store/v1/login");
  EXPECT_EQ(login.status, 200);
  EXPECT_THAT(login.body, HasSubstr("Signed in as account 3120441"));
  HttpResult featured = Host().Get("/qor-store/v1/featured");
  EXPECT_EQ(featured.status, 200);
  EXPECT_THAT(featured.body, HasSubstr(R"("groupOrder":["sale","new","bundles"])"));
  EXPECT_EQ(Host().Get("/qor-store/v1/no-such-page").body,
            R"({"httpStatus":404,"message":"Not found"})");
  HttpResult catalog =
      Host().Get("/qor-store/v1/catalog?inventoryType.0=WARD_SKIN&itemId.0=3&itemId.1=4");
  EXPECT_EQ(catalog.status, 200);
  EXPECT_THAT(catalog.body, HasSubstr(R"("itemId":3,)"));
  EXPECT_THAT(catalog.body, HasSubstr(R"("itemId":4,)"));
}

// ---- Command lines ---------------------------------------------------------------------------

// Runs `command` with a shell; its exit status and everything it wrote.
std::pair<int, std::string> RunCommand(const std::string& command) {
  std::FILE* pipe = popen((command + " 2>&1").c_str(), "r");
  if (pipe == nullptr) return {-1, ""};
  std::string output;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0)
    output.append(buffer, got);
  const int status = pclose(pipe);
  return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, output};
}

TEST(DemoCommandLines, HelpDocumentsTheDemoAndMistakesAreExplained) {
  const auto [hostStatus, hostHelp] = RunCommand(std::string(QOR_HOST_BINARY) + " --help");
  EXPECT_EQ(hostStatus, 0);
  EXPECT_THAT(hostHelp, HasSubstr("--demo"));
  EXPECT_THAT(hostHelp, HasSubstr("\"storefront\""));

  const auto [both, bothText] =
      RunCommand(std::string(QOR_HOST_BINARY) + " --demo --scenario x.json --listen 127.0.0.1:0");
  EXPECT_EQ(both, 2);
  EXPECT_THAT(bothText, HasSubstr("--demo runs the demo's own scenario: leave out --scenario"));

  const auto [storeStatus, storeHelp] = RunCommand(std::string(QOR_STOREFRONT_BINARY) + " --help");
  EXPECT_EQ(storeStatus, 0);
  for (const char* text : {"--listen", "--catalog", "--token", "--ip", "--vp", "--help"}) {
    EXPECT_THAT(storeHelp, HasSubstr(text));
  }
  const auto [badStatus, badText] = RunCommand(std::string(QOR_STOREFRONT_BINARY) + " --ip lots");
  EXPECT_EQ(badStatus, 2);
  EXPECT_THAT(badText, HasSubstr("--ip: expected a whole number"));
  const auto [missingStatus, missingText] =
      RunCommand(std::string(QOR_STOREFRONT_BINARY) + " --catalog /nonexistent.json --listen :0");
  EXPECT_EQ(missingStatus, 1);
  EXPECT_THAT(missingText, HasSubstr("/nonexistent.json: cannot open the catalog file"));
}

size_t Collect(char* data, size_t size, size_t count, void* out) {
  static_cast<std::string*>(out)->append(data, size * count);
  return size * count;
}

// GET `url`, with "Authorization: Bearer TOKEN" when a token is given, and `header` when given.
HttpResult Fetch(const std::string& url, const std::string& token, const std::string& header = "") {
  HttpResult result;
  CURL* curl = curl_easy_init();
  if (curl == nullptr) return result;
  const std::string authorization = "Authorization: Bearer " + token;
  curl_slist* headers = token.empty() ? nullptr : curl_slist_append(nullptr, authorization.c_str());
  if (!header.empty()) headers = curl_slist_append(headers, header.c_str());
  curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
  curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
  curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &Collect);
  curl_easy_setopt(curl, CURLOPT_WRITEDATA, &result.body);
  curl_easy_setopt(curl, CURLOPT_TIMEOUT, 30L);
  const CURLcode code = curl_easy_perform(curl);
  if (code == CURLE_OK) {
    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &result.status);
  } else {
    result.error = curl_easy_strerror(code);
  }
  curl_slist_free_all(headers);
  curl_easy_cleanup(curl);
  return result;
}

TEST(DemoCommandLines, StandaloneStorefrontServesTheDemoCatalog) {
  int out[2];
  ASSERT_EQ(pipe(out), 0);
  const pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    dup2(out[1], STDOUT_FILENO);
    close(out[0]);
    close(out[1]);
    execl(QOR_STOREFRONT_BINARY, QOR_STOREFRONT_BINARY, "--listen", "127.0.0.1:0", "--token",
          "standalone-token", "--vp", "42", static_cast<char*>(nullptr));
    _exit(127);
  }
  close(out[1]);
  // The first line names the URL: "... at http://127.0.0.1:PORT".
  std::string line;
  char c = 0;
  while (read(out[0], &c, 1) == 1 && c != '\n')
    line.push_back(c);
  close(out[0]);
  const size_t at = line.rfind(" at http://");
  ASSERT_NE(at, std::string::npos) << line;
  const std::string url = line.substr(at + 4);

  const HttpResult answer = Fetch(url + "/storefront/v2/wallet", "standalone-token");
  const HttpResult unauthorized = Fetch(url + "/storefront/v2/wallet", "");
  // A page that rebinds its own name to the stub's address is refused, as by qor-host.
  const HttpResult rebound =
      Fetch(url + "/storefront/v2/wallet", "standalone-token", "Host: attacker.example:80");

  kill(pid, SIGTERM);
  int status = 0;
  waitpid(pid, &status, 0);
  EXPECT_EQ(answer.status, 200) << answer.error;
  EXPECT_EQ(answer.body, R"({"ip":5000,"vp":42})");
  EXPECT_EQ(unauthorized.status, 401);
  EXPECT_EQ(rebound.status, 403);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
}

}  // namespace
}  // namespace qor::host::testing
