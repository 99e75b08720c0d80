// The store's start-up, its last page, the store URL from the platform, the login session's
// edge, region-locale and platform id.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "tests/store/store_fixture.h"

namespace qor::store_test {
namespace {

constexpr std::string_view kPlatformIdUri =
    "/qor-platform-config/v1/namespaces/LoginDataPacket/platformId";

class SessionTest : public StoreFixture {
 protected:
  // The wallet request the store makes now: its URL and Authorization header, and its time limit.
  std::string WalletRequest() {
    (void)Get("/qor-store/v1/wallet");
    const host::ExternalCall call = host_.ExternalCalls().back();
    std::string request = call.url + " " + std::to_string(call.timeLimit);
    for (const auto& [name, text] : call.headers) {
      if (name == "Authorization") request += " " + text;
    }
    return request;
  }
};

TEST_F(SessionTest, LastPageIsFeaturedUntilSetAndAgainWhenSetEmpty) {
  StartStore();
  auto lastPage = [&] { return std::string(Get("/qor-store/v1/lastPage").body.GetString()); };
  EXPECT_EQ(lastPage(), "featured");
  ASSERT_TRUE(Call(PLUGIN_METHOD_POST, "/qor-store/v1/lastPage", "\"skins\"").Succeeded());
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
  EXPECT_EQ(Published("/qor-store/v1/"),
            (Texts{R"(Update /qor-store/v1/getStoreUrl "https://store.example")",
                   R"(Update /qor-store/v1/wallet {"ip":5,"vp":6})"}));
  // The locale and platform id came in after the wallet, and are used from then on.
  EXPECT_EQ(WalletRequest(),
            "https://store.example/storefront/v2/wallet?language=en_US 20 Bearer tok");
  ForgetActivity();
  (void)Get("/qor-store/v1/catalog");
  EXPECT_EQ(ExternalUrls(),
            Texts{"https://store.example/storefront/v1/catalog?region=NA1&language=en_US"});
}

TEST_F(SessionTest, StoreUrlTakesThePartBeforeTheQueryWithoutOneTrailingSlash) {
  StartStore();
  const std::pair<std::optional<std::string>, std::string> cases[] = {
      {"https://s.example/shop/?x=1/", "https://s.example/shop"},
      // "/" alone is no store URL either: it would make every storefront URL relative.
      {"/", "404 Store url not set in platform"},
      {std::nullopt, "500 Failed to LCDS store URL from platform"},
  };
  for (const auto& [storeUrl, answer] : cases) {
    SCOPED_TRACE(storeUrl.value_or("<failed call>"));
    storeUrlReply = storeUrl;
    Reply reply = Get("/qor-store/v1/getStoreUrl");
    EXPECT_EQ(reply.Succeeded() ? std::string(reply.body.GetString())
                                : std::to_string(reply.status) + " " + *reply.error,
              answer);
  }
  EXPECT_TRUE(Published("/qor-store/v1/getStoreUrl").empty());  // asking does not keep it
}

// The locale and the platform id are read as text; a Delete of either empties it, and a
// Delete of the region-locale empties the store URL too.
TEST_F(SessionTest, LocaleAndPlatformIdFillTheCatalogUrl) {
  storeUrlReply = "https://s.example";
  StartStore();  // every catalog fetch fails, so each query asks again
  // A usable session, its state as numeric text: the platform may send the state's code
  // (SUCCEEDED is 1, though not the second state declared).
  Deliver(kSessionUri, "Update", SessionJson("1", 11, 22, "tok"));
  const std::string s = "https://s.example/storefront/v1/catalog?region=";
  const std::string bare = "/storefront/v1/catalog?region=";
  const std::tuple<std::string_view, const char*, std::optional<std::string_view>, std::string>
      cases[] = {
          {kRegionLocaleUri, "Create", R"({"locale":-12})", s + "&language=-12"},
          {kPlatformIdUri, "Update", "42", s + "42&language=-12"},
          {kRegionLocaleUri, "Update", R"({"locale":["en_US"]})", s + "42&language="},
          {kPlatformIdUri, "Delete", std::nullopt, s + "&language="},
          {kRegionLocaleUri, "Delete", std::nullopt, bare + "&language="},
      };
  for (const auto& [uri, eventType, data, url] : cases) {
    SCOPED_TRACE(std::string(eventType) + " " + std::string(uri));
    Deliver(uri, eventType, data);
    ForgetActivity();
    (void)Get("/qor-store/v1/catalog");
    EXPECT_EQ(ExternalUrls(), Texts{url});
  }
}

}  // namespace
}  // namespace qor::store_test
