#include "host/platform/peers.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "host/json_value.h"

namespace qor::host {
namespace {

using ::testing::HasSubstr;

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

  static LocalCall Call(uint32_t method, std::string path, std::vector<BindingProperty> args = {}) {
    LocalCall call;
    call.method = method;
    call.route = path.substr(0, path.find('?'));
    call.path = std::move(path);
    call.arguments = std::move(args);
    call.argumentNames.resize(call.arguments.size());
    return call;
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

TEST_F(SimulatedPeersTest, ResourceGetAnswersTheCurrentValue) {
  Load(R"({"resources": {"/vaxoclient/region-locale": {"locale": "en_US"}}})");
  EXPECT_EQ(Json(peers_->Answer(Call(PLUGIN_METHOD_GET, "/vaxoclient/region-locale?x=1")).body),
            R"({"locale":"en_US"})");

  LocalReply missing = peers_->Answer(Call(PLUGIN_METHOD_GET, "/qor-login/v1/session"));
  ASSERT_TRUE(missing.error);
  EXPECT_EQ(missing.status, 404u);
  EXPECT_EQ(*missing.error, "No value for resource '/qor-login/v1/session'");
  EXPECT_TRUE(published_.empty());  // scenario values are fetched, not pushed
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

TEST_F(SimulatedPeersTest, PutRefusesBadInputAndPublishesNothing) {
  EXPECT_FALSE(peers_->PutResource("no-slash", "1"));
  EXPECT_FALSE(peers_->PutResource("/a", "{"));
  EXPECT_FALSE(peers_->DeleteResource(""));
  EXPECT_TRUE(published_.empty());
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
  struct Case {
    const char* destination;
    const char* method;
    std::optional<std::string> body;
    uint32_t status;
    std::string error;
  };
  const Case cases[] = {
      {"loginService", "getStoreUrl", R"({"body":"http://store","typeName":"java.lang.String"})", 0,
       ""},
      {"clientFacadeService", "callPersistenceMessaging", R"({"body":null,"typeName":""})", 0, ""},
      {"d", "m", R"({"body":{"v":1},"typeName":"a.B"})", 0, ""},
      {"d", "down", std::nullopt, 503, "Down"},
      {"d", "other", std::nullopt, 404, "The simulated legacy service has no method 'd.other'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.method);
    BindingProperty parameters;
    parameters.SetCollection();
    parameters.Append() = 42;
    LocalReply reply = peers_->Answer(
        Call(PLUGIN_METHOD_POST, "/qor-login/v1/session/invoke",
             {BindingProperty(c.destination), BindingProperty(c.method), parameters}));
    if (c.body) {
      EXPECT_FALSE(reply.error) << *reply.error;
      EXPECT_EQ(Json(reply.body), *c.body);
    } else {
      ASSERT_TRUE(reply.error);
      EXPECT_EQ(*reply.error, c.error);
      EXPECT_EQ(reply.status, c.status);
    }
  }
  EXPECT_EQ(peers_->LcdsCalls().Size(), 5u);
  EXPECT_THAT(peers_->LcdsCalls().ToJsonArray(),
              HasSubstr(R"({"destination":"loginService","method":"getStoreUrl","args":[42]})"));
  peers_->SetStorefrontUrl("http://other");
  LocalReply changed = peers_->Answer(
      Call(PLUGIN_METHOD_POST, "/qor-login/v1/session/invoke",
           {BindingProperty("loginService"), BindingProperty("getStoreUrl"), BindingProperty()}));
  EXPECT_EQ(Json(changed.body), R"({"body":"http://other","typeName":"java.lang.String"})");

  LocalReply malformed =
      peers_->Answer(Call(PLUGIN_METHOD_POST, "/qor-login/v1/session/invoke", {}));
  EXPECT_EQ(malformed.status, 400u);
}

TEST_F(SimulatedPeersTest, ServiceProxyAnswersByEventAfterTheRequest) {
  Load(R"({"serviceProxyResponses": [
             {"serviceName": "store.zuvstoreproxy", "methodName": "purchaseItem",
              "payload": {"ok": 1}}]})");
  LocalReply uuid =
      peers_->Answer(Call(PLUGIN_METHOD_POST, "/qor-login/v1/service-proxy-uuid-requests",
                          {BindingProperty("store.zuvstoreproxy"), BindingProperty("purchaseItem"),
                           BindingProperty(uint64_t{1}), Parse(R"({"item": 3})")}));
  ASSERT_FALSE(uuid.error);
  ASSERT_EQ(uuid.body.Kind(), BindingKind::String);
  const std::string id(uuid.body.GetString());
  ASSERT_EQ(published_.size(), 1u);
  EXPECT_EQ(published_[0].name, "OnServiceProxyUuidEvent");
  EXPECT_EQ(published_[0].json, R"({"error":"","methodName":"purchaseItem","payload":"{\"ok\":1}",)"
                                R"("serviceName":"store.zuvstoreproxy","status":"OK","uuid":")" +
                                    id + "\"}");

  // A handler sees the request's payload; the method form answers by its own event.
  peers_->SetServiceProxyHandler("s", "m", [](const BindingProperty& payload) {
    return ServiceProxyAnswer{"null", "FAILED", "refused " + std::string(payload.GetString())};
  });
  LocalReply method =
      peers_->Answer(Call(PLUGIN_METHOD_POST, "/qor-login/v1/service-proxy-method-requests",
                          {BindingProperty("s"), BindingProperty("m"), BindingProperty("form"),
                           BindingProperty(), BindingProperty(uint64_t{1}), BindingProperty("p")}));
  ASSERT_FALSE(method.error);
  ASSERT_EQ(published_.size(), 2u);
  EXPECT_EQ(published_[1].name, "OnServiceProxyMethodEvent");
  EXPECT_THAT(published_[1].json, HasSubstr(R"("error":"refused p")"));

  LocalReply unknown = peers_->Answer(
      Call(PLUGIN_METHOD_POST, "/qor-login/v1/service-proxy-uuid-requests",
           {BindingProperty("x"), BindingProperty("y"), BindingProperty(uint64_t{1})}));
  ASSERT_TRUE(unknown.error);
  EXPECT_EQ(*unknown.error, "The simulated service proxy has no method 'x.y'");
  EXPECT_EQ(published_.size(), 2u);
}

TEST_F(SimulatedPeersTest, NotificationsAndTelemetryAreRecordedInOrder) {
  for (int i = 0; i < 2; ++i) {
    EXPECT_FALSE(peers_
                     ->Answer(Call(PLUGIN_METHOD_POST, "/player-notifications/v1/notifications",
                                   {Parse("{\"id\": " + std::to_string(i) + "}")}))
                     .error);
  }
  EXPECT_EQ(peers_->Notifications().ToJsonArray(), R"([{"id":0},{"id":1}])");
  EXPECT_FALSE(peers_
                   ->Answer(Call(PLUGIN_METHOD_POST, "/telemetry/v1/events/app-start",
                                 {Parse(R"({"a": true})")}))
                   .error);
  EXPECT_EQ(peers_->Telemetry().ToJsonArray(), R"([{"name":"app-start","payload":{"a":true}}])");

  LocalReply noName = peers_->Answer(Call(PLUGIN_METHOD_POST, "/telemetry/v1/events/"));
  ASSERT_TRUE(noName.error);
  EXPECT_EQ(*noName.error, "No simulated peer serves POST /telemetry/v1/events/");
}

TEST_F(SimulatedPeersTest, CannedLocalAnswersComeFirst) {
  Load(R"({"resources": {"/x/v1/y": 1},
           "localResponses": [{"method": "GET", "path": "/x/v1/y", "status": 503, "error": "Busy"},
                              {"path": "/x/v1/any", "body": [1]}]})");
  LocalReply busy = peers_->Answer(Call(PLUGIN_METHOD_GET, "/x/v1/y"));
  ASSERT_TRUE(busy.error);
  EXPECT_EQ(busy.status, 503u);
  EXPECT_EQ(Json(peers_->Answer(Call(PLUGIN_METHOD_DELETE, "/x/v1/any")).body), "[1]");
  LocalReply unknown = peers_->Answer(Call(PLUGIN_METHOD_PUT, "/nobody"));
  ASSERT_TRUE(unknown.error);
  EXPECT_EQ(unknown.status, 404u);
  EXPECT_EQ(*unknown.error, "No simulated peer serves PUT /nobody");
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
