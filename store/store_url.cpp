// Store URL, the storefront's authorisation, the last page and the storefront pages.
//
// The store URL comes from the platform's legacy service; the "Authorization" header from
// the login session. Both are taken on the session's false-to-true edge, when the wallet is
// fetched and published too. Every page request is one GET of the storefront with a copy of
// the header map. Storefront URLs are formed from the store URL and fixed template text, both
// used as they are, and values (locale, page type, action, gift fields, region), each
// percent-encoded by UrlComponent: a value can neither end the URL early ("#"), nor add
// parameters ("&", "?"), nor reach another path ("/").
#include <cctype>
#include <map>

#include "foundation/format.h"
#include "runtime/lcds.h"
#include "runtime/local_client.h"
#include "store/detail/storefront.h"
#include "store/store_module.h"

namespace qor {

namespace api = Vaxo::Client::Store::Api;

namespace detail {

std::map<std::string, std::string> StorefrontHeaderCopy(
    const std::unordered_map<std::string, std::string>& headers) {
  return {headers.begin(), headers.end()};
}

std::string_view StoreUrlFromPlatformReply(std::string_view reply) {
  std::string_view url = reply.substr(0, reply.find('?'));
  if (!url.empty() && url.back() == '/') url.remove_suffix(1);
  return url;
}

std::string UrlComponent(std::string_view value) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  std::string out;
  out.reserve(value.size());
  for (const char c : value) {
    const auto byte = static_cast<unsigned char>(c);
    if (std::isalnum(byte) != 0 || c == '-' || c == '.' || c == '_' || c == '~') {
      out += c;
    } else {
      out += '%';
      out += kHex[byte >> 4];
      out += kHex[byte & 0x0F];
    }
  }
  return out;
}

}  // namespace detail

namespace {

constexpr std::string_view kDefaultPage = "featured";

// The answer shared by the page handlers; the first row that holds decides.
template <typename T>
MaybeType<Failure, BindingProperty> MapPageResponse(ExternalResponse<T>&& response,
                                                    BindingProperty value) {
  if (response.connectionCode != 0) {
    return Failure::InternalServerError(
        Format("Could not connect to the server: %1", response.error));
  }
  if (response.status == 404) return Failure::NotFound("Not found");
  if (response.status < 200 || response.status >= 300) {
    return Failure::InternalServerError(Format("Received an error status from the server: %1 - %2",
                                               response.status, response.error));
  }
  // Any error left at this point means the body was not read as asked (unparsable, not
  // convertible, empty where JSON was expected, or headers missing): never an answer.
  if (response.parseFailed || response.conversionFailed || !response.error.empty()) {
    return Failure::InternalServerError(
        Format("Could not decode body returned from the server: %1 - %2", response.status,
               response.error));
  }
  return value;
}

MaybeType<Failure, BindingProperty> TextPage(ExternalResponse<std::string>&& response) {
  BindingProperty text;
  text.SetString(response.value);
  return MapPageResponse(std::move(response), std::move(text));
}

}  // namespace

MaybeType<Failure, std::string> StoreModule::GetStoreUrl() {
  MaybeType<Failure, std::string> reply =
      Await(Lcds().Call<std::string>("loginService", "getStoreUrl"));
  if (reply.Failed()) {
    return Failure::InternalServerError("Failed to LCDS store URL from platform");
  }
  std::string_view url = detail::StoreUrlFromPlatformReply(*reply);
  // Checked after the trailing "/" is dropped, on purpose: a reply of "/" (or "/?x") gives
  // no store URL, and answering "" would make every storefront URL relative.
  if (url.empty()) return Failure::NotFound("Store url not set in platform");
  return std::string(url);
}

