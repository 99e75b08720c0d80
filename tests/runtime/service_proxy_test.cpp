#include "runtime/service_proxy.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "binding/json.h"
#include "binding/record.h"
#include "host/core/host_core.h"
#include "tests/runtime/runtime_fixture.h"

namespace qor {
namespace {

using host::HostCore;
using host::LocalCall;
using host::LocalReply;
using runtime_test::TestModule;

struct Purchase {
  std::int64_t itemId = 0;
};

BindingProperty Answer(std::string_view uuid, std::string_view service, std::string_view method,
                       std::string_view payload, std::string_view error = {}) {
  BindingProperty answer;
  for (const auto& [name, text] : {std::pair{"error", error},
                                   {"methodName", method},
                                   {"payload", payload},
                                   {"serviceName", service},
                                   {"uuid", uuid}})
    answer.MutableMember(name) = text;
  return answer;
}

// A call's arguments as one JSON array.
std::string Arguments(const LocalCall& call) {
  BindingProperty list;
  list.SetCollection();
  for (const BindingProperty& argument : call.arguments)
    list.Append() = argument;
  return WriteJson(list);
}

class ServiceProxyTest : public ::testing::Test {
 protected:
  ServiceProxyTest() {
    DeclareRecord<Purchase>(module.Types(), "Purchase").Field("itemId", &Purchase::itemId);
    host.SetLocalPeer(std::string(ServiceProxy::kUuidRequestPath), [this](const LocalCall& call) {
      calls.push_back(call);
      std::string uuid = "uuid-" + std::to_string(calls.size());
      if (answerDuringPost) host.DeliverEvent("OnServiceProxyUuidEvent", answerDuringPost(uuid));
      if (postAfterPost) host.PostEvent("OnServiceProxyUuidEvent", postAfterPost(uuid));
      if (uuidReply) return *uuidReply;
      return LocalReply::Value(BindingProperty(uuid));
    });
    host.SetLocalPeer(std::string(ServiceProxy::kMethodRequestPath), [this](const LocalCall& call) {
      calls.push_back(call);
      return LocalReply::Value(BindingProperty());
    });
  }

  // A completion that records its outcome, after `tag`, in `seen`.
  ServiceProxy::Completion Completion(std::string tag) {
    return [this, tag](const ServiceProxy::Outcome& outcome) {
      seen.push_back(tag +
                     (outcome.Succeeded() ? "=" + outcome->payload : "!" + outcome.ErrorMessage()));
    };
  }

  HostCore host;
  TestModule module{host};
  ServiceProxy& proxy = module.Proxy();
  std::vector<std::string> seen;
  std::vector<LocalCall> calls;
  std::function<BindingProperty(const std::string&)> answerDuringPost;
  std::function<BindingProperty(const std::string&)> postAfterPost;
  std::optional<LocalReply> uuidReply;
};

TEST_F(ServiceProxyTest, UuidRequestCompletesWhenItsAnswerArrives) {
  proxy.StartRequest("svc", "get", Purchase{5}, "", Completion("a"));
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].method, uint32_t{PLUGIN_METHOD_POST});
  EXPECT_EQ(Arguments(calls[0]), R"(["svc","get",7,{"itemId":5}])");
  EXPECT_EQ(proxy.InFlightCount(), 1u);

  host.DeliverEvent("OnServiceProxyUuidEvent", Answer("uuid-other", "svc", "get", "0"));
  EXPECT_TRUE(seen.empty());
  host.DeliverEvent("OnServiceProxyUuidEvent", Answer("uuid-1", "svc", "get", "1"));
  EXPECT_EQ(seen, std::vector<std::string>{"a=1"});
  EXPECT_EQ(proxy.InFlightCount(), 0u);
  // The answer without a request stays, until a request with its id takes it.
  EXPECT_EQ(proxy.ReceivedCount(), 1u);
  answerDuringPost = [](const std::string& uuid) { return Answer(uuid, "svc", "get", "early"); };
  proxy.StartRequest("svc", "get", 1, "", Completion("b"));
  EXPECT_EQ(seen.back(), "b=early");
  EXPECT_EQ(proxy.InFlightCount(), 0u);
}

