// Tests of the storefront stub: the catalog it reads, the purchase checks it shares with the
// simulated store proxy, the pages it serves (the view pages through the store, end to end), and
// its command line.
#include "host/storefront/storefront.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "host/storefront/storefront_state.h"
#include "tests/e2e/host_process.h"

namespace qor::host {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;

constexpr const char* kDuringSale = "2024-01-15T00:00:00.000Z";
constexpr const char* kAfterSale = "2024-03-01T00:00:00.000Z";

constexpr const char* kCatalog = R"([
  {"itemId": 1, "inventoryType": "CHAMPION", "releaseDate": "2020-01-01T00:00:00.000Z",
   "prices": [{"currency": "IP", "cost": 450}, {"currency": "VP", "cost": 260}],
   "localizations": {"en_US": {"language": "en_US", "name": "Aurel"},
                     "de_DE": {"language": "de_DE", "name": "Aurel DE"}}},
  {"itemId": 1001, "inventoryType": "CHAMPION_SKIN", "releaseDate": "2021-01-01T00:00:00.000Z",
   "prices": [{"currency": "VP", "cost": 1350}]},
  {"itemId": 1002, "inventoryType": "CHAMPION_SKIN",
   "prices": [{"currency": "VP", "cost": 520}, {"currency": "IP", "cost": 5200}],
   "sale": {"startDate": "2024-01-01T00:00:00.000Z", "endDate": "2024-02-01T00:00:00.000Z",
            "prices": [{"currency": "VP", "cost": 260, "discount": 0.5}]}},
  {"itemId": 1003, "inventoryType": "CHAMPION_SKIN", "active": false,
   "prices": [{"currency": "VP", "cost": 750}]},
  {"itemId": 1004, "inventoryType": "CHAMPION_SKIN", "prices": [{"currency": "RP", "cost": 10}]},
  {"itemId": 1005, "inventoryType": "CHAMPION_SKIN", "prices": [{"currency": "VP", "cost": 390}],
   "sale": null},
  {"itemId": 2001, "inventoryType": "WARD_SKIN", "prices": [{"currency": "VP", "cost": 640}]}
])";

StorefrontCatalog SampleCatalog() {
  MaybeType<Failure, StorefrontCatalog> catalog = StorefrontCatalog::Parse(kCatalog);
  EXPECT_TRUE(catalog) << catalog.ErrorMessage();
  return catalog ? std::move(*catalog) : StorefrontCatalog();
}

StorefrontState SampleState(Balances balances = {5000, 1500}, std::string token = "tok") {
  return StorefrontState(
      SampleCatalog(),
      StorefrontAccount{std::move(token), 77, balances, {{"CHAMPION_SKIN", 1005}}});
}

PurchaseRequest Buy(int32_t itemId, std::string currency, int64_t cost) {
  return PurchaseRequest{77, itemId, "CHAMPION_SKIN", 1, std::move(currency), cost, true};
}

// ---- Catalog ---------------------------------------------------------------------------------

TEST(StorefrontCatalog, RefusesWhatIsNotACatalogWithAMessageNamingTheItem) {
  testing::ExpectRefusals<std::string>(
      [](const std::string& json) { return StorefrontCatalog::Parse(json); },
      {
          {"not json", "The catalog is not valid JSON: Invalid value. at offset 1"},
          {"{}", "The catalog must be a JSON array of items"},
          {"[1]", "Catalog item 0: must be an object"},
          {R"([{"inventoryType": "A"}])", "Catalog item 0: 'itemId' must be a 32-bit integer"},
          {R"([{"itemId": 1}])", "Catalog item 0: 'inventoryType' must be a string"},
          {R"([{"itemId": 1, "inventoryType": "A", "prices": [{"currency": "VP", "cost": -1}]}])",
           "Catalog item 0: every price in 'prices' needs a string 'currency' and an integer "
           "'cost' >= 0"},
          {R"([{"itemId": 1, "inventoryType": "A", "sale": "soon"}])",
           "Catalog item 0: 'sale' must be an object or null"},
          {R"([{"itemId": 1, "inventoryType": "A", "sale": {"prices": [1]}}])",
           "Catalog item 0: every entry of 'sale.prices' must be an object"},
      });
}

TEST(CatalogEntry, SaleRunsFromItsStartUntilBeforeItsEnd) {
  CatalogEntry entry{.salePrices = {{"VP", 1}},
                     .saleStart = "2024-01-01T00:00:00.000Z",
                     .saleEnd = "2024-02-01T00:00:00.000Z"};
  EXPECT_FALSE(entry.OnSale("2023-12-31T23:59:59.999Z"));
  EXPECT_TRUE(entry.OnSale("2024-01-01T00:00:00.000Z"));
  EXPECT_TRUE(entry.OnSale(kDuringSale));
  EXPECT_FALSE(entry.OnSale("2024-02-01T00:00:00.000Z"));
  entry.salePrices.clear();  // a sale without prices sells nothing
  EXPECT_FALSE(entry.OnSale(kDuringSale));
}

