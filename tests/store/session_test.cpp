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
  // The wallet request the store makes now: its URL, and its Authorization header if any.
  std::string WalletRequest() {
    ForgetActivity();
    (void)Get("/qor-store/v1/wallet");
    std::string request;
    for (const host::ExternalCall& call : ExternalCalls()) {
      request += call.url;
      for (const auto& [name, text] : call.headers) {
        if (name == "Authorization") request += " " + text;
      }
    }
    return request;
  }
  void LogIn(std::string_view token) {
    Deliver(kSessionUri, "Update", SessionJson("SUCCEEDED", 11, 22, token));
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
  EXPECT_EQ(LcdsCalls()[0].destination + "." + LcdsCalls()[0].method, "loginService.getStoreUrl");
  EXPECT_EQ(Published(kStoreUrlUri), Texts{R"("https://store.example")"});
  EXPECT_EQ(Published(kWalletUri), Texts{R"({"ip":5,"vp":6})"});
  ASSERT_EQ(ExternalCalls().size(), 1u);
  EXPECT_EQ(ExternalCalls()[0].url, "https://store.example/storefront/v2/wallet?language=");
  EXPECT_EQ(ExternalCalls()[0].timeLimit, 20u);

  // The locale and platform id came in after the wallet, and are used from then on.
  EXPECT_EQ(WalletRequest(),
            "https://store.example/storefront/v2/wallet?language=en_US Bearer tok");
  ForgetActivity();
  (void)Get("/qor-store/v1/catalog");
  EXPECT_EQ(ExternalUrls(),
            Texts{"https://store.example/storefront/v1/catalog?region=NA1&language=en_US"});
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
    EXPECT_EQ(reply.status, c.status);
    EXPECT_EQ(reply.Succeeded() ? std::string(reply.body.GetString()) : *reply.error, c.answer);
  }
  // Asking for it does not keep it.
  EXPECT_EQ(WalletRequest(), "/storefront/v2/wallet?language=");
  EXPECT_TRUE(Published(kStoreUrlUri).empty());
}

// Only the step to a usable session (SUCCEEDED, both ids set) fetches the store URL and the
// wallet and takes the token; a LOGGING_OUT update keeps the URL and the header, a Delete
// empties the URL and the locale but keeps the header.
TEST_F(SessionTest, OnlyTheStepToAUsableSessionFetchesAndPublishes) {
  storeUrlReply = "https://s.example/";
  const std::string wallet = "https://s.example/storefront/v2/wallet?language=fr_FR";
  SetPage(wallet, Page(200, R"({"ip":1,"vp":2})"));
  StartStore();
  Deliver(kRegionLocaleUri, "Update", R"({"locale":"fr_FR","region":"EU"})");
  for (const std::string& session :
       {SessionJson("SUCCEEDED", 11, 0, "t"), SessionJson("SUCCEEDED", 0, 22, "t"),
        SessionJson("IN_PROGRESS", 11, 22, "t"), SessionJson("ERROR", 11, 22, "t"),
        SessionJson("LOGGING_OUT", 11, 22, "t")}) {
    SCOPED_TRACE(session);
    Deliver(kSessionUri, "Update", session);
    EXPECT_TRUE(LcdsCalls().empty());
    EXPECT_TRUE(ExternalUrls().empty());
  }
  EXPECT_EQ(WalletRequest(), "/storefront/v2/wallet?language=fr_FR");

  LogIn("first");
  EXPECT_EQ(LcdsCalls().size(), 1u);
  EXPECT_EQ(Published(kStoreUrlUri), Texts{R"("https://s.example")"});
  EXPECT_EQ(Published(kWalletUri), Texts{R"({"ip":1,"vp":2})"});
  EXPECT_EQ(WalletRequest(), wallet + " Bearer first");
  // Still usable: nothing is fetched, the earlier token stays.
  ForgetActivity();
  LogIn("second");
  EXPECT_TRUE(LcdsCalls().empty());
  EXPECT_TRUE(ExternalUrls().empty());
  EXPECT_EQ(WalletRequest(), wallet + " Bearer first");

  Deliver(kSessionUri, "Update", SessionJson("LOGGING_OUT", 11, 22, "first"));
  EXPECT_EQ(WalletRequest(), wallet + " Bearer first");
  ForgetActivity();
  LogIn("third");
  EXPECT_EQ(LcdsCalls().size(), 1u);
  EXPECT_EQ(WalletRequest(), wallet + " Bearer third");

  Deliver(kSessionUri, "Delete");
  EXPECT_EQ(WalletRequest(), "/storefront/v2/wallet?language= Bearer third");
  ForgetActivity();
  LogIn("fourth");
  EXPECT_EQ(LcdsCalls().size(), 1u);
}

TEST_F(SessionTest, FailedStoreUrlOrWalletAtLoginPublishesNothingForIt) {
  StartStore();  // no store URL reply: the legacy call fails
  LogIn("tok");
  EXPECT_TRUE(Published(kStoreUrlUri).empty());
  // The wallet is still asked for, from the empty URL, and its failure is not published.
  EXPECT_EQ(ExternalUrls(), Texts{"/storefront/v2/wallet?language="});
  EXPECT_TRUE(Published(kWalletUri).empty());
  // Logged in all the same: a later update is no edge.
  ForgetActivity();
  LogIn("again");
  EXPECT_TRUE(LcdsCalls().empty());
}

// The locale and the platform id are read as text; a Delete of either empties it, and a
// Delete of the region-locale or of the session empties the store URL too.
TEST_F(SessionTest, LocaleAndPlatformIdFillTheCatalogUrl) {
  storeUrlReply = "https://s.example";
  StartStore();  // every catalog fetch fails, so each query asks again
  LogIn("tok");
  const std::string s = "https://s.example/storefront/v1/catalog?region=";
  const std::string bare = "/storefront/v1/catalog?region=";
  struct Case {
    std::string_view uri;
    const char* eventType;
    std::optional<std::string_view> data;
    std::string url;
  };
  const Case cases[] = {
      {kRegionLocaleUri, "Update", R"({"locale":"en_GB","region":"EUW"})", s + "&language=en_GB"},
      {kRegionLocaleUri, "Update", R"({"locale":-12})", s + "&language=-12"},
      {kRegionLocaleUri, "Update", R"({"locale":["en_US"]})", s + "&language="},
      {kRegionLocaleUri, "Update", R"("en_US")", s + "&language="},
      {kRegionLocaleUri, "Create", R"({"locale":"es_ES"})", s + "&language=es_ES"},
      {kPlatformIdUri, "Update", R"("NA1")", s + "NA1&language=es_ES"},
      {kPlatformIdUri, "Update", "42", s + "42&language=es_ES"},
      {kPlatformIdUri, "Delete", std::nullopt, s + "&language=es_ES"},
      {kRegionLocaleUri, "Delete", std::nullopt, bare + "&language="},
      {kPlatformIdUri, "Update", R"("EUW1")", bare + "EUW1&language="},
      {kSessionUri, "Delete", std::nullopt, bare + "&language="},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.eventType) + " " + std::string(c.uri));
    Deliver(c.uri, c.eventType, c.data);
    ForgetActivity();
    (void)Get("/qor-store/v1/catalog");
    EXPECT_EQ(ExternalUrls(), Texts{c.url});
  }
}

}  // namespace
}  // namespace qor::store_test
