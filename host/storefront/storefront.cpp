#include "host/storefront/storefront.h"

#include <algorithm>
#include <cctype>
#include <optional>
#include <string_view>

#include "api/route.h"
#include "host/http/access.h"
#include "host/json_value.h"
#include "host/options.h"

namespace qor::host {
namespace {

constexpr std::string_view kLoginPath = "/storefront/v2/login";
constexpr std::string_view kFeaturedPath = "/storefront/v3/featured";
constexpr std::string_view kViewPrefix = "/storefront/v3/view/";
constexpr std::string_view kPaymentPrefix = "/storefront/v3/payment/";
constexpr std::string_view kWalletPath = "/storefront/v2/wallet";
constexpr std::string_view kCatalogPath = "/storefront/v1/catalog";
constexpr size_t kFeaturedGroupSize = 12;
constexpr uint32_t kSummonerLevel = 30;

// The texts of the HTML pages in one language.
struct PageTexts {
  std::string_view lang;
  std::string_view title;
  std::string_view welcome;
  std::string_view signedInAs;
  std::string_view balance;
  std::string_view payment;
  std::string_view action;
  std::string_view giftFor;
  std::string_view message;
};

constexpr PageTexts kTexts[] = {
    {"en", "Store", "Welcome to the store", "Signed in as account", "Your balance", "Payment",
     "Action", "Gift for account", "Message"},
    {"de", "Shop", "Willkommen im Shop", "Angemeldet als Konto", "Dein Guthaben", "Zahlung",
     "Aktion", "Geschenk für Konto", "Nachricht"},
    {"fr", "Boutique", "Bienvenue dans la boutique", "Connecté avec le compte", "Votre solde",
     "Paiement", "Action", "Cadeau pour le compte", "Message"},
    {"es", "Tienda", "Bienvenido a la tienda", "Sesión iniciada con la cuenta", "Tu saldo", "Pago",
     "Acción", "Regalo para la cuenta", "Mensaje"},
};

// The texts for a locale such as "de_DE" (by its language part); English for anything else.
const PageTexts& TextsFor(std::string_view locale) {
  const std::string_view language = locale.substr(0, locale.find_first_of("_-"));
  for (const PageTexts& texts : kTexts) {
    if (texts.lang == language) return texts;
  }
  return kTexts[0];
}

// The decoded value of query parameter `name` (the last one when repeated).
std::optional<std::string> QueryValue(std::string_view query, std::string_view name) {
  std::optional<std::string> found;
  while (!query.empty()) {
    const size_t amp = query.find('&');
    const std::string_view piece = query.substr(0, amp);
    query = amp == std::string_view::npos ? std::string_view() : query.substr(amp + 1);
    const size_t equals = piece.find('=');
    if (PercentDecode(piece.substr(0, equals)) == name) {
      found = equals == std::string_view::npos ? std::string()
                                               : PercentDecode(piece.substr(equals + 1));
    }
  }
  return found;
}

std::string EscapeHtml(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&#39;";
        break;
      default:
        out += c;
    }
  }
  return out;
}

HttpResponse Html(std::string body) {
  HttpResponse response = HttpResponse::Json(200, std::move(body));
  response.contentType = "text/html; charset=utf-8";
  return response;
}

std::string HtmlPage(const PageTexts& texts, std::string_view heading, const std::string& body) {
  return "<!DOCTYPE html>\n<html lang=\"" + std::string(texts.lang) +
         "\">\n<head><meta charset=\"utf-8\"><title>" + std::string(texts.title) +
         "</title></head>\n<body>\n<h1>" + std::string(heading) + "</h1>\n" + body +
         "</body>\n</html>\n";
}

std::string BalanceLine(const PageTexts& texts, const Balances& balances) {
  return "<p class=\"balance\">" + std::string(texts.balance) + ": " + std::to_string(balances.ip) +
         " IP, " + std::to_string(balances.vp) + " VP</p>\n";
}

HttpResponse LoginPage(const StorefrontState& state, std::string_view language) {
  const PageTexts& texts = TextsFor(language);
  const std::string body = "<p class=\"account\">" + std::string(texts.signedInAs) + " " +
                           std::to_string(state.AccountId()) + "</p>\n" +
                           BalanceLine(texts, state.Wallet());
  return Html(HtmlPage(texts, texts.welcome, body));
}

