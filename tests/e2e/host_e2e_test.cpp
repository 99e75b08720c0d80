// End-to-end tests of qor-host: the real process on a free loopback port, called over HTTP.
//
// Most tests load the small test plug-in (tests/e2e/test_plugin.cpp), whose endpoints show what
// the host put into each request and exercise each host operation. The last suite loads the
// real libqor_store.so from its default place beside qor-host.
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <microhttpd.h>
#include <signal.h>
#include <sys/stat.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "host/http/access.h"
#include "tests/e2e/host_process.h"
#include "tests/e2e/test_plugin_host.h"

namespace qor::host::testing {
namespace {

using ::testing::HasSubstr;

constexpr const char* kScenario = R"({
  "storefrontUrl": "http://127.0.0.1:1/store",
  "resources": {"/vaxoclient/region-locale": {"locale": "en_US", "region": "NA"}},
  "serviceProxyResponses": [
    {"serviceName": "test.service", "methodName": "echo", "payload": {"ok": true}}
  ]
})";

std::string ErrorBody(int status, const std::string& message) {
  return "{\"httpStatus\":" + std::to_string(status) + ",\"message\":\"" + message + "\"}";
}

class HostWithTestPlugin : public TestPluginHost<HostWithTestPlugin> {
 public:
  static std::optional<std::string> Scenario() { return kScenario; }
};

