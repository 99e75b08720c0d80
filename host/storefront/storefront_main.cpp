// qor-storefront: the storefront stub on its own. See `qor-storefront --help`.
#include <cstdio>
#include <string>
#include <vector>

#include "host/stop_signals.h"
#include "host/storefront/demo.h"
#include "host/storefront/storefront.h"

int main(int argc, char** argv) {
  using namespace qor::host;
  std::vector<std::string> arguments(argv + 1, argv + argc);
  qor::MaybeType<qor::Failure, StorefrontOptions> options = ParseStorefrontOptions(arguments);
  if (!options) {
    std::fprintf(stderr, "qor-storefront: %s\n", options.ErrorMessage().c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(StorefrontHelpText().c_str(), stdout);
    return 0;
  }
  std::string catalogPath = options->catalog;
  if (catalogPath.empty()) {
    qor::MaybeType<qor::Failure, std::string> found = FindDemoFile("catalog.json");
    if (!found) {
      std::fprintf(stderr, "qor-storefront: %s; give --catalog FILE\n",
                   found.ErrorMessage().c_str());
      return 1;
    }
    catalogPath = *found;
  }
  qor::MaybeType<qor::Failure, StorefrontCatalog> catalog = StorefrontCatalog::Load(catalogPath);
  if (!catalog) {
    std::fprintf(stderr, "qor-storefront: %s\n", catalog.ErrorMessage().c_str());
    return 1;
  }
  const size_t items = catalog->Entries().size();

  const StopSignals stopSignals;  // before the server's threads start

  StorefrontAccount account;
  account.token = options->token;
  account.balances = Balances{options->ip, options->vp};
  auto state = std::make_shared<StorefrontState>(std::move(*catalog), std::move(account));
  qor::MaybeType<qor::Failure, std::unique_ptr<StorefrontStub>> stub =
      StorefrontStub::Start(options->listenHost, options->listenPort, std::move(state));
  if (!stub) {
    std::fprintf(stderr, "qor-storefront: %s\n", stub.ErrorMessage().c_str());
    return 1;
  }
  std::printf("qor-storefront: serving %zu catalog items from %s at %s\n", items,
              catalogPath.c_str(), (*stub)->Url().c_str());
  std::printf("qor-storefront: try  curl -H 'Authorization: Bearer %s' %s/storefront/v2/wallet\n",
              options->token.c_str(), (*stub)->Url().c_str());
  std::fflush(stdout);

  stopSignals.Wait();
  (*stub)->Stop();
  return 0;
}
