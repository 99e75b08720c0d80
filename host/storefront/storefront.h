// The storefront stub: an HTTP server on loopback that answers the storefront URLs the store
// forms, from a StorefrontState (catalog, balances, owned items) that the simulated store
// proxy shares. It runs as its own program (qor-storefront) or inside qor-host.
//
//   GET /storefront/v2/login?language=L          the login page (HTML)
//   GET /storefront/v3/featured?language=L       the featured page (JSON page)
//   GET /storefront/v3/view/NAME?language=L      a named page: champions, skins, wards,
//                                                bundles or sale (JSON page)
//   GET /storefront/v3/payment/ACTION?[giftrecipientaccountid=N&[giftmessage=M&]]language=L
//                                                the payment page (HTML)
//   GET /storefront/v2/wallet?language=L         {"ip": N, "vp": N}
//   GET /storefront/v1/catalog?region=R&language=L   the catalog: a JSON array of items
//
// A JSON page is {"Player": {"accountId", "ip", "vp", "summonerLevel"}, "catalog": [items],
// "groupOrder": [names], "itemGroups": {name: {"items": [{"inventoryType", "itemId"}],
// "hidden", "grouped"}}}; with a language that an item is localized in, the item keeps only
// that localization. HTML pages are written in the language asked for (en, de, fr or es;
// English otherwise). The catalog is the same for every region and carries every language.
//
// Every request needs "Authorization: Bearer TOKEN" with the state's token (401 otherwise,
// and always when the state has no token). A StorefrontStub also refuses, with 403, a request
// whose Host (or Origin) header does not name the address it serves, as qor-host does. Unknown
// paths and page names answer 404, methods other than GET and HEAD 405. Errors are {"httpStatus":
// S, "message": "..."}.
//
// Thread rule: ServeStorefront is safe on any thread; a StorefrontStub is started and stopped
// from one thread and serves on its own connection threads.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "binding/maybe.h"
#include "host/http/access.h"
#include "host/http/http_front.h"
#include "host/storefront/storefront_state.h"

namespace qor::host {

// The answer of the storefront to one request.
HttpResponse ServeStorefront(const StorefrontState& state, const HttpRequest& request);

class StorefrontStub {
 public:
  // Listens on `host` and `port` (0: a free port; see HttpFront::Start for the hosts
  // accepted). Fails with a message naming the address.
  static MaybeType<Failure, std::unique_ptr<StorefrontStub>> Start(
      const std::string& host, uint16_t port, std::shared_ptr<StorefrontState> state);
  ~StorefrontStub();
  StorefrontStub(const StorefrontStub&) = delete;
  StorefrontStub& operator=(const StorefrontStub&) = delete;

  // "http://HOST:PORT", without a trailing "/".
  const std::string& Url() const { return url_; }
  const std::shared_ptr<StorefrontState>& State() const { return state_; }
  // Stops listening and waits for the requests in progress. Idempotent.
  void Stop();

 private:
  explicit StorefrontStub(std::shared_ptr<StorefrontState> state) : state_(std::move(state)) {}

  std::shared_ptr<StorefrontState> state_;
  std::unique_ptr<AccessPolicy> policy_;  // set once listening
  std::atomic<bool> policyReady_{false};
  std::unique_ptr<HttpFront> front_;
  std::string url_;
};

// ---- qor-storefront ------------------------------------------------------------------------

struct StorefrontOptions {
  std::string listenHost = "127.0.0.1";
  uint16_t listenPort = 8471;
  std::string catalog;  // empty: examples/demo/catalog.json (see FindDemoFile)
  std::string token = "developer-id-token";
  int64_t ip = 5000;
  int64_t vp = 2000;
  bool help = false;
};

// Parses the arguments after the program name, as qor-host does: "--name VALUE" or
// "--name=VALUE". Fails (status 400) with a message naming the option.
MaybeType<Failure, StorefrontOptions> ParseStorefrontOptions(
    const std::vector<std::string>& arguments);

// The text printed by qor-storefront --help.
std::string StorefrontHelpText();

}  // namespace qor::host