void StoreModule::OnLoginSession(const ResourceEvent<LoginSession>& event) {
  switch (event.eventType) {
    case PluginResourceEventType::Create:
    case PluginResourceEventType::Update: {
      const LoginSession& session = event.data;
      const bool usable = session.state == api::LoginSessionStates::SUCCEEDED &&
                          session.accountId != 0 && session.summonerId != 0;
      const bool wasLoggedIn = loggedIn;
      loggedIn = usable;
      if (wasLoggedIn || !usable) return;

      accountId = session.accountId;
      storefrontHeaders.erase("Authorization");
      storefrontHeaders.emplace("Authorization", Format("Bearer %s", session.idToken));

      if (MaybeType<Failure, std::string> url = GetStoreUrl(); url.Succeeded()) {
        storeUrl = *url;
        (void)Events().PublishResource(kStoreUrlUri, PluginResourceEventType::Update, storeUrl);
      }
      if (MaybeType<Failure, Wallet> wallet = GetWallet(); wallet.Succeeded()) {
        PublishWallet(*wallet);
      }
      return;
    }
    case PluginResourceEventType::Delete:
      loggedIn = false;
      accountId = 0;
      platformId.clear();
      locale.clear();
      region.clear();
      storeUrl.clear();
      return;
  }
}

std::string StoreModule::GetLastPage() const {
  return lastPage.empty() ? std::string(kDefaultPage) : lastPage;
}

void StoreModule::SetLastPage(const std::string& pageType) {
  lastPage = pageType;
}

MaybeType<Failure, std::string> StoreModule::GetLastPageEndpoint() {
  return GetLastPage();
}

MaybeType<Failure, void> StoreModule::SetLastPageEndpoint(const std::string& pageType) {
  SetLastPage(pageType);
  return {};
}

MaybeType<Failure, BindingProperty> StoreModule::GetLoginPage() {
  const std::string url =
      Format("%1/storefront/v2/login?language=%2", storeUrl, detail::UrlComponent(locale));
  return TextPage(ExternalGet<std::string>(*this, url, kStorefrontTimeLimit,
                                           detail::StorefrontHeaderCopy(storefrontHeaders)));
}

MaybeType<Failure, BindingProperty> StoreModule::GetPage(const std::string& pageType) {
  const std::string url =
      pageType == kDefaultPage
          ? Format("%1/storefront/v3/featured?language=%2", storeUrl, detail::UrlComponent(locale))
          : Format("%1/storefront/v3/view/%2?language=%3", storeUrl, detail::UrlComponent(pageType),
                   detail::UrlComponent(locale));
  ExternalResponse<BindingProperty> response = ExternalGet<BindingProperty>(
      *this, url, kStorefrontTimeLimit, detail::StorefrontHeaderCopy(storefrontHeaders));
  BindingProperty value = response.value;
  return MapPageResponse(std::move(response), std::move(value));
}

MaybeType<Failure, BindingProperty> StoreModule::GetPaymentDetails(
    const std::string& action, const std::optional<uint64_t>& giftRecipientAccountId,
    const std::optional<std::string>& giftMessage) {
  std::string url;
  if (!giftRecipientAccountId) {
    url = Format("%1/storefront/v3/payment/%2?language=%3", storeUrl, detail::UrlComponent(action),
                 detail::UrlComponent(locale));
  } else if (giftMessage) {
    url = Format("%1/storefront/v3/payment/%2?giftrecipientaccountid=%3&giftmessage=%4&language=%5",
                 storeUrl, detail::UrlComponent(action), *giftRecipientAccountId,
                 detail::UrlComponent(*giftMessage), detail::UrlComponent(locale));
  } else {
    url =
        Format("%1/storefront/v3/payment/%2?giftrecipientaccountid=%3&language=%4", storeUrl,
               detail::UrlComponent(action), *giftRecipientAccountId, detail::UrlComponent(locale));
  }
  return TextPage(ExternalGet<std::string>(*this, url, kStorefrontTimeLimit,
                                           detail::StorefrontHeaderCopy(storefrontHeaders)));
}

}  // namespace qor
