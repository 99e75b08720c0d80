// End-to-end tests of qor-host's event stream (GET /dev/v1/events) and OpenAPI description
// (GET /dev/v1/openapi.json), with the real libqor_store.so.
#include <curl/curl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <rapidjson/document.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "tests/e2e/host_process.h"
#include "tests/e2e/openapi_checks.h"

namespace qor::host::testing {
namespace {

using ::testing::IsEmpty;
using ::testing::Pair;
using ::testing::UnorderedElementsAre;

// Generous: the waits below end as soon as what they wait for has come.
constexpr std::chrono::seconds kDeadline{60};

// GET /dev/v1/events, read by libcurl on a thread of its own until the stream ends or the
// client is destroyed.
class EventStreamClient {
 public:
  explicit EventStreamClient(const HostProcess& host, std::string header = "") {
    thread_ = std::thread([this, url = host.Url() + "/dev/v1/events",
                           credentials = "qor:" + host.Password(),
                           header = std::move(header)] { Run(url, credentials, header); });
  }
  ~EventStreamClient() {
    stop_ = true;
    thread_.join();
  }

  // Waits until `done` holds for the text received so far, or the stream has ended, or the
  // deadline has passed; returns whether `done` holds.
  bool WaitFor(const std::function<bool(const std::string&)>& done) {
    std::unique_lock lock(mutex_);
    signal_.wait_for(lock, kDeadline, [&] { return done(text_) || finished_; });
    return done(text_);
  }
  // Waits until the stream has ended (or the deadline has passed); returns whether it has.
  bool WaitForEnd() {
    std::unique_lock lock(mutex_);
    return signal_.wait_for(lock, kDeadline, [&] { return finished_; });
  }
  std::string Text() const {
    std::lock_guard lock(mutex_);
    return text_;
  }
  std::string ContentType() const {
    std::lock_guard lock(mutex_);
    return contentType_;
  }

 private:
  void Run(const std::string& url, const std::string& credentials, const std::string& header) {
    CURL* curl = curl_easy_init();
    curl_slist* headers = header.empty() ? nullptr : curl_slist_append(nullptr, header.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_USERPWD, credentials.c_str());
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT, 300L);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, &OnData);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, this);
    curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
    curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, &OnProgress);
    curl_easy_setopt(curl, CURLOPT_XFERINFODATA, this);
    curl_easy_perform(curl);
    char* type = nullptr;
    curl_easy_getinfo(curl, CURLINFO_CONTENT_TYPE, &type);
    {
      std::lock_guard lock(mutex_);
      contentType_ = type != nullptr ? type : "";
      finished_ = true;
    }
    curl_easy_cleanup(curl);
    curl_slist_free_all(headers);
    signal_.notify_all();
  }
  static size_t OnData(char* data, size_t size, size_t count, void* user) {
    auto* self = static_cast<EventStreamClient*>(user);
    {
      std::lock_guard lock(self->mutex_);
      self->text_.append(data, size * count);
    }
    self->signal_.notify_all();
    return size * count;
  }
  // Called by libcurl about once a second even while nothing arrives: ends the transfer once
  // the client is being destroyed.
  static int OnProgress(void* user, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<EventStreamClient*>(user)->stop_.load() ? 1 : 0;
  }

  mutable std::mutex mutex_;
  std::condition_variable signal_;
  std::string text_;  // guarded by mutex_
  std::string contentType_;
  bool finished_ = false;
  std::atomic<bool> stop_{false};
  std::thread thread_;
};

// The JSON of every "data:" line received so far.
std::vector<std::string> DataLines(const std::string& text) {
  std::vector<std::string> lines;
  size_t at = 0;
  while ((at = text.find("data: ", at)) != std::string::npos) {
    const size_t end = text.find('\n', at);
    if (end == std::string::npos) break;
    lines.push_back(text.substr(at + 6, end - at - 6));
    at = end;
  }
  return lines;
}

// The payload of the first event about resource `uri`, as compact JSON; empty when none came.
std::string ResourceEvent(const std::string& text, const std::string& uri) {
  for (const std::string& line : DataLines(text)) {
    rapidjson::Document event;
    event.Parse(line.c_str(), line.size());
    if (event.HasParseError() || !event.IsObject()) continue;
    const rapidjson::Value* name = At(event, "name");
    const rapidjson::Value* eventUri = At(event, "payload/uri");
    if (name != nullptr && name->IsString() && eventUri != nullptr && eventUri->IsString() &&
        eventUri->GetString() == uri) {
      return Compact(event);
    }
  }
  return "";
}

