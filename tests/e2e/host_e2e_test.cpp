// End-to-end tests of qor-host: the real process on a free loopback port, called over HTTP.
//
// These load the small test plug-in (tests/e2e/test_plugin.cpp), whose endpoints show what the
// host put into each request; the store's own stories are in store_e2e_test.cpp.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <thread>

#include "host/http/access.h"
#include "host/http/http_front.h"
#include "tests/e2e/test_plugin_host.h"

namespace qor::host::testing {
namespace {

using ::testing::HasSubstr;

constexpr const char* kScenario = R"({
  "storefrontUrl": "http://127.0.0.1:1/store",
  "resources": {"/vaxoclient/region-locale": {"locale": "en_US", "region": "NA"}}
})";

std::string ErrorBody(int status, const std::string& message) {
  return "{\"httpStatus\":" + std::to_string(status) + ",\"message\":\"" + message + "\"}";
}

class HostWithTestPlugin : public TestPluginHost<HostWithTestPlugin> {
 public:
  static std::optional<std::string> Scenario() { return kScenario; }
};

// Routing by the selection rule, and the reply made of each kind of outcome.
TEST_F(HostWithTestPlugin, RoutesByTheSelectionRuleAndRepliesFollowTheOutcome) {
  struct Case {
    const char* method;
    const char* target;
    long status;
    std::string body;
  };
  const Case cases[] = {
      // The literal route wins over the capture route registered before it.
      {"GET", "/test/v1/literal", 200, "\"literal\""},
      {"GET", "/test/v1/featured", 200, "\"capture:/test/v1/featured\""},
      {"GET", "/test/v1/a%2Fb", 200, "\"capture:/test/v1/a%2Fb\""},
      {"GET", "/test/v1/a/b", 404, ErrorBody(404, "Invalid function")},
      {"POST", "/test/v1/literal", 404, ErrorBody(404, "Invalid function")},
      {"GET", "/test/v1/empty", 204, ""},
      {"GET", "/test/v1/fail", 500, ErrorBody(500, "Broken on purpose")},  // status 0 is 500
      {"GET", "/test/v1/teapot", 418, ErrorBody(418, "I'm a teapot")},
      {"GET", "/test/v1/stream", 200, "[1,2,3]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.method) + " " + c.target);
    HttpResult result = Host().Call({c.method, c.target});
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.body, c.body);
  }
}

TEST_F(HostWithTestPlugin, RequestRecordCarriesMethodPathHeadersAndBody) {
  HttpResult result =
      Host().Call({"POST",
                   "/test/v1/echo?a=%20b&c",
                   "{\"x\":1}",
                   {"Content-Type: application/json; charset=utf-8", "X-Test: hello"}});
  ASSERT_EQ(result.status, 200) << result.body;
  EXPECT_EQ(result.Header("content-type"), "application/json");
  // The credentials are not handed to the plug-in; the body ends with a NUL beyond its length.
  EXPECT_EQ(result.body, R"("method=6\npath=/test/v1/echo?a=%20b&c\ncontentType=application/json; )"
                         R"(charset=utf-8\nx-test=hello\nbody={\"x\":1}\nthen NUL")");
}

TEST_F(HostWithTestPlugin, RefusesUnauthenticatedWrongHostAndForeignOrigin) {
  const std::string port = Host().HostPort().substr(Host().HostPort().rfind(':') + 1);
  std::string wrong = Host().Password();  // as long as the right one, sent after it passed
  wrong.back() = wrong.back() == 'x' ? 'y' : 'x';
  struct Case {
    const char* name;
    HttpCall call;
    long status;
  };
  const Case cases[] = {
      {"no credentials", {"GET", "/test/v1/literal", "", {}, false}, 401},
      {"foreign Origin", {"GET", "/test/v1/literal", "", {"Origin: http://evil.example"}}, 403},
      {"own Origin, localhost Host",
       {"GET", "/test/v1/literal", "", {"Origin: " + Host().Url(), "Host: localhost:" + port}},
       200},
      {"wrong password",
       {"GET",
        "/test/v1/literal",
        "",
        {"Authorization: Basic " + EncodeBase64("qor:" + wrong)},
        false},
       401},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpResult result = Host().Call(c.call);
    EXPECT_EQ(result.status, c.status) << result.body;
    if (c.status == 401) {
      EXPECT_EQ(result.Header("www-authenticate"), "Basic realm=\"qor-host\"");
      EXPECT_THAT(result.body, HasSubstr(Host().CredentialsPath()));
    }
  }
}

