// Outgoing requests over the host core: local calls (plain and streamed), the external GET
// with every failure message.
#include "runtime/local_client.h"

#include <gtest/gtest.h>

#include <functional>
#include <optional>
#include <string>
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
  LocalReply Streamed(std::vector<StreamPiece> pieces, uint32_t hint = 0) {
    LocalReply reply;
    reply.stream = std::move(pieces);
    reply.streamLengthHint = hint;
    return reply;
  }

  HostCore host;
  runtime_test::TestModule module{host, 2, 7};
};

TEST_F(LocalClientTest, FailureMessages) {
  host.SetLocalPeer("/missing", [](const LocalCall&) { return LocalReply::Error(404, "gone"); });
  host.SetLocalPeer("/bad-body", [](const LocalCall&) {
    return LocalReply::Value(BindingProperty("text, not a record"));
  });

  struct Case {
    const char* name;
    std::function<Failure()> run;
    int status;
    std::string message;
  };
  AppModule& m = module;
  const Case cases[] = {
      {"parameter that does not convert",
       [&] { return CallLocal(m, PLUGIN_METHOD_POST, "/peer/x", Unregistered{}).Error(); }, 400,
       "Request not sent: Error converting parameters for POST /peer/x: "},
      {"error response",
       [&] { return CallLocalFor<BindingProperty>(m, PLUGIN_METHOD_GET, "/missing").Error(); }, 404,
       "Error response for GET /missing: gone"},
      {"error response without result",
       [&] { return CallLocal(m, PLUGIN_METHOD_DELETE, "/missing").Error(); }, 404,
       "Error response for DELETE /missing: gone"},
      {"result that does not convert",
       [&] { return CallLocalFor<PluginResourceEvent>(m, PLUGIN_METHOD_GET, "/bad-body").Error(); },
       0, "Error converting response for GET /bad-body: "},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const Failure failure = c.run();
    EXPECT_EQ(failure.Status(), c.status);
    EXPECT_EQ(failure.Message().rfind(c.message, 0), 0u) << failure.Message();
  }
  // The parameter failure sent nothing.
  for (const auto& call : host.LocalCalls())
    EXPECT_NE(call.path, "/peer/x");
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
    host.SetLocalPeer("/stream", [&](const LocalCall&) { return Streamed(c.pieces); });
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

TEST_F(LocalClientTest, UserAgentHeaderRule) {
  host.SetExternalResponder([](const ExternalCall&) {
    ExternalReply reply;
    reply.body = "ok";
    return reply;
  });
  struct Case {
    std::map<std::string, std::string> headers;
    host::HeaderList expected;
  };
  const Case cases[] = {
      {{}, {{"user-agent", "VaxoClient/18.2.7 (qor-store)"}}},
      {{{"User-Agent", "mine"}}, {{"User-Agent", "mine"}}},
      {{{"USER-AGENT", "mine"}, {"a", "1"}}, {{"USER-AGENT", "mine"}, {"a", "1"}}},
  };
  for (const Case& c : cases) {
    auto response = ExternalGet<std::string>(module, "https://shop.invalid/x", 20, c.headers);
    EXPECT_TRUE(response.Succeeded()) << response.error;
    EXPECT_EQ(response.value, "ok");
    const ExternalCall call = host.ExternalCalls().back();
    EXPECT_EQ(call.headers, c.expected);
    EXPECT_EQ(call.method, static_cast<uint32_t>(PLUGIN_METHOD_GET));
    EXPECT_EQ(call.timeLimit, 20u);
    EXPECT_EQ(call.flags, 1u);
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

TEST_F(LocalClientTest, MalformedExternalRecords) {
  struct Case {
    const char* name;
    std::function<void(PluginExternalResponse&)> fill;
    std::string error;
  };
  const std::string label = "GET https://shop.invalid/t";
  const Case cases[] = {
      {"header count without headers",
       [](PluginExternalResponse& r) {
         r.headerCount = 2;
         r.body = "x";
         r.bodyLength = 1;
       },
       "Error converting response for " + label + ": headers was null"},
      {"length without body", [](PluginExternalResponse& r) { r.bodyLength = 5; },
       "Error converting response for " + label + ": body was null"},
      {"no body at all is the empty text", [](PluginExternalResponse&) {}, ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    releases = 0;
    module.rawExternal = [&](PluginExternalResponse& r) {
      c.fill(r);
      r.status = 200;
      r.release = &CountRelease;
    };
    auto response = ExternalGet<std::string>(module, "https://shop.invalid/t", 20, {});
    EXPECT_EQ(response.error, c.error);
    EXPECT_EQ(response.value, "");
    EXPECT_EQ(releases, 1);  // the host's record is always released
  }
}

}  // namespace
}  // namespace qor