// ---- Purchase checks -------------------------------------------------------------------------

TEST(StorefrontPurchase, AcceptsAListedPriceTheBalanceCovers) {
  struct Case {
    const char* name;
    Balances before;
    PurchaseRequest request;
    const char* now;
    Balances after;
  };
  // clang-format off
  const Case cases[] = {
      {"regular price",                 {5000, 1500}, Buy(1001, "VP", 1350), kDuringSale, {5000, 150}},
      {"sale price during the sale",    {5000, 1500}, Buy(1002, "VP", 260),  kDuringSale, {5000, 1240}},
      {"regular price during the sale", {5000, 1500}, Buy(1002, "VP", 520),  kDuringSale, {5000, 980}},
      {"the other currency",            {5200, 0},    Buy(1002, "IP", 5200), kAfterSale,  {0, 0}},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StorefrontState state = SampleState(c.before);
    PurchaseOutcome outcome = state.Purchase(c.request, c.now);
    EXPECT_TRUE(outcome.Succeeded()) << outcome.message;
    EXPECT_EQ(outcome.balances.ip, c.after.ip);
    EXPECT_EQ(state.Wallet().vp, c.after.vp);
    EXPECT_EQ(outcome.orderNumber, 1u);
    // Bought, the skin is owned: a second purchase is refused, and orders are numbered on.
    EXPECT_EQ(state.Purchase(c.request, c.now).error, PurchaseError::kAlreadyOwned);
  }
  StorefrontState state = SampleState({5000, 5000});
  state.Purchase(Buy(1001, "VP", 1350), kDuringSale);
  EXPECT_EQ(state.Purchase(Buy(1002, "VP", 520), kDuringSale).orderNumber, 2u);
}

TEST(StorefrontPurchase, RefusesInOrderWithAMessageForThePlayerAndChargesNothing) {
  constexpr const char* kPriceChanged =
      "The price of this skin has changed. Refresh the store and try again.";
  struct Case {
    const char* name;
    Balances before;
    PurchaseRequest request;
    const char* now;
    PurchaseError error;
    const char* message;
  };
  // clang-format off
  const Case cases[] = {
      {"incomplete request", {5000, 1500}, {77, 1001, "CHAMPION_SKIN", 1, "VP", 1350, false}, kDuringSale,
       PurchaseError::kInvalidRequest, "The purchase request is incomplete."},
      {"two at once", {5000, 1500}, {77, 1001, "CHAMPION_SKIN", 2, "VP", 1350, true}, kDuringSale,
       PurchaseError::kInvalidRequest, "Skins are bought one at a time."},
      {"not a skin type", {5000, 1500}, {77, 1, "CHAMPION", 1, "VP", 260, true}, kDuringSale,
       PurchaseError::kNotForSale, "This skin is not in the store."},
      {"a champion's id as a skin", {5000, 1500}, Buy(1, "VP", 260), kDuringSale,
       PurchaseError::kNotForSale, "This skin is not in the store."},
      {"inactive", {5000, 1500}, Buy(1003, "VP", 750), kDuringSale,
       PurchaseError::kNotForSale, "This skin is no longer for sale."},
      {"owned, even when too expensive", {0, 0}, Buy(1005, "VP", 390), kDuringSale,
       PurchaseError::kAlreadyOwned, "You already own this skin."},
      {"another cost", {5000, 1500}, Buy(1001, "VP", 975), kDuringSale,
       PurchaseError::kPriceChanged, kPriceChanged},
      {"sale price after the sale", {5000, 1500}, Buy(1002, "VP", 260), kAfterSale,
       PurchaseError::kPriceChanged, kPriceChanged},
      {"a currency without a balance", {5000, 1500}, Buy(1004, "RP", 10), kDuringSale,
       PurchaseError::kInvalidRequest, "This skin cannot be bought with RP."},
      {"one short", {5000, 1349}, Buy(1001, "VP", 1350), kDuringSale,
       PurchaseError::kNotEnoughCurrency, "You need 1 more VP to buy this skin."},
  };
  // clang-format on
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    StorefrontState state = SampleState(c.before);
    PurchaseOutcome outcome = state.Purchase(c.request, c.now);
    EXPECT_EQ(outcome.error, c.error);
    EXPECT_EQ(outcome.message, c.message);
    EXPECT_EQ(state.Wallet().ip + state.Wallet().vp, c.before.ip + c.before.vp);
    EXPECT_EQ(outcome.orderNumber, 0u);
  }
}

