#include "host/http/access.h"

#include <gtest/gtest.h>

#include <chrono>
#include <vector>

namespace qor::host {
namespace {

TEST(ParseBasicAuthorization, ReadsUserAndPassword) {
  EXPECT_EQ(EncodeBase64("f") + EncodeBase64("fo") + EncodeBase64("foo"), "Zg==Zm8=Zm9v");
  const std::optional<std::pair<std::string, std::string>> refused;
  const std::pair<std::string, std::optional<std::pair<std::string, std::string>>> cases[] = {
      {"Basic " + EncodeBase64("qor:secret"), {{"qor", "secret"}}},
      {"basic " + EncodeBase64("qor:secret"), {{"qor", "secret"}}},  // scheme in any case
      {"Basic " + EncodeBase64("qor:a:b"), {{"qor", "a:b"}}},        // password keeps later colons
      {"Basic " + EncodeBase64("qor:"), {{"qor", ""}}},
      {"Basic " + EncodeBase64("qor:>>>???~~"), {{"qor", ">>>???~~"}}},  // digits, + and /
      {"Basic " + EncodeBase64("qorsecret"), refused},                   // no colon
      {"Basic " + EncodeBase64(std::string("qor:se\0cret", 11)), refused},
      {"Bearer " + EncodeBase64("qor:secret"), refused},
      {"Basic ", refused},
      {"Basic cW9yOnNlY3JldA", refused},    // padding missing
      {"Basic cW9y*nNlY3JldA==", refused},  // not base64
  };
  for (const auto& [header, expected] : cases) {
    SCOPED_TRACE(header);
    std::optional<BasicCredentials> parsed = ParseBasicAuthorization(header);
    ASSERT_EQ(parsed.has_value(), expected.has_value());
    if (parsed) {
      EXPECT_EQ(std::make_pair(parsed->user, parsed->password), *expected);
    }
  }
}

// Its length is checked on a running host's credentials.
// Loopback names with the served port, and the listen address itself unless it is a wildcard.
TEST(AccessPolicy, AcceptsOnlyLoopbackNamesOrTheListenAddressWithTheServedPort) {
  struct Case {
    const char* listen;
    const char* host;
    bool allowed;
  };
  const Case cases[] = {
      {"127.0.0.1", "127.0.0.1:8470", true},       {"127.0.0.1", "localhost:8470", true},
      {"127.0.0.1", "[::1]:8470", true},           {"127.0.0.1", "127.0.0.1", false},
      {"127.0.0.1", "127.0.0.1:8471", false},      {"127.0.0.1", "127.0.0.1:08470", true},
      {"127.0.0.1", "127.0.0.1:8470x", false},     {"127.0.0.1", "evil.example:8470", false},
      {"127.0.0.1", "localhost.evil:8470", false}, {"127.0.0.1", "::1:8470", false},
      {"127.0.0.1", "127.0.0.2:8470", false},      {"192.168.1.5", "192.168.1.5:8470", true},
      {"192.168.1.5", "127.0.0.1:8470", true},     {"0.0.0.0", "0.0.0.0:8470", false},
      {"0.0.0.0", "10.0.0.1:8470", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.listen) + " " + c.host);
    EXPECT_EQ(AccessPolicy(c.listen, 8470).HostAllowed(c.host), c.allowed);
  }
  const AccessPolicy policy("127.0.0.1", 8470);
  EXPECT_TRUE(policy.OriginAllowed(std::nullopt));
  EXPECT_TRUE(policy.OriginAllowed("http://127.0.0.1:8470"));
  for (const char* origin :
       {"http://127.0.0.1:8471", "https://127.0.0.1:8470", "http://evil.example", "null"}) {
    EXPECT_FALSE(policy.OriginAllowed(origin)) << origin;
  }
}

TEST(CheckAccess, RefusesHostBeforeLookingAtCredentials) {
  const AccessPolicy policy("127.0.0.1", 8470);
  const std::string good = "Basic " + EncodeBase64("qor:pw");
  struct Case {
    const char* name;
    std::optional<std::string_view> host;
    std::optional<std::string_view> origin;
    std::optional<std::string> authorization;  // owned: the cases build some of them
    AccessDecision expected;
  };
  const Case cases[] = {
      {"all good", "127.0.0.1:8470", std::nullopt, good, AccessDecision::kAllowed},
      {"no Host", std::nullopt, std::nullopt, good, AccessDecision::kForbidden},
      {"foreign Host", "evil:8470", std::nullopt, good, AccessDecision::kForbidden},
      {"foreign Origin", "127.0.0.1:8470", "http://evil", good, AccessDecision::kForbidden},
      {"no credentials", "127.0.0.1:8470", std::nullopt, std::nullopt,
       AccessDecision::kUnauthorized},
      {"wrong user", "127.0.0.1:8470", std::nullopt, "Basic " + EncodeBase64("root:pw"),
       AccessDecision::kUnauthorized},
      {"wrong password", "127.0.0.1:8470", std::nullopt, "Basic " + EncodeBase64("qor:p"),
       AccessDecision::kUnauthorized},
      {"malformed", "127.0.0.1:8470", std::nullopt, "Basic !!", AccessDecision::kUnauthorized},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::optional<std::string_view> authorization;
    if (c.authorization) authorization = *c.authorization;
    EXPECT_EQ(CheckAccess(policy, c.host, c.origin, authorization, "pw"), c.expected);
  }
}

TEST(FailedAuthentications, DelaysGrowPerAddressUpToTheBound) {
  FailedAuthentications failures;
  std::vector<int> delays;
  for (int i = 0; i < 8; ++i)
    delays.push_back(static_cast<int>(failures.Failed("127.0.0.1").count()));
  EXPECT_EQ(delays, (std::vector<int>{0, 25, 50, 100, 200, 400, 400, 400}));
  EXPECT_EQ(failures.Failed("::1").count(), 0);
  failures.Succeeded("127.0.0.1");
  EXPECT_EQ(failures.Failed("127.0.0.1").count(), 0);
}

}  // namespace
}  // namespace qor::host