HttpResponse PaymentPage(const StorefrontState& state, std::string_view action,
                         std::string_view query) {
  const PageTexts& texts = TextsFor(QueryValue(query, "language").value_or(""));
  std::string body =
      "<p class=\"action\">" + std::string(texts.action) + ": " + EscapeHtml(action) + "</p>\n";
  if (std::optional<std::string> recipient = QueryValue(query, "giftrecipientaccountid")) {
    const bool digits = !recipient->empty() && recipient->size() <= 20 &&
                        std::all_of(recipient->begin(), recipient->end(),
                                    [](unsigned char c) { return std::isdigit(c) != 0; });
    if (!digits) {
      return HttpResponse::Error(400, "giftrecipientaccountid must be an account id (digits)");
    }
    body += "<p class=\"gift\">" + std::string(texts.giftFor) + " " + *recipient + "</p>\n";
    if (std::optional<std::string> message = QueryValue(query, "giftmessage")) {
      body += "<p class=\"gift-message\">" + std::string(texts.message) + ": " +
              EscapeHtml(*message) + "</p>\n";
    }
  }
  body += BalanceLine(texts, state.Wallet());
  return Html(HtmlPage(texts, texts.payment, body));
}

using Group = std::pair<std::string, std::vector<size_t>>;  // name, catalog indexes

// A JSON page with the groups in the order given.
HttpResponse JsonPage(const StorefrontState& state, const std::vector<Group>& groups,
                      std::string_view language) {
  const Balances balances = state.Wallet();
  std::string json = "{\"Player\":{\"accountId\":" + std::to_string(state.AccountId()) +
                     ",\"ip\":" + std::to_string(balances.ip) +
                     ",\"summonerLevel\":" + std::to_string(kSummonerLevel) +
                     ",\"vp\":" + std::to_string(balances.vp) + "},\"catalog\":[";
  std::vector<size_t> listed;
  for (const auto& [name, indexes] : groups) {
    for (size_t index : indexes) {
      if (std::find(listed.begin(), listed.end(), index) != listed.end()) continue;
      if (!listed.empty()) json += ',';
      listed.push_back(index);
      json += state.Catalog().ItemJson(index, language);
    }
  }
  json += "],\"groupOrder\":[";
  for (size_t i = 0; i < groups.size(); ++i) {
    if (i > 0) json += ',';
    json += JsonQuote(groups[i].first);
  }
  json += "],\"itemGroups\":{";
  const std::vector<CatalogEntry>& entries = state.Catalog().Entries();
  for (size_t i = 0; i < groups.size(); ++i) {
    if (i > 0) json += ',';
    json += JsonQuote(groups[i].first) + ":{\"grouped\":true,\"hidden\":false,\"items\":[";
    for (size_t k = 0; k < groups[i].second.size(); ++k) {
      const CatalogEntry& entry = entries[groups[i].second[k]];
      if (k > 0) json += ',';
      json += "{\"inventoryType\":" + JsonQuote(entry.inventoryType) +
              ",\"itemId\":" + std::to_string(entry.itemId) + "}";
    }
    json += "]}";
  }
  json += "}}";
  return HttpResponse::Json(200, std::move(json));
}

template <class Keep>
std::vector<size_t> Select(const StorefrontState& state, Keep keep, size_t limit = SIZE_MAX) {
  std::vector<size_t> indexes;
  const std::vector<CatalogEntry>& entries = state.Catalog().Entries();
  for (size_t i = 0; i < entries.size() && indexes.size() < limit; ++i) {
    if (keep(entries[i])) indexes.push_back(i);
  }
  return indexes;
}

std::vector<size_t> OfType(const StorefrontState& state, std::string_view type,
                           size_t limit = SIZE_MAX) {
  return Select(
      state, [&](const CatalogEntry& entry) { return entry.active && entry.inventoryType == type; },
      limit);
}

std::vector<size_t> OnSale(const StorefrontState& state, size_t limit = SIZE_MAX) {
  const std::string now = NowIsoText();
  return Select(
      state, [&](const CatalogEntry& entry) { return entry.active && entry.OnSale(now); }, limit);
}

// The most recently released active items, newest first.
std::vector<size_t> Newest(const StorefrontState& state, size_t limit) {
  std::vector<size_t> indexes = Select(
      state, [](const CatalogEntry& entry) { return entry.active && !entry.releaseDate.empty(); });
  const std::vector<CatalogEntry>& entries = state.Catalog().Entries();
  std::stable_sort(indexes.begin(), indexes.end(), [&](size_t a, size_t b) {
    return entries[a].releaseDate > entries[b].releaseDate;
  });
  if (indexes.size() > limit) indexes.resize(limit);
  return indexes;
}