TEST_F(ServiceProxyTest, ARepeatedRequestIdEndsTheEarlierRequestAndKeepsTheLater) {
  uuidReply = LocalReply::Value("same");  // the host answers every request with the same id
  proxy.StartRequest("svc", "get", 1, "", Completion("a"));
  proxy.StartRequest("svc", "get", 2, "", Completion("b"));
  EXPECT_EQ(seen, std::vector<std::string>{
                      "a!Replaced by a later service proxy request with the id same"});
  proxy.OnUuidResponse(PluginServiceProxyResponse{"same", "svc", "get", "2"});
  EXPECT_EQ(seen.back(), "b=2");
  EXPECT_EQ(proxy.InFlightCount(), 0u);
}

TEST_F(ServiceProxyTest, MethodFormAllowsOneRequestPerName) {
  proxy.StartRequest("svc", "m", 1, "form", Completion("first"), BindingProperty("extra"));
  proxy.StartRequest("svc", "m", 2, "form", Completion("second"));
  EXPECT_EQ(seen, std::vector<std::string>{"second!Request already in flight"});
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].path, ServiceProxy::kMethodRequestPath);
  EXPECT_EQ(Arguments(calls[0]), R"(["svc","m","form","extra",7,1])");

  host.DeliverEvent("OnServiceProxyMethodEvent", Answer("", "svc", "m", "done"));
  EXPECT_EQ(seen.back(), "first=done");
  // Once answered the name is free again.
  proxy.StartRequest("svc", "m", 3, "form", Completion("third"));
  EXPECT_EQ(calls.size(), 2u);
  EXPECT_EQ(proxy.InFlightCount(), 1u);
}

TEST_F(ServiceProxyTest, StartFailuresReachTheCompletion) {
  struct Unregistered {
    int x = 0;
  };
  proxy.StartRequest("svc", "m", Unregistered{}, "", Completion("convert"));
  uuidReply = LocalReply::Error(502, "login plug-in away");
  proxy.StartRequest("svc", "m", 1, "", Completion("post"));
  uuidReply = LocalReply::Value(BindingProperty(17));
  proxy.StartRequest("svc", "m", 1, "", Completion("uuid"));
  EXPECT_EQ(
      seen,
      (std::vector<std::string>{
          "convert!Failed to convert type " + std::string(StaticType::Name<Unregistered>()) +
              " to BindingProperty for serialization",
          "post!Error response for POST /qor-login/v1/service-proxy-uuid-requests: login "
          "plug-in away",
          "uuid!Error converting response for POST /qor-login/v1/service-proxy-uuid-requests: "
          "Couldn't assign value to '<value>' because the input is not a string."}));
  EXPECT_EQ(calls.size(), 2u);  // the conversion failure sent nothing
  EXPECT_EQ(proxy.InFlightCount(), 0u);
}

TEST_F(ServiceProxyTest, ShutdownEndsRequestsInFlightAndRefusesNewOnes) {
  proxy.StartRequest("svc", "m", 1, "", Completion("flying"));
  proxy.StartRequest("svc", "n", 1, "form", Completion("method"));
  module.finalizing = true;
  module.Stop();
  std::sort(seen.begin(), seen.end());
  EXPECT_EQ(seen, (std::vector<std::string>{"flying!Finalizing", "method!Finalizing"}));
  EXPECT_EQ(proxy.InFlightCount(), 0u);

  proxy.StartRequest("svc", "m", 1, "", Completion("late"));
  EXPECT_EQ(seen.back(), "late!Finalizing");
  EXPECT_EQ(calls.size(), 2u);
  // An answer for the ended request changes nothing.
  proxy.OnUuidResponse(PluginServiceProxyResponse{"uuid-1", "svc", "m", "1"});
  EXPECT_EQ(seen.size(), 3u);
}

TEST_F(ServiceProxyTest, AsyncEventsGoToTheirHandler) {
  proxy.SetAsyncHandler("svc", "tick", [&](const PluginServiceProxyResponse& r) {
    seen.push_back(r.payload);
    // Replacing itself while running is safe.
    proxy.SetAsyncHandler("svc", "tick", [&](const PluginServiceProxyResponse& r2) {
      seen.push_back("new" + r2.payload);
    });
  });
  host.DeliverEvent("OnServiceProxyAsyncEvent", Answer("", "svc", "tick", "1"));
  host.DeliverEvent("OnServiceProxyAsyncEvent", Answer("", "svc", "tock", "2"));  // no handler
  host.DeliverEvent("OnServiceProxyAsyncEvent", Answer("", "svc", "tick", "3"));
  EXPECT_EQ(seen, (std::vector<std::string>{"1", "new3"}));
}