// What the plug-in makes of resource events is shown by the store's stories (store_e2e_test.cpp).
TEST_F(HostWithTestPlugin, ControlApiPutsGetsAndDeletesResources) {
  const std::string target = "/dev/v1/resources?uri=%2Fvaxoclient%2Fregion-locale";
  EXPECT_EQ(Host().Get(target).body, R"({"locale":"en_US","region":"NA"})");  // the scenario's
  EXPECT_EQ(Host().Call({"PUT", target, R"({"locale": "de_DE", "region": "EU"})"}).status, 204);
  EXPECT_EQ(Host().Get(target).body, R"({"locale":"de_DE","region":"EU"})");

  EXPECT_EQ(Host().Call({"DELETE", target}).status, 204);
  EXPECT_EQ(Host().Get(target).body,
            ErrorBody(404, "No value for resource '/vaxoclient/region-locale'"));
  EXPECT_EQ(Host().Call({"PUT", target, R"({"locale": "en_US"})"}).status, 204);
  EXPECT_EQ(Host()
                .Call({"POST", "/dev/v1/lcds-events", R"({"typeName": "a.b.C", "body": {"x": 1}})"})
                .status,
            204);
}

// External requests that reach their server are shown by the store's stories (store_e2e_test.cpp),
// and their URLs' encoding in url_text_test.cpp; here the ones that cannot go out.
TEST_F(HostWithTestPlugin, ExternalRequestsThatCannotGoOutSayWhy) {
  EXPECT_THAT(Host().Call({"POST", "/test/v1/external", "http://127.0.0.1:1/"}).body,
              HasSubstr("connectionCode=1 status=0 body=Couldn't connect to server"));
  EXPECT_THAT(Host().Call({"POST", "/test/v1/external", "file:///etc/passwd"}).body,
              HasSubstr("connectionCode=-1 "));
}

TEST_F(HostWithTestPlugin, ControlApiRefusesBadRequests) {
  struct Case {
    HttpCall call;
    long status;
    const char* message;
  };
  const Case cases[] = {
      {{"PUT", "/dev/v1/resources", "{}"}, 400, "The query must name the resource: ?uri=/a/b"},
      {{"PUT", "/dev/v1/resources?uri=/a/b", "{\"a\":"}, 400, "Invalid JSON: "},
      {{"PUT", "/dev/v1/resources?uri=a", "1"}, 400, "The resource URI must begin with '/'"},
      {{"PATCH", "/dev/v1/resources?uri=/a", "1"}, 405, "Method not allowed"},
      {{"POST", "/dev/v1/lcds-events", "{\"body\":1}"},
       400,
       "A legacy-service message needs a non-empty string 'typeName'"},
      {{"POST", "/dev/v1/log", ""}, 405, "Method not allowed; use GET"},
      {{"GET", "/dev/v1/nothing"}, 404, "No control function at /dev/v1/nothing"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.call.method + " " + c.call.target);
    HttpResult result = Host().Call(c.call);
    EXPECT_EQ(result.status, c.status);
    EXPECT_THAT(result.body, HasSubstr(c.message));
  }
}

TEST_F(HostWithTestPlugin, BoundsBodiesAndHeaders) {
  const std::string tooLarge((8u << 20) + 1, 'x');
  EXPECT_EQ(Host().Call({"POST", "/test/v1/echo", tooLarge}).status, 413);
  EXPECT_EQ(Host().Call({"POST", "/test/v1/echo", tooLarge, {"Transfer-Encoding: chunked"}}).status,
            413);
  EXPECT_EQ(Host().Call({"POST", "/test/v1/echo", std::string(1u << 20, 'x')}).status, 200);
  EXPECT_EQ(
      Host().Call({"GET", "/test/v1/literal", "", {"X-Big: " + std::string(40000, 'y')}}).status,
      431);
}

