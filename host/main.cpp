// qor-host: the developer host. See `qor-host --help`.
#include <cstdio>
#include <string>
#include <vector>

#include "host/dev_host.h"
#include "host/options.h"
#include "host/stop_signals.h"

int main(int argc, char** argv) {
  using namespace qor::host;
  std::vector<std::string> arguments(argv + 1, argv + argc);
  qor::MaybeType<qor::Failure, HostOptions> options = ParseHostOptions(arguments);
  if (!options) {
    std::fprintf(stderr, "qor-host: %s\n", options.ErrorMessage().c_str());
    return 2;
  }
  if (options->help) {
    std::fputs(HelpText().c_str(), stdout);
    return 0;
  }

  const StopSignals stopSignals;  // before any thread starts

  qor::MaybeType<qor::Failure, std::unique_ptr<DevHost>> host = DevHost::Start(*options);
  if (!host) {
    std::fprintf(stderr, "qor-host: %s\n", host.ErrorMessage().c_str());
    return 1;
  }
  std::printf("qor-host: serving qor-store at %s (user \"qor\")\n", (*host)->Url().c_str());
  std::printf("qor-host: store console at %s/ (in a browser; same user and password)\n",
              (*host)->Url().c_str());
  std::printf("qor-host: credentials in %s\n", (*host)->CredentialsPath().c_str());
  if (const StorefrontStub* storefront = (*host)->Storefront()) {
    std::printf("qor-host: storefront stub at %s\n", storefront->Url().c_str());
  }
  std::printf(
      "qor-host: try  curl -u \"qor:$(sed 's/.*\"password\":\"\\([^\"]*\\)\".*/\\1/' %s)\" "
      "%s/qor-store/v1/lastPage\n",
      (*host)->CredentialsPath().c_str(), (*host)->Url().c_str());
  std::fflush(stdout);

  std::fprintf(stderr, "qor-host: %s received, shutting down\n", stopSignals.Wait());
  (*host)->Stop();
  return 0;
}
