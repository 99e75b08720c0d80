// Outgoing requests over the host core: local calls (plain and streamed), the external GET
// with every failure message.
#include "runtime/local_client.h"

#include <gtest/gtest.h>

#include <string>
#include <tuple>
#include <vector>

#include "binding/json.h"
#include "host/core/host_core.h"
#include "tests/runtime/runtime_fixture.h"

namespace qor {
namespace {

using host::ExternalCall;
using host::ExternalReply;
using host::HostCore;
using host::LocalCall;
using host::LocalReply;
using host::StreamPiece;

struct Unregistered {
  int value = 0;
};

class LocalClientTest : public testing::Test {
 protected:
  HostCore host;
  runtime_test::TestModule module{host, 2, 7};
};

TEST_F(LocalClientTest, FailureMessages) {
  const Failure unsent = CallLocal(module, PLUGIN_METHOD_POST, "/peer/x", Unregistered{}).Error();
  EXPECT_EQ(unsent.Status(), 400);
  EXPECT_TRUE(unsent.Message().starts_with(
      "Request not sent: Error converting parameters for POST /peer/x: "))
      << unsent.Message();
  for (const auto& call : host.LocalCalls())
    EXPECT_NE(call.path, "/peer/x");  // nothing was sent
  host.SetLocalPeer("/missing", [](const LocalCall&) { return LocalReply::Error(404, "gone"); });
  const Failure failed = CallLocal(module, PLUGIN_METHOD_DELETE, "/missing").Error();
  EXPECT_EQ(failed.Status(), 404);
  EXPECT_EQ(failed.Message(), "Error response for DELETE /missing: gone");
  host.SetLocalPeer("/text",
                    [](const LocalCall&) { return LocalReply::Value(BindingProperty("t")); });
  EXPECT_TRUE(CallLocalFor<PluginResourceEvent>(module, PLUGIN_METHOD_GET, "/text")
                  .ErrorMessage()
                  .starts_with("Error converting response for GET /text: "));
}

// A short read with "more" set yields to the host before the next read.
TEST_F(LocalClientTest, StreamedResponses) {
  const std::string failed = "Error reading streamed response for GET /stream: ";
  struct Case {
    std::vector<StreamPiece> pieces;
    std::string outcome;  // the value as JSON, or the beginning of the failure's message
  };
  const Case cases[] = {
      {{{"{\"a\":", true}, {"", true}, {"1}", false}}, R"({"a":1})"},
      {{{"{", true}, {"", true, true}}, failed + "Stream read error"},
      {{{"{oops", false}}, failed + "Error: "},
  };
  int nested = 0;
  host.Post([&] { ++nested; });  // runs inside the first yield
  for (const Case& c : cases) {
    SCOPED_TRACE(c.outcome);
    host.SetLocalPeer("/stream", [&](const LocalCall&) {
      LocalReply reply;
      reply.stream = c.pieces;
      return reply;
    });
    auto result = CallLocalFor<BindingProperty>(module, PLUGIN_METHOD_GET, "/stream");
    EXPECT_EQ(result.Status(), 0);
    const std::string outcome =
        result.Succeeded() ? WriteJson(*result) : std::string(result.ErrorMessage());
    EXPECT_TRUE(outcome.starts_with(c.outcome)) << outcome;
  }
  EXPECT_EQ(host.WaitMarks()[0].label, "Wait: yield");
  EXPECT_EQ(nested, 1);
}

// ---- External GET ---------------------------------------------------------------------------

// A user agent is added unless the caller gives one, under any spelling of its name.
TEST_F(LocalClientTest, UserAgentHeaderRule) {
  host.SetExternalResponder([](const ExternalCall&) {
    ExternalReply reply;
    reply.body = "ok";
    return reply;
  });
  const std::pair<std::map<std::string, std::string>, host::HeaderList> cases[] = {
      {{}, {{"user-agent", "VaxoClient/18.2.7 (qor-store)"}}},
      {{{"USER-AGENT", "mine"}, {"a", "1"}}, {{"USER-AGENT", "mine"}, {"a", "1"}}},
  };
  for (const auto& [headers, expected] : cases) {
    auto response = ExternalGet<std::string>(module, "https://shop.invalid/x", 20, headers);
    EXPECT_EQ(response.value, "ok") << response.error;
    const ExternalCall call = host.ExternalCalls().back();
    EXPECT_EQ(call.headers, expected);
    EXPECT_EQ(std::tuple(call.method, call.timeLimit, call.flags),
              std::tuple(uint32_t{PLUGIN_METHOD_GET}, 20u, 1u));
  }
}

TEST_F(LocalClientTest, ExternalResultsAndFailures) {
  auto reply = [](int32_t code, std::string body) {
    ExternalReply r;
    r.connectionCode = code;
    r.body = std::move(body);
    return r;
  };
  const std::string label = "GET https://shop.invalid/w";
  // The outcome: the connection code, the failure flags, then the error or the value's uri.
  const std::pair<ExternalReply, std::string> cases[] = {
      {reply(7, "timed out"), "1: timed out"},
      {reply(0, ""), "0: Error converting response for " + label + ": body was empty"},
      {reply(0, "{nope"), "0 parse: Error deserializing json response for " + label + ": Error: "},
      {reply(0, "[1]"),
       "0 conversion: Error converting response for " + label + " to PluginResourceEvent: "},
      {reply(0, R"({"uri":"/a","eventType":"Update"})"), "0: value /a"},
  };
  for (const auto& [answer, expected] : cases) {
    SCOPED_TRACE(answer.body);
    host.SetExternalResponder([&](const ExternalCall&) { return answer; });
    auto r = ExternalGet<PluginResourceEvent>(module, "https://shop.invalid/w", 20, {});
    const std::string outcome = std::to_string(r.connectionCode) + (r.parseFailed ? " parse" : "") +
                                (r.conversionFailed ? " conversion" : "") + ": " +
                                (r.error.empty() ? "value " + r.value.uri : r.error);
    EXPECT_TRUE(outcome.starts_with(expected)) << outcome;
  }
}

int releases = 0;
void CountRelease(PluginExternalResponse*) {
  ++releases;
}

// A record from the host that claims parts it does not hold is refused; it is always released.
TEST_F(LocalClientTest, MalformedExternalRecords) {
  struct Case {
    uint32_t headerCount, bodyLength;
    const char* body;
    std::string error;
  };
  const std::string label = "Error converting response for GET https://shop.invalid/t: ";
  const Case cases[] = {
      {2, 1, "x", label + "headers was null"},
      {0, 5, nullptr, label + "body was null"},
      {0, 0, nullptr, ""},  // no body at all: the empty text
  };
  for (const Case& c : cases) {
    releases = 0;
    module.rawExternal = [&](PluginExternalResponse& r) {
      r.headerCount = c.headerCount;
      r.bodyLength = c.bodyLength;
      r.body = c.body;
      r.status = 200;
      r.release = &CountRelease;
    };
    auto response = ExternalGet<std::string>(module, "https://shop.invalid/t", 20, {});
    EXPECT_EQ(response.error, c.error);
    EXPECT_EQ(response.value, "");
    EXPECT_EQ(releases, 1);
  }
}

}  // namespace
}  // namespace qor
