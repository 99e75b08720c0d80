#include "host/platform/scenario.h"

#include <gtest/gtest.h>

#include "host/options.h"
#include "tests/e2e/host_process.h"

namespace qor::host {
namespace {

// What each section means is shown by the simulated peers' tests, which load their scenarios;
// here the rules of reading them.
TEST(ParseScenario, ReadsEverySection) {
  MaybeType<Failure, Scenario> scenario = ParseScenario(R"({
    "storefrontUrl": "http://127.0.0.1:8471",
    "resources": {"/vaxoclient/region-locale": {"locale": "en_US",   "region": "NA"},
                  "/a": 1, "/a": 2},
    "lcdsResponses": [{"destination": "d", "method": "down", "error": "Service down"}],
    "serviceProxyResponses": [{"serviceName": "s", "methodName": "m", "status": "OK"}],
    "localResponses": [{"method": "POST", "path": "/x/v1/y"}, {"path": "/x/v1/z"}]
  })");
  ASSERT_TRUE(scenario) << scenario.ErrorMessage();
  EXPECT_EQ(scenario->storefrontUrl, "http://127.0.0.1:8471");
  // Compacted, and the last of two values for one URI kept.
  EXPECT_EQ(
      scenario->resources,
      (std::vector<std::pair<std::string, std::string>>{
          {"/vaxoclient/region-locale", R"({"locale":"en_US","region":"NA"})"}, {"/a", "2"}}));
  EXPECT_EQ(scenario->lcdsAnswers.at(0).answer.status, 500u);  // an error without status
  EXPECT_EQ(scenario->localAnswers.at(0).method, 6u);
  EXPECT_EQ(scenario->localAnswers.at(1).method, 0u);  // every method
}

TEST(ParseScenario, NamesWhatIsWrong) {
  testing::ExpectRefusals<std::string>(
      [](const std::string& json) { return ParseScenario(json); },
      {
          {"", "Scenario: The document is empty. at offset 0"},
          {"[]", "Scenario: the scenario must be a JSON object"},
          {R"({"resource": {}})", "Scenario: unknown key 'resource'"},
          {R"({"storefrontUrl": 1})", "Scenario: 'storefrontUrl' must be a string"},
          {R"({"resources": {"a/b": 1}})", "Scenario: resource URI 'a/b' must begin with '/'"},
          {R"({"lcdsResponses": {}})", "Scenario: 'lcdsResponses' must be an array"},
          {R"({"lcdsResponses": [1]})", "Scenario: lcdsResponses[0]: must be an object"},
          {R"({"lcdsResponses": [{"method": "m"}]})",
           "Scenario: lcdsResponses[0]: 'destination' and 'method' are required"},
          {R"({"lcdsResponses": [{"destination": "d", "method": "m", "status": -1}]})",
           "Scenario: lcdsResponses[0]: 'status' must be a number from 0 to 999"},
          {R"({"serviceProxyResponses": [{"serviceName": "s"}]})",
           "Scenario: serviceProxyResponses[0]: 'serviceName' and 'methodName' are required"},
          {R"({"localResponses": [{"path": "x"}]})",
           "Scenario: localResponses[0]: 'path' must begin with '/'"},
          {R"({"localResponses": [{"path": "/x", "method": "get"}]})",
           "Scenario: localResponses[0]: unknown method 'get'"},
      });
}

// A missing file is shown by qor-host's start failures, end to end.
TEST(LoadScenario, ReadsTheExampleScenario) {
  MaybeType<Failure, Scenario> example =
      LoadScenario(std::string(QOR_SOURCE_DIR) + "/host/scenarios/example.json");
  EXPECT_TRUE(example) << example.ErrorMessage();
}

// The options the end-to-end tests use are read there; here the listen address and refusals.
TEST(ParseHostOptions, ReadsTheListenAddressAndRefusesBadValues) {
  EXPECT_EQ(ParseHostOptions({"--listen", ":9000"})->listenHost, "127.0.0.1");
  EXPECT_EQ(ParseHostOptions({"--listen=[::1]:0"})->listenHost, "[::1]");
  testing::ExpectRefusals<std::vector<std::string>>(
      [](const std::vector<std::string>& arguments) { return ParseHostOptions(arguments); },
      {
          {{"--lisen", "x"}, "Unknown option '--lisen' (see --help)"},
          {{"--listen", "8470"}, "--listen: expected HOST:PORT"},
          {{"--listen", "h:80a"}, "--listen: the port must be a number"},
          {{"--listen", "h:65536"}, "--listen: the port must be at most 65535"},
          {{"--listen", "::1:80"}, "--listen: write an IPv6 address in brackets, e.g. [::1]:8470"},
          {{"--password", ""}, "--password: the password must not be empty"},
          {{"--log-level", "debug"}, "--log-level: expected okay, warn, error, always or none"},
      });
}

}  // namespace
}  // namespace qor::host
