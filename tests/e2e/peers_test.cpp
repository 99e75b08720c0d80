#include "host/platform/peers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/json_value.h"

namespace qor::host {
namespace {

using ::testing::HasSubstr;
using ::testing::StartsWith;

struct Published {
  std::string name;
  std::string json;
};

class SimulatedPeersTest : public ::testing::Test {
 protected:
  void Load(std::string_view scenarioJson) {
    MaybeType<Failure, Scenario> scenario = ParseScenario(scenarioJson);
    ASSERT_TRUE(scenario) << scenario.ErrorMessage();
    peers_ = std::make_unique<SimulatedPeers>(
        *scenario, [this](std::string name, BindingProperty payload) {
          published_.push_back({std::move(name), Json(payload)});
        });
  }
  void SetUp() override { Load("{}"); }

  // The peers' answer to a local call: its body as JSON, or "STATUS message" when it failed.
  std::string Answer(uint32_t method, std::string path, std::vector<BindingProperty> args = {}) {
    LocalCall call;
    call.method = method;
    call.route = path.substr(0, path.find('?'));
    call.path = std::move(path);
    call.arguments = std::move(args);
    call.argumentNames.resize(call.arguments.size());
    LocalReply reply = peers_->Answer(call);
    return reply.error ? std::to_string(reply.status) + " " + *reply.error : Json(reply.body);
  }
  static std::string Json(const BindingProperty& value) {
    MaybeType<Failure, std::string> json = PropertyToJson(value);
    return json ? *json : "<unwritable>";
  }
  static BindingProperty Parse(std::string_view json) { return *JsonToProperty(json); }