// ---- Pages -----------------------------------------------------------------------------------

HttpRequest Get(std::string target, std::optional<std::string> authorization = "Bearer tok") {
  HttpRequest request;
  request.method = "GET";
  request.target = std::move(target);
  if (authorization) request.headers.emplace_back("authorization", *authorization);
  return request;
}

TEST(ServeStorefront, AnswersEachUrlOrRefusesIt) {
  const StorefrontState state = SampleState();
  struct Case {
    const char* name;
    HttpRequest request;
    unsigned status;
    std::string body;  // the whole body, or a part of it when `part` is set
    bool part = false;
  };
  HttpRequest post = Get("/storefront/v2/wallet");
  post.method = "POST";
  const Case cases[] = {
      {"wallet", Get("/storefront/v2/wallet?language=en_US"), 200, R"({"ip":5000,"vp":1500})"},
      {"catalog", Get("/storefront/v1/catalog?region=NA1&language=de_DE"), 200,
       state.Catalog().Json()},
      {"no token", Get("/storefront/v2/wallet", std::nullopt), 401,
       R"({"httpStatus":401,"message":"A bearer token is required: Authorization: Bearer TOKEN"})"},
      {"unknown page", Get("/storefront/v9/else"), 404,
       R"({"httpStatus":404,"message":"No storefront page at /storefront/v9/else"})"},
      {"unknown view", Get("/storefront/v3/view/Skins?language=en_US"), 404,
       R"({"httpStatus":404,"message":"No storefront page named 'Skins'"})"},
      {"POST", post, 405, "Method not allowed; use GET", true},
      {"login page in German", Get("/storefront/v2/login?language=de_DE"), 200,
       "<html lang=\"de\">", true},
      {"payment with gift and message",
       Get("/storefront/v3/payment/purchase?giftrecipientaccountid=42&"
           "giftmessage=%3Cscript%3Ealert(1)%3C/script%3E&language=fr_FR"),
       200,
       "<p class=\"gift\">Cadeau pour le compte 42</p>\n<p class=\"gift-message\">Message: "
       "&lt;script&gt;alert(1)&lt;/script&gt;</p>",
       true},
      {"payment, recipient not a number",
       Get("/storefront/v3/payment/purchase?giftrecipientaccountid=4x2&language=en_US"), 400,
       "giftrecipientaccountid must be an account id", true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    HttpResponse response = ServeStorefront(state, c.request);
    EXPECT_EQ(response.status, c.status);
    if (c.part) {
      EXPECT_THAT(response.body, HasSubstr(c.body));
    } else {
      EXPECT_EQ(response.body, c.body);
    }
    if (c.status == 401) {
      ASSERT_EQ(response.headers.size(), 1u);
      EXPECT_EQ(response.headers[0].second, "Bearer realm=\"storefront\"");
    }
  }
  EXPECT_THAT(ServeStorefront(state, Get("/storefront/v3/payment/gift?giftmessage=<x>")).body,
              Not(HasSubstr("Message")));  // a message without a recipient is no gift
  EXPECT_EQ(ServeStorefront(state, Get("/storefront/v2/login")).contentType,
            "text/html; charset=utf-8");
  // A state without a token refuses every request.
  const StorefrontState locked = SampleState({1, 1}, "");
  for (const char* authorization : {"Bearer ", "Bearer", "Bearer tok"})
    EXPECT_EQ(ServeStorefront(locked, Get("/storefront/v2/wallet", authorization)).status, 401u);
}

// ---- Command line ----------------------------------------------------------------------------

TEST(StorefrontOptions, ParsesEveryOptionAndNamesTheBadOne) {
  MaybeType<Failure, StorefrontOptions> all = ParseStorefrontOptions(
      {"--listen=[::1]:9000", "--catalog", "c.json", "--token", "t", "--ip", "12", "--vp=0"});
  ASSERT_TRUE(all) << all.ErrorMessage();
  EXPECT_EQ(all->listenHost + std::to_string(all->listenPort) + all->catalog + all->token +
                std::to_string(all->ip) + std::to_string(all->vp),
            "[::1]9000c.jsont120");

  testing::ExpectRefusals<std::vector<std::string>>(
      [](const std::vector<std::string>& arguments) { return ParseStorefrontOptions(arguments); },
      {
          {{"--bogus"}, "Unknown option '--bogus' (see --help)"},
          {{"--ip"}, "--ip: a value is missing"},
          {{"--ip", "-1"}, "--ip: expected a whole number from 0 to 10^18"},
          {{"--token="}, "--token: the token must not be empty"},
      });
}

}  // namespace
}  // namespace qor::host
