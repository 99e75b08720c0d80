// The store's start-up, its last page, the store URL from the platform, the login session's
// edge, region-locale and platform id.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "tests/store/store_fixture.h"

namespace qor::store_test {
namespace {

class SessionTest : public StoreFixture {
 protected:
  // The URL of the wallet request the store makes now.
  std::string WalletUrl() {
    ForgetActivity();
    (void)Get("/qor-store/v1/wallet");
    std::vector<std::string> urls = ExternalUrls();
    return urls.size() == 1 ? urls[0] : "<" + std::to_string(urls.size()) + " requests>";
  }
  std::optional<std::string> WalletAuthorization() {
    ForgetActivity();
    (void)Get("/qor-store/v1/wallet");
    std::optional<std::string> value;
    for (const host::ExternalCall& call : ExternalCalls()) {
      for (const auto& [name, text] : call.headers) {
        if (name == "Authorization") value = text;
      }
    }
    return value;
  }
  void LogIn(std::string_view token, uint64_t summonerId = 11, uint64_t accountId = 22) {
    Deliver(kSessionUri, "Update", SessionJson("SUCCEEDED", summonerId, accountId, token));
  }
};

TEST_F(SessionTest, LastPageIsFeaturedUntilSetAndAgainWhenSetEmpty) {
  StartStore();
  auto lastPage = [&] { return std::string(Get("/qor-store/v1/lastPage").body.GetString()); };
  EXPECT_EQ(lastPage(), "featured");
  Reply set = Call(PLUGIN_METHOD_POST, "/qor-store/v1/lastPage", "\"skins\"");
  ASSERT_TRUE(set.Succeeded()) << set.error.value_or("");
  EXPECT_TRUE(set.body.IsEmpty());
  EXPECT_EQ(lastPage(), "skins");
  Deliver(kSessionUri, "Delete");  // a logout does not reset it
  EXPECT_EQ(lastPage(), "skins");
  ASSERT_TRUE(Call(PLUGIN_METHOD_POST, "/qor-store/v1/lastPage", "\"\"").Succeeded());
  EXPECT_EQ(lastPage(), "featured");
}

TEST_F(SessionTest, StartWithUsableSessionPublishesUrlAndWalletBeforeLocaleArrives) {
  SetResource(kSessionUri, SessionJson("SUCCEEDED", 11, 22, "tok"));
  SetResource(kRegionLocaleUri, R"({"locale":"en_US","region":"NA"})");
  SetResource(kPlatformIdUri, R"("NA1")");
  storeUrlReply = "https://store.example/";
  SetPage("https://store.example/storefront/v2/wallet?language=", Page(200, R"({"ip":5,"vp":6})"));
  StartStore();

  ASSERT_EQ(LcdsCalls().size(), 1u);
  EXPECT_EQ(LcdsCalls()[0].destination, "loginService");
  EXPECT_EQ(LcdsCalls()[0].method, "getStoreUrl");
  EXPECT_EQ(LcdsCalls()[0].parameters.Size(), 0u);
  ASSERT_EQ(Published(kStoreUrlUri).size(), 1u);
  EXPECT_EQ(Published(kStoreUrlUri)[0].GetString(), "https://store.example");
  ASSERT_EQ(Published(kWalletUri).size(), 1u);
  EXPECT_EQ(JsonText(Published(kWalletUri)[0]), R"({"ip":5,"vp":6})");
  const std::vector<host::ExternalCall> calls = ExternalCalls();
  ASSERT_EQ(calls.size(), 1u);
  EXPECT_EQ(calls[0].url, "https://store.example/storefront/v2/wallet?language=");
  EXPECT_EQ(calls[0].timeLimit, 20u);
  EXPECT_EQ(WalletAuthorization(), "Bearer tok");

  // The locale and platform id came in after the wallet, and are used from then on.
  ForgetActivity();
  (void)Get("/qor-store/v1/catalog");
  EXPECT_EQ(ExternalUrls(),
            std::vector<std::string>{
                "https://store.example/storefront/v1/catalog?region=NA1&language=en_US"});
}

TEST_F(SessionTest, StoreUrlTakesThePartBeforeTheQueryWithoutOneTrailingSlash) {
  StartStore();
  struct Case {
    std::optional<std::string> reply;  // nothing: the legacy call fails
    uint32_t status;
    const char* answer;  // the URL, or the failure's message
  };
  const Case cases[] = {
      {"https://s.example", 0, "https://s.example"},
      {"https://s.example/", 0, "https://s.example"},
      {"https://s.example//", 0, "https://s.example/"},
      {"https://s.example/shop?x=1/", 0, "https://s.example/shop"},
      {"https://s.example/a?b?c", 0, "https://s.example/a"},
      {"", 404, "Store url not set in platform"},
      {"?region=NA", 404, "Store url not set in platform"},
      // "/" alone is no store URL either: it would make every storefront URL relative.
      {"/", 404, "Store url not set in platform"},
      {"/?x", 404, "Store url not set in platform"},
      {std::nullopt, 500, "Failed to LCDS store URL from platform"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.reply.value_or("<failed call>"));
    storeUrlReply = c.reply;
    Reply reply = Get("/qor-store/v1/getStoreUrl");
    if (c.status == 0) {
      ASSERT_TRUE(reply.Succeeded()) << *reply.error;
      EXPECT_EQ(reply.body.GetString(), c.answer);
    } else {
      EXPECT_EQ(reply.status, c.status);
      EXPECT_EQ(reply.error.value_or("<success>"), c.answer);
    }
  }
  // Asking for it does not keep it.
  EXPECT_EQ(WalletUrl(), "/storefront/v2/wallet?language=");
  EXPECT_TRUE(Published(kStoreUrlUri).empty());
}

TEST_F(SessionTest, OnlyTheFalseToTrueEdgeFetchesAndPublishes) {
  storeUrlReply = "https://s.example/";
  SetPage("https://s.example/storefront/v2/wallet?language=", Page(200, R"({"ip":1,"vp":2})"));
  StartStore();
  ASSERT_TRUE(ExternalUrls().empty());

  LogIn("first");
  EXPECT_EQ(LcdsCalls().size(), 1u);
  ASSERT_EQ(Published(kStoreUrlUri).size(), 1u);
  EXPECT_EQ(Published(kStoreUrlUri)[0].GetString(), "https://s.example");
  ASSERT_EQ(Published(kWalletUri).size(), 1u);
  EXPECT_EQ(JsonText(Published(kWalletUri)[0]), R"({"ip":1,"vp":2})");
  EXPECT_EQ(WalletAuthorization(), "Bearer first");

  // Still usable: nothing is fetched, the earlier token stays.
  ForgetActivity();
  LogIn("second");
  EXPECT_TRUE(LcdsCalls().empty());
  EXPECT_TRUE(ExternalUrls().empty());
  EXPECT_EQ(WalletAuthorization(), "Bearer first");

  // Logging out keeps the URL and the header until a Delete.
  Deliver(kSessionUri, "Update", SessionJson("LOGGING_OUT", 11, 22, "first"));
  EXPECT_EQ(WalletUrl(), "https://s.example/storefront/v2/wallet?language=");
  EXPECT_EQ(WalletAuthorization(), "Bearer first");

  // Usable again: a new edge, a new token.
  ForgetActivity();
  LogIn("third");
  EXPECT_EQ(LcdsCalls().size(), 1u);
  EXPECT_EQ(Published(kStoreUrlUri).size(), 1u);
  EXPECT_EQ(WalletAuthorization(), "Bearer third");
}

TEST_F(SessionTest, SessionsThatAreNotUsableFetchNothing) {
  storeUrlReply = "https://s.example";
  StartStore();
  EXPECT_TRUE(LcdsCalls().empty());
  const std::string sessions[] = {
      SessionJson("SUCCEEDED", 11, 0, "t"),    SessionJson("SUCCEEDED", 0, 22, "t"),
      SessionJson("IN_PROGRESS", 11, 22, "t"), SessionJson("ERROR", 11, 22, "t"),
      SessionJson("LOGGING_OUT", 11, 22, "t"),
  };
  for (const std::string& session : sessions) {
    SCOPED_TRACE(session);
    Deliver(kSessionUri, "Update", session);
    EXPECT_TRUE(LcdsCalls().empty());
    EXPECT_TRUE(ExternalUrls().empty());
  }
  EXPECT_EQ(WalletAuthorization(), std::nullopt);
}

TEST_F(SessionTest, DeleteEmptiesUrlAndLocaleButKeepsTheHeader) {
  storeUrlReply = "https://s.example";
  StartStore();
  Deliver(kRegionLocaleUri, "Update", R"({"locale":"fr_FR","region":"EU"})");
  LogIn("tok");
  EXPECT_EQ(WalletUrl(), "https://s.example/storefront/v2/wallet?language=fr_FR");

  Deliver(kSessionUri, "Delete");
  EXPECT_EQ(WalletUrl(), "/storefront/v2/wallet?language=");
  EXPECT_EQ(WalletAuthorization(), "Bearer tok");

  // Logged out by the Delete: the next usable session is an edge again.
  ForgetActivity();
  LogIn("new");
  EXPECT_EQ(LcdsCalls().size(), 1u);
  EXPECT_EQ(WalletAuthorization(), "Bearer new");
}

TEST_F(SessionTest, FailedStoreUrlOrWalletAtLoginPublishesNothingForIt) {
  StartStore();  // no store URL reply: the legacy call fails
  LogIn("tok");
  EXPECT_TRUE(Published(kStoreUrlUri).empty());
  // The wallet is still asked for, from the empty URL, and its failure is not published.
  EXPECT_EQ(ExternalUrls(), std::vector<std::string>{"/storefront/v2/wallet?language="});
  EXPECT_TRUE(Published(kWalletUri).empty());
  // Logged in all the same: a later update is no edge.
  ForgetActivity();
  LogIn("again");
  EXPECT_TRUE(LcdsCalls().empty());
}

TEST_F(SessionTest, RegionLocaleIsReadAsTextAndItsDeleteEmptiesTheStoreUrl) {
  storeUrlReply = "https://s.example";
  StartStore();
  struct Case {
    const char* data;
    const char* language;
  };
  const Case cases[] = {
      {R"({"locale":"en_GB","region":"EUW"})", "en_GB"},
      {R"({"locale":-12})", "-12"},
      {R"({"locale":["en_US"]})", ""},
      {R"("en_US")", ""},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.data);
    Deliver(kRegionLocaleUri, "Update", c.data);
    EXPECT_EQ(WalletUrl(), std::string("/storefront/v2/wallet?language=") + c.language);
  }
  LogIn("tok");
  Deliver(kRegionLocaleUri, "Create", R"({"locale":"es_ES","region":"EUW"})");
  EXPECT_EQ(WalletUrl(), "https://s.example/storefront/v2/wallet?language=es_ES");
  Deliver(kRegionLocaleUri, "Delete");
  EXPECT_EQ(WalletUrl(), "/storefront/v2/wallet?language=");
}

TEST_F(SessionTest, PlatformIdIsTheCatalogRegion) {
  StartStore();  // every catalog fetch fails, so each query asks again
  auto catalogUrl = [&] {
    ForgetActivity();
    (void)Get("/qor-store/v1/catalog");
    std::vector<std::string> urls = ExternalUrls();
    return urls.size() == 1 ? urls[0] : std::string("<none>");
  };
  EXPECT_EQ(catalogUrl(), "/storefront/v1/catalog?region=&language=");
  Deliver(kRegionLocaleUri, "Update", R"({"locale":"en_US","region":"NA"})");
  Deliver(kPlatformIdUri, "Update", R"("NA1")");
  EXPECT_EQ(catalogUrl(), "/storefront/v1/catalog?region=NA1&language=en_US");
  Deliver(kPlatformIdUri, "Update", "42");
  EXPECT_EQ(catalogUrl(), "/storefront/v1/catalog?region=42&language=en_US");
  Deliver(kPlatformIdUri, "Delete");
  EXPECT_EQ(catalogUrl(), "/storefront/v1/catalog?region=&language=en_US");
  // A session Delete empties it too.
  Deliver(kPlatformIdUri, "Update", R"("EUW1")");
  Deliver(kSessionUri, "Delete");
  EXPECT_EQ(catalogUrl(), "/storefront/v1/catalog?region=&language=");
}

}  // namespace
}  // namespace qor::store_test