  std::unique_ptr<SimulatedPeers> peers_;
  std::vector<Published> published_;
};

TEST(ResourceEventName, KeepsThreeSegmentsOrFiveForPlatformConfig) {
  struct Case {
    const char* uri;
    const char* name;
  };
  const Case cases[] = {
      {"/qor-login/v1/session", "OnJsonApiEvent_qor-login_v1_session"},
      {"/vaxoclient/region-locale", "OnJsonApiEvent_vaxoclient_region-locale"},
      {"/qor-platform-config/a/b/c/d/e/f", "OnJsonApiEvent_qor-platform-config_a_b_c_d"},
      {"//a//b/", "OnJsonApiEvent_a_b"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.uri);
    EXPECT_EQ(ResourceEventName(c.uri), c.name);
  }
  EXPECT_EQ(LcdsEventName("com.vaxoworks.platform.messaging.StoreAccountBalanceNotification"),
            "OnLcdsEvent_com_vaxoworks_platform_messaging_StoreAccountBalanceNotification");
}

TEST_F(SimulatedPeersTest, PutPublishesCreateThenUpdateAndDeletePublishesDelete) {
  ASSERT_TRUE(peers_->PutResource("/qor-login/v1/session", R"({"state": "SUCCEEDED"})"));
  ASSERT_TRUE(peers_->PutResource("/qor-login/v1/session", R"({"state": "LOGGING_OUT"})"));
  ASSERT_TRUE(peers_->DeleteResource("/qor-login/v1/session"));
  // Each event goes out under the URI's own name, then again as "OnJsonApiEvent".
  const std::vector<std::string> expected = {
      R"({"data":{"state":"SUCCEEDED"},"eventType":"Create","uri":"/qor-login/v1/session"})",
      R"({"data":{"state":"LOGGING_OUT"},"eventType":"Update","uri":"/qor-login/v1/session"})",
      R"({"eventType":"Delete","uri":"/qor-login/v1/session"})",
  };
  ASSERT_EQ(published_.size(), 2 * expected.size());
  for (size_t i = 0; i < published_.size(); ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(published_[i].name,
              i % 2 == 0 ? "OnJsonApiEvent_qor-login_v1_session" : "OnJsonApiEvent");
    EXPECT_EQ(published_[i].json, expected[i / 2]);
  }
  EXPECT_FALSE(peers_->ResourceJson("/qor-login/v1/session"));
}

TEST_F(SimulatedPeersTest, FollowsThePluginsOwnResourceEvents) {
  peers_->ObservePublished("OnJsonApiEvent",
                           Parse(R"({"uri": "qor-store/v1/wallet", "eventType": "Update",
                                     "data": {"ip": 5, "vp": 7}})"));
  EXPECT_EQ(peers_->ResourceJson("/qor-store/v1/wallet"), R"({"ip":5,"vp":7})");
  // The derived-name copy of the same event is not read twice; other events are ignored.
  peers_->ObservePublished("OnJsonApiEvent_qor-store_v1_wallet",
                           Parse(R"({"uri": "/qor-store/v1/wallet", "eventType": 1, "data": 0})"));
  EXPECT_EQ(peers_->ResourceJson("/qor-store/v1/wallet"), R"({"ip":5,"vp":7})");
  peers_->ObservePublished("OnJsonApiEvent",
                           Parse(R"({"uri": "/qor-store/v1/wallet", "eventType": 2})"));
  EXPECT_FALSE(peers_->ResourceJson("/qor-store/v1/wallet"));
  EXPECT_TRUE(published_.empty());
}

TEST_F(SimulatedPeersTest, LoginPeerAnswersLegacyServiceCallsAndRecordsThem) {
  Load(R"({"storefrontUrl": "http://store",
           "lcdsResponses": [
             {"destination": "d", "method": "m", "typeName": "a.B", "body": {"v": 1}},
             {"destination": "d", "method": "down", "status": 503, "error": "Down"}]})");
  const std::pair<std::string, std::string> cases[] = {
      {"loginService.getStoreUrl", R"({"body":"http://store","typeName":"java.lang.String"})"},
      {"clientFacadeService.callPersistenceMessaging", R"({"body":null,"typeName":""})"},
      {"d.m", R"({"body":{"v":1},"typeName":"a.B"})"},
      {"d.down", "503 Down"},
      {"d.other", "404 The simulated legacy service has no method 'd.other'"},
  };
  BindingProperty parameters;
  parameters.SetCollection();
  parameters.Append() = 42;
  auto invoke = [&](const std::string& call) {
    const size_t dot = call.find('.');
    return Answer(
        PLUGIN_METHOD_POST, "/qor-login/v1/session/invoke",
        {BindingProperty(call.substr(0, dot)), BindingProperty(call.substr(dot + 1)), parameters});
  };
  for (const auto& [call, answer] : cases)
    EXPECT_EQ(invoke(call), answer) << call;
  EXPECT_EQ(peers_->LcdsCalls().Size(), 5u);
  EXPECT_THAT(peers_->LcdsCalls().ToJsonArray(),
              HasSubstr(R"({"destination":"loginService","method":"getStoreUrl","args":[42]})"));
  peers_->SetStorefrontUrl("http://other");
  EXPECT_THAT(invoke("loginService.getStoreUrl"), HasSubstr("http://other"));
  EXPECT_THAT(Answer(PLUGIN_METHOD_POST, "/qor-login/v1/session/invoke"), StartsWith("400 "));
}

TEST_F(SimulatedPeersTest, ServiceProxyAnswersByEventAfterTheRequest) {
  Load(R"({"serviceProxyResponses": [
             {"serviceName": "store.zuvstoreproxy", "methodName": "purchaseItem",
              "payload": {"ok": 1}}]})");
  const std::string uuid =
      Answer(PLUGIN_METHOD_POST, "/qor-login/v1/service-proxy-uuid-requests",
             {BindingProperty("store.zuvstoreproxy"), BindingProperty("purchaseItem"),
              BindingProperty(uint64_t{1}), Parse(R"({"item": 3})")});
  ASSERT_TRUE(uuid.starts_with('"')) << uuid;  // the request's id, answered at once
  ASSERT_EQ(published_.size(), 1u);
  EXPECT_EQ(published_[0].name, "OnServiceProxyUuidEvent");
  EXPECT_EQ(published_[0].json, R"({"error":"","methodName":"purchaseItem","payload":"{\"ok\":1}",)"
                                R"("serviceName":"store.zuvstoreproxy","status":"OK","uuid":)" +
                                    uuid + "}");

  // A handler sees the request's payload; the method form answers by its own event.
  peers_->SetServiceProxyHandler("s", "m", [](const BindingProperty& payload) {
    return ServiceProxyAnswer{"null", "FAILED", "refused " + std::string(payload.GetString())};
  });
  EXPECT_THAT(Answer(PLUGIN_METHOD_POST, "/qor-login/v1/service-proxy-method-requests",
                     {BindingProperty("s"), BindingProperty("m"), BindingProperty("form"),
                      BindingProperty(), BindingProperty(uint64_t{1}), BindingProperty("p")}),
              StartsWith("null"));  // answered by the event alone
  ASSERT_EQ(published_.size(), 2u);
  EXPECT_EQ(published_[1].name, "OnServiceProxyMethodEvent");
  EXPECT_THAT(published_[1].json, HasSubstr(R"("error":"refused p")"));