std::optional<std::vector<Group>> NamedView(const StorefrontState& state, std::string_view name) {
  struct View {
    std::string_view name;
    std::string_view inventoryType;  // empty: the items on sale
  };
  static constexpr View kViews[] = {{"champions", "CHAMPION"},
                                    {"skins", kSkinInventoryType},
                                    {"wards", "WARD_SKIN"},
                                    {"bundles", "BUNDLES"},
                                    {"sale", ""}};
  for (const View& view : kViews) {
    if (view.name != name) continue;
    return std::vector<Group>{{std::string(view.name), view.inventoryType.empty()
                                                           ? OnSale(state)
                                                           : OfType(state, view.inventoryType)}};
  }
  return std::nullopt;
}

HttpResponse Unauthorized(std::string_view message) {
  HttpResponse response = HttpResponse::Error(401, message);
  response.headers.emplace_back("WWW-Authenticate", "Bearer realm=\"storefront\"");
  return response;
}

// Null when the request carries the state's bearer token; otherwise the refusal.
std::optional<HttpResponse> CheckBearer(const StorefrontState& state, const HttpRequest& request) {
  std::optional<std::string_view> header = request.Header("authorization");
  if (!header) return Unauthorized("A bearer token is required: Authorization: Bearer TOKEN");
  const size_t blank = header->find(' ');
  std::string scheme(header->substr(0, blank));
  for (char& c : scheme)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  const std::string_view token =
      blank == std::string_view::npos ? std::string_view() : header->substr(blank + 1);
  if (scheme != "bearer" || state.Token().empty() || !ConstantTimeEquals(token, state.Token())) {
    return Unauthorized("The bearer token is not valid for this storefront");
  }
  return std::nullopt;
}

Failure InvalidOption(std::string message) {
  return Failure(400, std::move(message));
}

MaybeType<Failure, int64_t> ParseAmount(std::string_view name, std::string_view text) {
  if (text.empty() || text.size() > 18 ||
      !std::all_of(text.begin(), text.end(),
                   [](unsigned char c) { return std::isdigit(c) != 0; })) {
    return InvalidOption(std::string(name) + ": expected a whole number from 0 to 10^18");
  }
  int64_t value = 0;
  for (char c : text)
    value = value * 10 + (c - '0');
  return value;
}

}  // namespace

HttpResponse ServeStorefront(const StorefrontState& state, const HttpRequest& request) {
  if (request.method != "GET" && request.method != "HEAD") {
    HttpResponse response = HttpResponse::Error(405, "Method not allowed; use GET");
    response.headers.emplace_back("Allow", "GET, HEAD");
    return response;
  }
  if (std::optional<HttpResponse> refusal = CheckBearer(state, request)) return *refusal;

  const std::string_view path = request.Path();
  const std::string_view query = request.Query();
  const std::string language = QueryValue(query, "language").value_or("");
  if (path == kWalletPath) {
    const Balances balances = state.Wallet();
    return HttpResponse::Json(200, "{\"ip\":" + std::to_string(balances.ip) +
                                       ",\"vp\":" + std::to_string(balances.vp) + "}");
  }
  if (path == kCatalogPath) return HttpResponse::Json(200, state.Catalog().Json());
  if (path == kLoginPath) return LoginPage(state, language);
  if (path == kFeaturedPath) {
    return JsonPage(state,
                    {{"sale", OnSale(state, kFeaturedGroupSize)},
                     {"new", Newest(state, kFeaturedGroupSize)},
                     {"bundles", OfType(state, "BUNDLES", kFeaturedGroupSize / 2)}},
                    language);
  }
  if (path.starts_with(kViewPrefix)) {
    const std::string name = PercentDecode(path.substr(kViewPrefix.size()));
    if (std::optional<std::vector<Group>> groups = NamedView(state, name)) {
      return JsonPage(state, *groups, language);
    }
    return HttpResponse::Error(404, "No storefront page named '" + name + "'");
  }
  if (path.starts_with(kPaymentPrefix) && path.size() > kPaymentPrefix.size()) {
    return PaymentPage(state, PercentDecode(path.substr(kPaymentPrefix.size())), query);
  }
  return HttpResponse::Error(404, "No storefront page at " + std::string(path));
}

// ---- StorefrontStub ------------------------------------------------------------------------