TEST_F(HostWithTestPlugin, RoutesByTheSelectionRuleOverTheWholeTable) {
  struct Case {
    const char* method;
    const char* target;
    long status;
    const char* body;
  };
  const Case cases[] = {
      // The literal route wins over the capture route registered before it.
      {"GET", "/test/v1/literal", 200, "\"literal\""},
      {"GET", "/test/v1/literal?x=1", 200, "\"literal\""},
      {"GET", "/test/v1/featured", 200, "\"capture:/test/v1/featured\""},
      {"GET", "/test/v1/a%2Fb", 200, "\"capture:/test/v1/a%2Fb\""},
      {"GET", "/test/v1/a/b", 404, "{\"httpStatus\":404,\"message\":\"Invalid function\"}"},
      {"POST", "/test/v1/literal", 404, "{\"httpStatus\":404,\"message\":\"Invalid function\"}"},
      {"GET", "/nothing/here", 404, "{\"httpStatus\":404,\"message\":\"Invalid function\"}"},
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
  // Keys come sorted; the credentials are not handed to the plug-in.
  EXPECT_EQ(result.body,
            "{\"body\":\"{\\\"x\\\":1}\",\"bodyEndsWithNul\":true,"
            "\"contentType\":\"application/json; charset=utf-8\",\"method\":\"6\","
            "\"path\":\"/test/v1/echo?a=%20b&c\",\"sawAuthorization\":false,\"xTest\":\"hello\"}");
}

TEST_F(HostWithTestPlugin, RepliesFollowTheOutcome) {
  struct Case {
    const char* target;
    long status;
    std::string body;
  };
  const Case cases[] = {
      {"/test/v1/empty", 204, ""},
      {"/test/v1/fail", 500, ErrorBody(500, "Broken on purpose")},  // status 0 becomes 500
      {"/test/v1/teapot", 418, ErrorBody(418, "I'm a teapot")},
      {"/test/v1/stream", 200, "[1,2,3]"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.target);
    HttpResult result = Host().Get(c.target);
    EXPECT_EQ(result.status, c.status);
    EXPECT_EQ(result.body, c.body);
  }
}

TEST_F(HostWithTestPlugin, RefusesUnauthenticatedWrongHostAndForeignOrigin) {
  const std::string port = Host().HostPort().substr(Host().HostPort().rfind(':') + 1);
  struct Case {
    const char* name;
    HttpCall call;
    long status;
  };
  const Case cases[] = {
      {"no credentials", {"GET", "/test/v1/literal", "", {}, false}, 401},
      {"wrong password", {"GET", "/test/v1/literal", "", {}, true, "guess"}, 401},
      {"control API without credentials", {"GET", "/dev/v1/log", "", {}, false}, 401},
      {"foreign Host", {"GET", "/test/v1/literal", "", {"Host: evil.example:" + port}}, 403},
      {"Host with another port", {"GET", "/test/v1/literal", "", {"Host: 127.0.0.1:1"}}, 403},
      {"foreign Host, no credentials",
       {"GET", "/test/v1/literal", "", {"Host: evil.example:" + port}, false},
       403},
      {"foreign Origin", {"GET", "/test/v1/literal", "", {"Origin: http://evil.example"}}, 403},
      {"null Origin", {"GET", "/test/v1/literal", "", {"Origin: null"}}, 403},
      {"own Origin", {"GET", "/test/v1/literal", "", {"Origin: " + Host().Url()}}, 200},
      {"localhost Host", {"GET", "/test/v1/literal", "", {"Host: localhost:" + port}}, 200},
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

TEST_F(HostWithTestPlugin, ResourcePutChangesWhatThePluginAnswers) {
  const std::string target = "/dev/v1/resources?uri=%2Fvaxoclient%2Fregion-locale";
  EXPECT_EQ(Host().Get("/test/v1/locale").body, "\"en_US\"");  // fetched at start
  HttpResult put = Host().Call({"PUT", target, R"({"locale": "de_DE", "region": "EU"})"});
  EXPECT_EQ(put.status, 204) << put.body;
  EXPECT_EQ(Host().Get("/test/v1/locale").body, "\"de_DE\"");
  EXPECT_EQ(Host().Get(target).body, R"({"locale":"de_DE","region":"EU"})");

  EXPECT_EQ(Host().Call({"DELETE", target}).status, 204);
  HttpResult gone = Host().Get(target);
  EXPECT_EQ(gone.status, 404);
  EXPECT_EQ(gone.body, ErrorBody(404, "No value for resource '/vaxoclient/region-locale'"));
  EXPECT_EQ(Host().Call({"PUT", target, R"({"locale": "en_US"})"}).status, 204);
}

TEST_F(HostWithTestPlugin, ResourcesIncludeThePluginsOwnPublishedOnes) {
  HttpResult state = Host().Get("/dev/v1/resources?uri=/test-plugin/v1/state");
  EXPECT_EQ(state.status, 200);
  EXPECT_EQ(state.body, "{\"started\":true}");
}

TEST_F(HostWithTestPlugin, PeersAnswerAndRecordWhatThePluginSent) {
  EXPECT_EQ(Host().Call({"POST", "/test/v1/toast", "hello"}).status, 204);
  EXPECT_THAT(Host().Get("/dev/v1/notifications").body, HasSubstr("{\"titleKey\":\"hello\"}"));

  EXPECT_EQ(Host().Call({"POST", "/test/v1/telemetry", ""}).status, 204);
  EXPECT_THAT(Host().Get("/dev/v1/telemetry").body,
              HasSubstr("{\"name\":\"test-event\",\"payload\":{\"n\":1}}"));

  EXPECT_EQ(Host().Get("/test/v1/store-url").body, "\"http://127.0.0.1:1/store\"");
  EXPECT_THAT(
      Host().Get("/dev/v1/lcds-calls").body,
      HasSubstr("{\"destination\":\"loginService\",\"method\":\"getStoreUrl\",\"args\":[]}"));

  EXPECT_THAT(Host().Get("/dev/v1/log").body,
              HasSubstr("{\"level\":3,\"message\":\"test plug-in started\"}"));
}

TEST_F(HostWithTestPlugin, ServiceProxyAnswersLaterByEventDuringTheWait) {
  HttpResult answered = Host().Call({"POST", "/test/v1/proxy", "echo"});
  EXPECT_EQ(answered.status, 200);
  EXPECT_EQ(answered.body, "\"{\\\"ok\\\":true}\"");

  HttpResult unknown = Host().Call({"POST", "/test/v1/proxy", "missing"});
  EXPECT_EQ(unknown.status, 502);
  EXPECT_EQ(unknown.body,
            ErrorBody(502, "The simulated service proxy has no method 'test.service.missing'"));
}

TEST_F(HostWithTestPlugin, ExternalRequestsGoOutWithUnsafeCharactersEncoded) {
  // The host calls itself: a resource whose URI holds a blank, asked for with the blank raw.
  ASSERT_EQ(Host().Call({"PUT", "/dev/v1/resources?uri=/space%20test", "\"found\""}).status, 204);
  const std::string authorization =
      "X-Forward-Authorization: Basic " + EncodeBase64("qor:" + Host().Password());
  HttpResult reached = Host().Call({"POST",
                                    "/test/v1/external",
                                    Host().Url() + "/dev/v1/resources?uri=/space test",
                                    {authorization}});
  EXPECT_EQ(reached.body, R"({"body":"\"found\"","connectionCode":0,"status":200})");

  HttpResult refused = Host().Call({"POST", "/test/v1/external", "http://127.0.0.1:1/"});
  EXPECT_THAT(refused.body, HasSubstr(R"("connectionCode":1)"));
  EXPECT_THAT(refused.body, HasSubstr("Couldn't connect to server"));

  HttpResult notHttp = Host().Call({"POST", "/test/v1/external", "file:///etc/passwd"});
  EXPECT_THAT(notHttp.body, HasSubstr(R"("connectionCode":-1)"));
}

TEST_F(HostWithTestPlugin, UnknownLocalCallsFailClearly) {
  EXPECT_EQ(Host().Get("/test/v1/unknown-peer").body,
            "\"No value for resource '/nobody/v1/here'\"");
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
      {{"PUT", "/dev/v1/resources?uri=/a/b", ""}, 400, "The body must be a JSON value"},
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

TEST_F(HostWithTestPlugin, LcdsEventIsAccepted) {
  HttpResult pushed =
      Host().Call({"POST", "/dev/v1/lcds-events", R"({"typeName": "a.b.C", "body": {"x": 1}})"});
  EXPECT_EQ(pushed.status, 204) << pushed.body;
}

TEST_F(HostWithTestPlugin, BoundsBodiesAndHeaders) {
  HttpResult body = Host().Call({"POST", "/test/v1/echo", std::string((8u << 20) + 1, 'x')});
  EXPECT_EQ(body.status, 413);
  HttpResult chunked = Host().Call(
      {"POST", "/test/v1/echo", std::string((8u << 20) + 1, 'x'), {"Transfer-Encoding: chunked"}});
  EXPECT_EQ(chunked.status, 413);
  HttpResult fits = Host().Call({"POST", "/test/v1/echo", std::string(1u << 20, 'x')});
  EXPECT_EQ(fits.status, 200);
  HttpResult headers =
      Host().Call({"GET", "/test/v1/literal", "", {"X-Big: " + std::string(40000, 'y')}});
  EXPECT_EQ(headers.status, 431);
}

TEST_F(HostWithTestPlugin, CredentialsFileIsPrivateAndComplete) {
  struct stat info {};
  ASSERT_EQ(stat(Host().CredentialsPath().c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 0777, 0600);
  std::FILE* file = std::fopen(Host().CredentialsPath().c_str(), "r");
  ASSERT_NE(file, nullptr);
  char text[512] = {};
  const size_t got = std::fread(text, 1, sizeof(text) - 1, file);
  std::fclose(file);
  const std::string json(text, got);
  EXPECT_THAT(json, HasSubstr("\"user\":\"qor\""));
  EXPECT_THAT(json, HasSubstr("\"url\":\"" + Host().Url() + "\""));
  EXPECT_THAT(json, HasSubstr("\"pid\":" + std::to_string(Host().Pid())));
  EXPECT_EQ(Host().Password().size(), 32u);
}

// ---- Process life --------------------------------------------------------------------------

TEST(HostProcessLife, SigtermShutsThePluginDownAndRemovesTheCredentials) {
  for (int signal : {SIGTERM, SIGINT}) {
    SCOPED_TRACE(signal);
    std::optional<HostProcess> host = HostProcess::Start(
        QOR_HOST_BINARY,
        {"--plugin", QOR_TEST_PLUGIN, "--log-level", "always", "--password", "fixed-password"});
    ASSERT_TRUE(host && !host->Url().empty()) << (host ? host->Stderr() : "");
    EXPECT_EQ(host->Password(), "fixed-password");
    EXPECT_EQ(host->Get("/test/v1/literal").status, 200);
    const std::string credentials = host->CredentialsPath();
    EXPECT_EQ(host->SignalAndWait(signal), 0);
    EXPECT_FALSE(FileExists(credentials));
    EXPECT_THAT(host->Stderr(), HasSubstr("test plug-in stopped"));
  }
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
      {{"--bogus"}, "Unknown option '--bogus'"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    std::optional<HostProcess> host = HostProcess::Start(QOR_HOST_BINARY, c.arguments);
    ASSERT_TRUE(host.has_value());
    EXPECT_TRUE(host->Url().empty());
    EXPECT_THAT(host->Stderr(), HasSubstr(c.message));
    EXPECT_FALSE(FileExists(host->CredentialsPath()));
  }
}

TEST(HostProcessLife, HelpDocumentsEveryFlagAndTheControlApi) {
  std::FILE* pipe = popen((std::string(QOR_HOST_BINARY) + " --help").c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  std::string help;
  char buffer[4096];
  size_t got = 0;
  while ((got = std::fread(buffer, 1, sizeof(buffer), pipe)) > 0)
    help.append(buffer, got);
  EXPECT_EQ(pclose(pipe), 0);
  for (const char* text :
       {"--plugin", "--listen", "--password", "--credentials", "--scenario", "--storefront",
        "--log-level", "--help", "/dev/v1/resources?uri=", "/dev/v1/lcds-events",
        "/dev/v1/notifications", "/dev/v1/telemetry", "/dev/v1/lcds-calls", "/dev/v1/log"}) {
    EXPECT_THAT(help, HasSubstr(text));
  }
}

// ---- The real plug-in ----------------------------------------------------------------------

#ifdef QOR_STORE_PLUGIN

// A storefront stand-in: answers every GET with {"ok": true} and remembers each request's
// target and Authorization header.
class RecordingStorefront {
 public:
  RecordingStorefront() {
    daemon_ = MHD_start_daemon(MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION, 0,
                               nullptr, nullptr, &OnRequest, this, MHD_OPTION_URI_LOG_CALLBACK,
                               &OnUri, this, MHD_OPTION_END);
    if (daemon_ != nullptr) {
      port_ = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_BIND_PORT)->port;
    }
  }
  ~RecordingStorefront() {
    if (daemon_ != nullptr) MHD_stop_daemon(daemon_);
  }
  std::string Url() const { return "http://127.0.0.1:" + std::to_string(port_); }
  std::vector<std::string> Requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
  }

 private:
  static void* OnUri(void* cls, const char* uri, MHD_Connection*) {
    auto* self = static_cast<RecordingStorefront*>(cls);
    std::lock_guard lock(self->mutex_);
    self->requests_.push_back(uri);
    return nullptr;
  }
  static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char*, const char*,
                              const char*, const char*, size_t*, void**) {
    auto* self = static_cast<RecordingStorefront*>(cls);
    const char* authorization =
        MHD_lookup_connection_value(connection, MHD_HEADER_KIND, "Authorization");
    {
      std::lock_guard lock(self->mutex_);
      self->requests_.back() += std::string(" ") + (authorization ? authorization : "-");
    }
    static const char kBody[] = "{\"ok\":true}";
    MHD_Response* response = MHD_create_response_from_buffer(
        sizeof(kBody) - 1, const_cast<char*>(kBody), MHD_RESPMEM_PERSISTENT);
    MHD_add_response_header(response, "Content-Type", "application/json");
    MHD_Result queued = MHD_queue_response(connection, 200, response);
    MHD_destroy_response(response);
    return queued;
  }

  MHD_Daemon* daemon_ = nullptr;
  uint16_t port_ = 0;
  mutable std::mutex mutex_;
  std::vector<std::string> requests_;
};

TEST(HostWithStorePlugin, LoadsTheStoreBuiltBesideItAndServesIt) {
  RecordingStorefront storefront;
  const std::string scenario = R"({
    "resources": {
      "/qor-login/v1/session": {"state": "SUCCEEDED", "accountId": 7, "summonerId": 9,
                                "idToken": "token-1", "gasToken": "gas"},
      "/vaxoclient/region-locale": {"locale": "en_US", "region": "NA"}
    }})";
  // No --plugin: the default is the libqor_store.so of the same build.
  std::optional<HostProcess> host = HostProcess::Start(
      QOR_HOST_BINARY, {"--storefront", storefront.Url(), "--log-level", "none"}, scenario);
  ASSERT_TRUE(host && !host->Url().empty()) << (host ? host->Stderr() : "");

  HttpResult lastPage = host->Get("/qor-store/v1/lastPage");
  if (lastPage.status == 404) GTEST_SKIP() << "the store registers no endpoints yet";
  EXPECT_EQ(lastPage.status, 200);
  EXPECT_EQ(lastPage.body, "\"featured\"");

  // A resource PUT changes what the store asks the storefront for.
  ASSERT_EQ(host->Get("/qor-store/v1/featured").status, 200);
  ASSERT_EQ(host->Call({"PUT", "/dev/v1/resources?uri=/vaxoclient/region-locale",
                        R"({"locale": "de_DE", "region": "EU"})"})
                .status,
            204);
  ASSERT_EQ(host->Get("/qor-store/v1/featured").status, 200);
  const std::vector<std::string> requests = storefront.Requests();
  EXPECT_THAT(requests,
              ::testing::Contains("/storefront/v3/featured?language=en_US Bearer token-1"));
  EXPECT_THAT(requests,
              ::testing::Contains("/storefront/v3/featured?language=de_DE Bearer token-1"));
}

#endif  // QOR_STORE_PLUGIN

}  // namespace
}  // namespace qor::host::testing