TEST_F(HostWithTestPlugin, CredentialsFileIsPrivateAndComplete) {
  struct stat info {};
  ASSERT_EQ(stat(Host().CredentialsPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600);
  const std::string json = ReadFile(Host().CredentialsPath());
  EXPECT_THAT(json, HasSubstr("\"user\":\"qor\""));
  EXPECT_THAT(json, HasSubstr("\"url\":\"" + Host().Url() + "\""));
  EXPECT_THAT(json, HasSubstr("\"pid\":" + std::to_string(Host().Pid())));
  EXPECT_EQ(Host().Password().size(), 32u);
}

// ---- Load ---------------------------------------------------------------------------------

TEST_F(HostWithTestPlugin, ConcurrentCallsEachGetTheirOwnAnswer) {
  constexpr int kThreads = 8;
  constexpr int kCalls = 40;
  ASSERT_EQ(Host().Get("/test/v1/literal").status, 200);
  std::vector<std::string> firstWrong(kThreads);  // per client: its first wrong answer
  std::vector<std::thread> clients;
  for (int t = 0; t < kThreads; ++t) {
    clients.emplace_back([&, t] {
      for (int i = 0; i < kCalls; ++i) {
        const std::string target = "/test/v1/c" + std::to_string(t) + "-" + std::to_string(i);
        HttpResult result = Host().Get(target);
        const bool right = result.status == 200 && result.body == "\"capture:" + target + "\"";
        if (!right && firstWrong[t].empty()) {
          firstWrong[t] =
              target + " -> " + std::to_string(result.status) + " " + result.body + result.error;
        }
      }
    });
  }
  for (std::thread& client : clients)
    client.join();
  for (const std::string& text : firstWrong)
    EXPECT_EQ(text, "");
}

// Every local client comes from 127.0.0.1: a load generator holding its connections must not
// shut the next client out.
TEST_F(HostWithTestPlugin, OneClientHoldingManyConnectionsLeavesRoomForMore) {
  constexpr unsigned kHeld = 40;  // more than a load generator such as the soak's 32
  static_assert(kHeld + 8 <= kMaxConnectionsPerAddress);
  std::vector<std::unique_ptr<RawConnection>> held;  // kept alive once answered
  for (unsigned i = 0; i < kHeld; ++i) {
    held.push_back(std::make_unique<RawConnection>(Host()));
    held.back()->SendHead("GET", "/test/v1/literal");
    const std::string reply = held.back()->ReadUntil(
        [](const std::string& text) { return text.find("\"literal\"") != std::string::npos; });
    ASSERT_TRUE(reply.starts_with("HTTP/1.1 200")) << "connection " << i;
  }
  HttpResult next = Host().Get("/test/v1/literal");
  EXPECT_EQ(next.status, 200) << next.error;
  EXPECT_EQ(next.body, "\"literal\"");
}

// ---- Process life --------------------------------------------------------------------------

// The password comes from the command line or a file, before the environment; a SIGTERM or
// SIGINT shuts the plug-in down and removes the credentials.
TEST(HostProcessLife, TakesItsPasswordAndStopsOnASignal) {
  const std::string file = "/tmp/qor-password-" + std::to_string(getpid());
  WriteFile(file, "from-the-file\n");
  setenv("QOR_HOST_PASSWORD", "from-the-environment", 1);
  struct Case {
    int signal;
    std::vector<std::string> arguments;
    const char* password;
  };
  const Case cases[] = {
      {SIGTERM, {"--password", "fixed-password"}, "fixed-password"},
      {SIGINT, {"--password-file", file}, "from-the-file"},
      {SIGTERM, {}, "from-the-environment"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.password);
    std::vector<std::string> arguments = {"--plugin", QOR_TEST_PLUGIN, "--log-level", "always"};
    arguments.insert(arguments.end(), c.arguments.begin(), c.arguments.end());
    std::unique_ptr<HostProcess> host = HostProcess::Start(QOR_HOST_BINARY, arguments);
    ASSERT_FALSE(host->Url().empty()) << host->Stderr();
    EXPECT_EQ(host->Password(), c.password);
    EXPECT_EQ(host->Get("/test/v1/literal").status, 200);
    const std::string credentials = host->CredentialsPath();
    EXPECT_EQ(host->SignalAndWait(c.signal), 0);
    EXPECT_FALSE(FileExists(credentials));
    EXPECT_THAT(host->Stderr(), HasSubstr("test plug-in stopped"));
  }
  unsetenv("QOR_HOST_PASSWORD");
  std::remove(file.c_str());
}

TEST(HostProcessLife, StartFailuresAreReportedAndLeaveNoCredentials) {
  struct Case {
    std::vector<std::string> arguments;
    const char* message;
  };
  const Case cases[] = {
      {{"--plugin", "/nonexistent/libqor_store.so"}, "Cannot load the plug-in /nonexistent"},
      {{"--plugin", QOR_TEST_PLUGIN, "--scenario", "/nonexistent.json"},
       "/nonexistent.json: cannot open the scenario file"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    std::unique_ptr<HostProcess> host = HostProcess::Start(QOR_HOST_BINARY, c.arguments);
    EXPECT_TRUE(host->Url().empty());
    EXPECT_THAT(host->Stderr(), HasSubstr(c.message));
    EXPECT_FALSE(FileExists(host->CredentialsPath()));
  }
}

}  // namespace
}  // namespace qor::host::testing