  EXPECT_THAT(Answer(PLUGIN_METHOD_POST, "/qor-login/v1/service-proxy-uuid-requests",
                     {BindingProperty("x"), BindingProperty("y"), BindingProperty(uint64_t{1})}),
              HasSubstr(" The simulated service proxy has no method 'x.y'"));
  EXPECT_EQ(published_.size(), 2u);
}

// Notifications are shown end to end (the demo's gift, store_e2e_test.cpp).
TEST_F(SimulatedPeersTest, TelemetryIsRecordedUnderItsEventName) {
  Answer(PLUGIN_METHOD_POST, "/telemetry/v1/events/app-start", {Parse(R"({"a": true})")});
  EXPECT_EQ(peers_->Telemetry().ToJsonArray(), R"([{"name":"app-start","payload":{"a":true}}])");
  EXPECT_EQ(Answer(PLUGIN_METHOD_POST, "/telemetry/v1/events/"),
            "404 No simulated peer serves POST /telemetry/v1/events/");
}

TEST_F(SimulatedPeersTest, CannedLocalAnswersComeFirst) {
  Load(R"({"resources": {"/x/v1/y": 1},
           "localResponses": [{"method": "GET", "path": "/x/v1/y", "status": 503, "error": "Busy"},
                              {"path": "/x/v1/any", "body": [1]}]})");
  EXPECT_EQ(Answer(PLUGIN_METHOD_GET, "/x/v1/y"), "503 Busy");
  EXPECT_EQ(Answer(PLUGIN_METHOD_DELETE, "/x/v1/any"), "[1]");
  EXPECT_EQ(Answer(PLUGIN_METHOD_PUT, "/nobody"), "404 No simulated peer serves PUT /nobody");
}

TEST_F(SimulatedPeersTest, LcdsPushIsPublishedUnderItsClassEvent) {
  ASSERT_TRUE(peers_->PushLcdsMessage(R"({"typeName": "a.b.C", "body": {"x": 1}})"));
  ASSERT_EQ(published_.size(), 1u);
  EXPECT_EQ(published_[0].name, "OnLcdsEvent_a_b_C");
  EXPECT_EQ(published_[0].json,
            R"({"body":{"x":1},"clientId":"qor-host","subtopic":"","typeName":"a.b.C"})");
  for (const char* bad : {"{}", R"({"typeName": ""})", R"({"typeName": 1})", "[]", "x"}) {
    SCOPED_TRACE(bad);
    EXPECT_FALSE(peers_->PushLcdsMessage(bad));
  }
  EXPECT_EQ(published_.size(), 1u);
}

// The list keeps the latest entries within a count and within its bytes; an entry larger than
// that on its own is kept as its start.
TEST(RecordList, KeepsTheLatestEntriesWithinItsCountAndBytes) {
  RecordList list;
  for (size_t i = 0; i < RecordList::kMaxEntries + 5; ++i)
    list.Append(std::to_string(i));
  EXPECT_EQ(list.Size(), RecordList::kMaxEntries);
  EXPECT_EQ(list.ToJsonArray().substr(0, 4), "[5,6");

  RecordList large;
  const std::string kilobyte = "\"" + std::string(1022, 'x') + "\"";
  const size_t fits = RecordList::kMaxBytes / kilobyte.size();
  for (size_t i = 0; i < fits + 10; ++i)
    large.Append(kilobyte);
  EXPECT_EQ(large.Size(), fits);
  EXPECT_LE(large.Bytes(), RecordList::kMaxBytes);

  RecordList single;
  single.Append("\"" + std::string(RecordList::kMaxBytes, 'y') + "\"");
  EXPECT_EQ(single.ToJsonArray(),
            "[{\"truncatedBytes\":" + std::to_string(RecordList::kMaxBytes + 2) +
                ",\"start\":\"\\\"" + std::string(RecordList::kTruncatedStartBytes - 1, 'y') +
                "\"}]");
}

}  // namespace
}  // namespace qor::host