constexpr const char* kVmsScenario = R"({
  "resources": {
    "/qor-platform-config/v1/namespaces/MBXStore/UseVMS": true,
    "/vaxoclient/region-locale": {"locale": "en_US", "region": "NA"}
  }})";

std::optional<HostProcess> StartStoreHost(const char* scenario = kVmsScenario) {
  return HostProcess::Start(QOR_HOST_BINARY, {"--log-level", "none"}, scenario);
}

TEST(HostEventStream, CarriesTheWalletUpdateOfAMessagingPush) {
  std::optional<HostProcess> host = StartStoreHost();
  ASSERT_TRUE(host && !host->Url().empty()) << (host ? host->Stderr() : "");
  EventStreamClient stream(*host);
  ASSERT_TRUE(stream.WaitFor([](const std::string& text) {
    return text.starts_with(": connected\n\n");
  })) << stream.Text();

  const std::string push =
      R"({"resource": "/store/v1/wallet", "service": "store", "version": "1", "timestamp": 0,)"
      R"( "payload": "{\"accountId\": 7, \"balances\": [{\"currency\": \"VP\", \"amount\": 1350},)"
      R"( {\"currency\": \"IP\", \"amount\": 200}]}"})";
  ASSERT_EQ(host->Call({"PUT",
                        "/dev/v1/resources?uri=/vaxo-messaging-service/v1/message/store/"
                        "v1/wallet",
                        push})
                .status,
            204);
  ASSERT_TRUE(stream.WaitFor([](const std::string& text) {
    return !ResourceEvent(text, "/qor-store/v1/wallet").empty();
  })) << stream.Text();
  EXPECT_EQ(ResourceEvent(stream.Text(), "/qor-store/v1/wallet"),
            R"({"name":"OnJsonApiEvent_qor-store_v1_wallet","payload":)"
            R"({"data":{"ip":200,"vp":1350},"eventType":"Update","uri":"/qor-store/v1/wallet"}})");
  // Every event is one data line followed by a blank line.
  for (const std::string& line : DataLines(stream.Text())) {
    EXPECT_NE(stream.Text().find("data: " + line + "\n\n"), std::string::npos) << line;
  }
}

TEST(HostEventStream, ReconnectingClientCatchesUpAndAClosedStreamFreesItsSlotAtOnce) {
  std::optional<HostProcess> host = StartStoreHost();
  ASSERT_TRUE(host && !host->Url().empty()) << (host ? host->Stderr() : "");
  const std::string wallet = "/qor-store/v1/wallet";
  {
    EventStreamClient first(*host);
    ASSERT_TRUE(first.WaitFor([](const std::string& text) { return !text.empty(); }));
    const std::string push =
        R"({"resource": "/store/v1/wallet", "service": "store", "version": "1", "timestamp": 0,)"
        R"( "payload": "{\"balances\": [{\"currency\": \"VP\", \"amount\": 5}]}"})";
    ASSERT_EQ(host->Call({"PUT",
                          "/dev/v1/resources?uri=/vaxo-messaging-service/v1/message/store/"
                          "v1/wallet",
                          push})
                  .status,
              204);
    ASSERT_TRUE(first.WaitFor([&](const std::string& text) {
      return !ResourceEvent(text, wallet).empty();
    })) << first.Text();
    EXPECT_NE(first.Text().find("id: "), std::string::npos) << first.Text();
  }  // the first client hangs up, its slot free at once (not at the next keep-alive)
  std::vector<std::unique_ptr<EventStreamClient>> streams;  // the host's limit is 8
  for (int i = 0; i < 8; ++i)
    streams.push_back(std::make_unique<EventStreamClient>(*host, "Last-Event-ID: 0"));
  for (const auto& stream : streams) {
    EXPECT_TRUE(stream->WaitFor([&](const std::string& text) {
      return !ResourceEvent(text, wallet).empty();
    })) << stream->Text();
  }
}

TEST(HostEventStream, IsGuardedLikeTheRestOfTheControlApi) {
  std::optional<HostProcess> host = StartStoreHost();
  ASSERT_TRUE(host && !host->Url().empty()) << (host ? host->Stderr() : "");
  HttpCall anonymous{"GET", "/dev/v1/events"};
  anonymous.authenticate = false;
  EXPECT_EQ(host->Call(anonymous).status, 401);
  HttpCall foreign{"GET", "/dev/v1/events", "", {"Origin: http://evil.example"}};
  EXPECT_EQ(host->Call(foreign).status, 403);
  HttpResult post = host->Call({"POST", "/dev/v1/events"});
  EXPECT_EQ(post.status, 405);
  EXPECT_EQ(post.Header("allow"), "GET");
}