TEST_F(ServiceProxyTest, CallParsesThePayloadOrFails) {
  struct Case {
    std::string payload, error;
    std::string outcome;  // "=" and the value as JSON, or "!" and the failure's message
  };
  const std::string type(StaticType::Name<BindingProperty>());
  const Case cases[] = {
      {R"({"ok":[1,2]})", "", R"(={"ok":[1,2]})"},
      {"", "", "="},
      {R"({"ok":1})", "remote failed", "!remote failed"},
      {"{nope", "", "!Failed to deserialize response payload \"{nope\" to a " + type},
  };
  for (const Case& c : cases) {
    postAfterPost = [&](const std::string& uuid) {
      return Answer(uuid, "svc", "m", c.payload, c.error);
    };
    auto future = proxy.Call("svc", "m", 1);
    host.Drain();
    ASSERT_EQ(future.wait_for(std::chrono::seconds(0)), std::future_status::ready);
    MaybeType<Failure, BindingProperty> result = future.get();
    EXPECT_EQ(
        result.Succeeded() ? "=" + WriteJson(*result) : "!" + std::string(result.ErrorMessage()),
        c.outcome);
  }
  module.finalizing = true;
  EXPECT_EQ(proxy.Call("svc", "m", 1).get().ErrorMessage(), "Finalizing");
}

// A reply with an errorCode is a failure with that status and message; the whole failure also
// names a non-zero code as a field, for the log.
TEST(StoreProxyReply, ErrorCodeRule) {
  const std::pair<std::string_view, std::string_view> cases[] = {
      {R"({"errorCode":5,"errorMessage":"Not enough RP"})", "! 5 Not enough RP errorCode_int"},
      {R"({"errorCode":0,"errorMessage":"Soft failure"})", "! 0 Soft failure"},
      {R"({"errorCode":"7","errorMessage":"Text code"})", "! 7 Text code errorCode_int"},
      {R"({"errorCode":null})", "! 0 "},
      {R"({"transactionId":"t-1"})", R"(= {"transactionId":"t-1"})"},
      {R"([{"errorCode":5}])", R"(= [{"errorCode":5}])"},
  };
  for (const auto& [json, expected] : cases) {
    SCOPED_TRACE(json);
    MaybeType<Failure, BindingProperty> reply = ServiceProxy::CheckStoreProxyReply(ParseJson(json));
    std::string outcome = "= " + (reply.Succeeded() ? WriteJson(*reply) : "");
    if (reply.Failed()) {
      outcome = "! " + std::to_string(reply.Status()) + " " + std::string(reply.ErrorMessage());
      const std::optional<Failure> whole = ServiceProxy::StoreProxyFailure(ParseJson(json).Value());
      ASSERT_TRUE(whole.has_value());
      for (const auto& field : whole->Fields())
        outcome += " " + field.name;
    }
    EXPECT_EQ(outcome, expected);
  }
}

TEST_F(ServiceProxyTest, StoreProxyCallAwaitedOnAHostThreadCompletesDuringTheWait) {
  // The answer is queued as host work: it can only arrive through the waiting thread's
  // RunPendingWork, and its completion runs under the service-proxy mutex there.
  postAfterPost = [](const std::string& uuid) {
    return Answer(uuid, "store.zuvstoreproxy", "purchaseItem", R"({"transactionId":"t-9"})");
  };
  std::optional<MaybeType<Failure, BindingProperty>> result;
  std::thread hostThread(
      [&] { result.emplace(proxy.StoreProxyCall("purchaseItem", Purchase{9})); });
  hostThread.join();
  ASSERT_TRUE(result.has_value() && result->Succeeded());
  EXPECT_EQ(WriteJson(**result), R"({"transactionId":"t-9"})");
  EXPECT_EQ(host.Counts().beginWait, 1u);
  EXPECT_EQ(host.WaitDepth(), 0);
}

TEST_F(ServiceProxyTest, CompletionMayStartAnotherRequest) {
  answerDuringPost = [](const std::string& uuid) { return Answer(uuid, "svc", "m", uuid); };
  proxy.StartRequest("svc", "m", 1, "", [&](const ServiceProxy::Outcome& first) {
    seen.push_back("first=" + first->payload);
    proxy.StartRequest("svc", "m", 2, "", Completion("second"));
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"first=uuid-1", "second=uuid-2"}));
}

}  // namespace
}  // namespace qor
