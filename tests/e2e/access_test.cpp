#include "host/http/access.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <vector>

namespace qor::host {
namespace {

TEST(ParseBasicAuthorization, ReadsUserAndPassword) {
  struct Case {
    std::string header;
    std::optional<std::pair<std::string, std::string>> expected;
  };
  const Case cases[] = {
      {"Basic " + EncodeBase64("qor:secret"), {{"qor", "secret"}}},
      {"basic " + EncodeBase64("qor:secret"), {{"qor", "secret"}}},  // scheme in any case
      {"Basic " + EncodeBase64("qor:a:b"), {{"qor", "a:b"}}},        // password keeps later colons
      {"Basic " + EncodeBase64("qor:"), {{"qor", ""}}},
      {"Basic " + EncodeBase64("qorsecret"), std::nullopt},  // no colon
      {"Basic " + EncodeBase64(std::string("qor:se\0cret", 11)), std::nullopt},
      {"Bearer " + EncodeBase64("qor:secret"), std::nullopt},
      {"Basic ", std::nullopt},
      {"Basic cW9yOnNlY3JldA", std::nullopt},    // padding missing
      {"Basic cW9y*nNlY3JldA==", std::nullopt},  // not base64
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.header);
    std::optional<BasicCredentials> parsed = ParseBasicAuthorization(c.header);
    ASSERT_EQ(parsed.has_value(), c.expected.has_value());
    if (parsed) {
      EXPECT_EQ(parsed->user, c.expected->first);
      EXPECT_EQ(parsed->password, c.expected->second);
    }
  }
}

TEST(EncodeBase64, MatchesKnownVectors) {
  EXPECT_EQ(EncodeBase64("f") + EncodeBase64("fo") + EncodeBase64("foo"), "Zg==Zm8=Zm9v");
}

TEST(MakeRandomPassword, IsLongAlphanumericAndFreshEachTime) {
  std::set<std::string> seen;
  for (int i = 0; i < 20; ++i) {
    const std::string password = MakeRandomPassword();
    EXPECT_EQ(password.size(), 32u);
    EXPECT_EQ(password.find_first_not_of(
                  "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789"),
              std::string::npos);
    seen.insert(password);
  }
  EXPECT_EQ(seen.size(), 20u);
}

TEST(AccessPolicy, AcceptsOnlyLoopbackNamesWithTheServedPort) {
  const AccessPolicy policy("127.0.0.1", 8470);
  struct Case {
    const char* host;
    bool allowed;
  };
  const Case cases[] = {
      {"127.0.0.1:8470", true},
      {"localhost:8470", true},
      {"[::1]:8470", true},
      {"127.0.0.1", false},
      {"127.0.0.1:8471", false},
      {"127.0.0.1:08470", true},
      {"127.0.0.1:8470x", false},
      {"evil.example:8470", false},
      {"localhost.evil.example:8470", false},
      {"::1:8470", false},
      {"127.0.0.2:8470", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.host);
    EXPECT_EQ(policy.HostAllowed(c.host), c.allowed);
  }
}

TEST(AccessPolicy, AddsTheListenAddressUnlessItIsAWildcard) {
  EXPECT_TRUE(AccessPolicy("192.168.1.5", 80).HostAllowed("192.168.1.5:80"));
  EXPECT_TRUE(AccessPolicy("192.168.1.5", 80).HostAllowed("127.0.0.1:80"));
  EXPECT_FALSE(AccessPolicy("0.0.0.0", 80).HostAllowed("0.0.0.0:80"));
  EXPECT_FALSE(AccessPolicy("0.0.0.0", 80).HostAllowed("10.0.0.1:80"));
}

TEST(AccessPolicy, OriginMustBeAbsentOrTheSameOrigin) {
  const AccessPolicy policy("127.0.0.1", 8470);
  struct Case {
    std::optional<std::string_view> origin;
    bool allowed;
  };
  const Case cases[] = {
      {std::nullopt, true},
      {"http://127.0.0.1:8470", true},
      {"http://127.0.0.1:8471", false},
      {"https://127.0.0.1:8470", false},
      {"http://evil.example", false},
      {"null", false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.origin.value_or("<none>")));
    EXPECT_EQ(policy.OriginAllowed(c.origin), c.allowed);
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
  using std::chrono::milliseconds;
  FailedAuthentications failures;
  std::vector<milliseconds> delays;
  for (int i = 0; i < 8; ++i)
    delays.push_back(failures.Failed("127.0.0.1"));
  EXPECT_EQ(delays,
            (std::vector<milliseconds>{milliseconds(0), milliseconds(25), milliseconds(50),
                                       milliseconds(100), milliseconds(200), milliseconds(400),
                                       milliseconds(400), milliseconds(400)}));
  EXPECT_EQ(failures.Failed("::1"), milliseconds(0));
  failures.Succeeded("127.0.0.1");
  EXPECT_EQ(failures.Failed("127.0.0.1"), milliseconds(0));
}

}  // namespace
}  // namespace qor::host