TEST(HostEventStream, ShutdownEndsOpenStreams) {
  std::optional<HostProcess> host = StartStoreHost();
  ASSERT_TRUE(host && !host->Url().empty()) << (host ? host->Stderr() : "");
  EventStreamClient first(*host);
  EventStreamClient second(*host);
  for (EventStreamClient* stream : {&first, &second}) {
    ASSERT_TRUE(stream->WaitFor([](const std::string& text) { return !text.empty(); }));
  }
  EXPECT_EQ(host->SignalAndWait(SIGTERM), 0) << host->Stderr();
  EXPECT_TRUE(first.WaitForEnd());
  EXPECT_TRUE(second.WaitForEnd());
  EXPECT_EQ(first.ContentType(), "text/event-stream");
}

TEST(HostOpenApi, DescribesTheFourteenStoreEndpointsAndTheControlApi) {
  std::optional<HostProcess> host = StartStoreHost();
  ASSERT_TRUE(host && !host->Url().empty()) << (host ? host->Stderr() : "");
  HttpResult result = host->Get("/dev/v1/openapi.json");
  ASSERT_EQ(result.status, 200) << result.body;
  EXPECT_EQ(result.Header("content-type"), "application/json");
  rapidjson::Document document;
  document.Parse(result.body.c_str(), result.body.size());
  ASSERT_FALSE(document.HasParseError()) << result.body;
  EXPECT_THAT(OpenApiProblems(document), IsEmpty());
  EXPECT_THAT(
      OpenApiOperations(document),
      UnorderedElementsAre(
          Pair("get", "/qor-store/v1/getStoreUrl"), Pair("get", "/qor-store/v1/lastPage"),
          Pair("post", "/qor-store/v1/lastPage"), Pair("get", "/qor-store/v1/login"),
          Pair("get", "/qor-store/v1/skins/{skinId}"),
          Pair("post", "/qor-store/v1/skins/{skinId}/purchase"),
          Pair("get", "/qor-store/v1/{pageType}"), Pair("get", "/qor-store/v1/paymentDetails"),
          Pair("get", "/qor-store/v1/wallet"), Pair("get", "/qor-store/v1/order-notifications"),
          Pair("get", "/qor-store/v1/order-notifications/{id}"),
          Pair("delete", "/qor-store/v1/order-notifications/{id}"),
          Pair("post", "/qor-store/v1/notifications/acknowledge"),
          Pair("get", "/qor-store/v1/catalog"), Pair("get", "/dev/v1/resources"),
          Pair("put", "/dev/v1/resources"), Pair("delete", "/dev/v1/resources"),
          Pair("post", "/dev/v1/lcds-events"), Pair("get", "/dev/v1/notifications"),
          Pair("get", "/dev/v1/telemetry"), Pair("get", "/dev/v1/lcds-calls"),
          Pair("get", "/dev/v1/log"), Pair("get", "/dev/v1/events"),
          Pair("get", "/dev/v1/openapi.json")));
  // The control API's operations, and only they, carry its tag, which the document lists.
  for (const auto& path : document["paths"].GetObject()) {
    const std::string_view name = path.name.GetString();
    for (const auto& operation : path.value.GetObject()) {
      const rapidjson::Value* tags = At(operation.value, "tags");
      const bool control = tags != nullptr && Compact(*tags) == "[\"qor-host control\"]";
      EXPECT_EQ(control, name.starts_with("/dev/v1/")) << name;
    }
  }
  auto json = [&](std::string_view path) {
    const rapidjson::Value* value = At(document, path);
    return value != nullptr ? Compact(*value) : "(none)";
  };
  EXPECT_EQ(json("servers"), "[{\"url\":\"" + host->Url() + "\"}]");
  EXPECT_EQ(json("tags/0/name"), "\"qor-host control\"");
  EXPECT_EQ(json("info/title"), "\"qor-store local API\"");
  EXPECT_EQ(json("paths/~1qor-store~1v1~1wallet/get/operationId"), "\"GetQorStoreV1Wallet\"");
  EXPECT_EQ(host->Call({"PUT", "/dev/v1/openapi.json"}).status, 405);
}

}  // namespace
}  // namespace qor::host::testing
