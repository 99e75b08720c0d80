// The store's test bench: the real libqor_store.so, loaded with dlopen and driven through the
// in-process host core, with a scripted platform around it.
//
// - Resources: a table of URI -> JSON text; a local GET of a URI answers its value, or fails
//   with 404. Deliver() sends a resource event to the plug-in and runs the pending work.
// - Legacy service ("/qor-login/v1/session/invoke"): "loginService"."getStoreUrl" answers
//   `storeUrlReply` (a failure when unset), any other call succeeds unless `invokeError` is set.
// - Store proxy: every request gets the uuid "uuid", and `proxyPayload` / `proxyError` arrive as an
// event
//   during the plug-in's wait. Telemetry and player notifications fail when `postsFail` is set.
// - Storefront: every external GET is answered by `storefront` (by default: the page set with
//   SetPage for the exact URL, otherwise a connection failure).
// - Endpoint calls: Call() selects the function over the whole endpoint table, the way a host
//   does, and calls its entry.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <gtest/gtest.h>

#include "api/host_abi.h"
#include "api/route.h"
#include "binding/property.h"
#include "host/core/host_core.h"
#include "host/core/plugin_library.h"

namespace qor::store_test {

using Texts = std::vector<std::string>;
using Arguments = std::vector<BindingProperty>;

// What an endpoint call answered.
struct Reply {
  uint32_t status = 0;
  std::optional<std::string> error;  // the failure's message; nothing on success
  BindingProperty body;

  bool Succeeded() const { return !error.has_value(); }
};

// A JSON text parsed into a value; fails the test on invalid JSON.
BindingProperty Json(std::string_view text);
// A value as compact JSON text.
std::string JsonText(const BindingProperty& value);
// Each argument as compact JSON text, separated by spaces.
std::string JsonText(const Arguments& arguments);

// The session resource as the login plug-in publishes it.
std::string SessionJson(std::string_view state, uint64_t summonerId, uint64_t accountId,
                        std::string_view idToken);

constexpr std::string_view kSessionUri = "/qor-login/v1/session";
constexpr std::string_view kLcdsRoute = "/qor-login/v1/session/invoke";
constexpr std::string_view kRegionLocaleUri = "/vaxoclient/region-locale";
constexpr std::string_view kWalletUri = "/qor-store/v1/wallet";
constexpr std::string_view kDialogClass =
    "com.vaxoworks.platform.messaging.persistence.SimpleDialogMessage";

class StoreFixture : public testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override { StopStore(); }

  // Loads the plug-in and initialises it (which runs its Start).
  void StartStore();
  // Shuts the plug-in down (also done by TearDown).
  void StopStore();

  // ---- The scripted platform ------------------------------------------------------------
  void SetResource(std::string_view uri, std::string_view json) {
    resources_.insert_or_assign(std::string(uri), std::string(json));
  }
  // A resource event for `uri`; `json` is the data (none for a Delete). Runs the pending work
  // afterwards, so that what the event set off has happened on return.
  void Deliver(std::string_view uri, std::string_view eventType,
               std::optional<std::string_view> json = std::nullopt);
  // A legacy-service message pushed by the login plug-in.
  void Push(std::string_view className, std::string_view bodyJson);
  // A messaging-service push with `payload` (JSON text carried as a string).
  void VmsPush(std::string_view uri, std::string_view eventType, std::string_view payload);
  // The page answered for an exact storefront URL.
  void SetPage(std::string url, host::ExternalReply reply) {
    pages_.insert_or_assign(std::move(url), std::move(reply));
  }
  static host::ExternalReply Page(uint32_t status, std::string body) {
    return {.status = status, .body = std::move(body)};
  }
  static host::ExternalReply Unreachable() { return {7, 0, {}, "Connection refused"}; }

  // ---- Endpoint calls -------------------------------------------------------------------
  Reply Call(uint32_t method, std::string_view path, std::string_view body = {});
  Reply Get(std::string_view path) { return Call(PLUGIN_METHOD_GET, path); }

  // ---- What the plug-in did since the last ForgetActivity -------------------------------
  // The URLs of the storefront requests.
  Texts ExternalUrls() const;
  // The arguments of each local request sent to `route`.
  std::vector<Arguments> Sent(std::string_view route) const;
  // Every event published under a URI that begins with `prefix`, under the URI's own event
  // name: "Type uri" (Delete) or "Type uri data" (the data as JSON), in order.
  Texts Published(std::string_view prefix) const;
  // The log lines written, as "level message".
  Texts Log() const;
  void ForgetActivity();

  host::HostCore host_;
  std::optional<std::string> storeUrlReply;
  std::optional<std::string> invokeError;
  host::ExternalResponder storefront;
  std::string proxyPayload;  // the store proxy's answer: its payload's JSON text,
  std::string proxyError;    // or its error text
  bool postsFail = false;

 private:
  std::unique_ptr<host::PluginLibrary> library_;
  std::optional<PluginLoadInfo> info_;
  std::vector<Route> routes_;
  std::map<std::string, std::string, std::less<>> resources_;
  std::map<std::string, host::ExternalReply> pages_;
  size_t localSeen_ = 0;
  size_t externalSeen_ = 0;
  size_t publishedSeen_ = 0;
  size_t logSeen_ = 0;
};

// The store started, with nothing recorded yet.
class StartedStore : public StoreFixture {
 protected:
  void SetUp() override {
    StoreFixture::SetUp();
    StartStore();
    ForgetActivity();
  }
};

}  // namespace qor::store_test