MaybeType<Failure, std::unique_ptr<StorefrontStub>> StorefrontStub::Start(
    const std::string& host, uint16_t port, std::shared_ptr<StorefrontState> state) {
  std::unique_ptr<StorefrontStub> stub(new StorefrontStub(std::move(state)));
  const StorefrontState* served = stub->state_.get();
  StorefrontStub* self = stub.get();
  MaybeType<Failure, std::unique_ptr<HttpFront>> front = HttpFront::Start(
      host, port,
      [self](const HttpRequest& request) -> std::optional<HttpResponse> {
        if (!self->policyReady_.load(std::memory_order_acquire)) {
          return HttpResponse::Error(503, "The storefront is starting");
        }
        if (!self->policy_->Allows(request.Header("host"), request.Header("origin"))) {
          return HttpResponse::Error(
              403, "Forbidden: the Host and Origin headers must name " + self->url_.substr(7));
        }
        return std::nullopt;
      },
      [served](const HttpRequest& request) { return ServeStorefront(*served, request); });
  if (!front) return front.Error();
  stub->front_ = std::move(*front);
  stub->policy_ = std::make_unique<AccessPolicy>(host, stub->front_->Port());
  const bool wildcard = host == "0.0.0.0" || host == "[::]";
  stub->url_ = "http://" + (wildcard ? std::string("127.0.0.1") : host) + ":" +
               std::to_string(stub->front_->Port());
  stub->policyReady_.store(true, std::memory_order_release);
  return stub;
}

StorefrontStub::~StorefrontStub() {
  Stop();
}

void StorefrontStub::Stop() {
  if (front_) front_->Stop();
}

// ---- Options -------------------------------------------------------------------------------

MaybeType<Failure, StorefrontOptions> ParseStorefrontOptions(
    const std::vector<std::string>& arguments) {
  StorefrontOptions options;
  for (size_t i = 0; i < arguments.size(); ++i) {
    std::string_view argument = arguments[i];
    if (argument == "--help" || argument == "-h") {
      options.help = true;
      continue;
    }
    std::string_view name = argument;
    std::optional<std::string> value;
    if (const size_t equals = argument.find('=');
        argument.starts_with("--") && equals != std::string_view::npos) {
      name = argument.substr(0, equals);
      value = std::string(argument.substr(equals + 1));
    }
    if (name != "--listen" && name != "--catalog" && name != "--token" && name != "--ip" &&
        name != "--vp") {
      return InvalidOption("Unknown option '" + std::string(name) + "' (see --help)");
    }
    if (!value) {
      if (i + 1 >= arguments.size()) {
        return InvalidOption(std::string(name) + ": a value is missing");
      }
      value = arguments[++i];
    }
    if (name == "--listen") {
      // The same address forms as qor-host's --listen, with the same messages.
      MaybeType<Failure, HostOptions> listen = ParseHostOptions({"--listen", *value});
      if (!listen) return listen.Error();
      options.listenHost = listen->listenHost;
      options.listenPort = listen->listenPort;
    } else if (name == "--catalog") {
      if (value->empty()) return InvalidOption("--catalog: the path must not be empty");
      options.catalog = *value;
    } else if (name == "--token") {
      if (value->empty()) return InvalidOption("--token: the token must not be empty");
      options.token = *value;
    } else {
      MaybeType<Failure, int64_t> amount = ParseAmount(name, *value);
      if (!amount) return amount.Error();
      (name == "--ip" ? options.ip : options.vp) = *amount;
    }
  }
  return options;
}

std::string StorefrontHelpText() {
  return R"(Usage: qor-storefront [OPTION]...
Serves the storefront URLs that the qor-store plug-in asks for (login and payment pages,
featured and named pages, the wallet, the catalog) on loopback, for trying the store without
the real storefront. Point qor-host at it with --storefront http://127.0.0.1:8471.

Options:
  --listen HOST:PORT   where to listen (default 127.0.0.1:8471; port 0 picks a free port)
  --catalog FILE       the catalog: a JSON array of catalog items (default: the demo's
                       examples/demo/catalog.json, found above the executable)
  --token TOKEN        the session token that every request must carry as
                       "Authorization: Bearer TOKEN" (default developer-id-token, the
                       idToken of host/scenarios/example.json)
  --ip N, --vp N       the player's two balances (default 5000 IP and 2000 VP)
  -h, --help           print this text and exit

Pages:
  GET /storefront/v2/login?language=L               login page (HTML)
  GET /storefront/v3/featured?language=L            featured page (JSON)
  GET /storefront/v3/view/NAME?language=L           champions, skins, wards, bundles, sale
  GET /storefront/v3/payment/ACTION?language=L      payment page (HTML); also takes
                                                    giftrecipientaccountid and giftmessage
  GET /storefront/v2/wallet                         {"ip": N, "vp": N}
  GET /storefront/v1/catalog?region=R&language=L    the catalog
Unknown pages answer 404, requests without the token 401.

Purchases are not made here: inside qor-host the simulated store proxy sells the skins of
this catalog from the same balances. SIGINT or SIGTERM stops the server.
)";
}

}  // namespace qor::host
