// The store's test bench: the real libqor_store.so, loaded with dlopen and driven through the
// in-process host core, with a scripted platform around it.
//
// - Resources: a table of URI -> JSON text; a local GET of a URI answers its value, or fails
//   with 404 when the table has none. Deliver() sends a resource event to the plug-in.
// - Legacy service: "/qor-login/v1/session/invoke" answers "loginService"."getStoreUrl" with
//   `storeUrlReply` (a reply text, or a failure when unset) and records every call.
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

// What an endpoint call answered.
struct Reply {
  std::string function;  // the name of the function the call reached ("" when none)
  uint32_t status = 0;
  std::optional<std::string> error;  // the failure's message; nothing on success
  BindingProperty body;

  bool Succeeded() const { return !error.has_value(); }
};

// One legacy-service call as the login plug-in received it.
struct LcdsCallRecord {
  std::string destination;
  std::string method;
  BindingProperty parameters;
};

// A JSON text parsed into a value; fails the test on invalid JSON.
BindingProperty Json(std::string_view text);
// A value as compact JSON text.
std::string JsonText(const BindingProperty& value);

// The session resource as the login plug-in publishes it.
std::string SessionJson(std::string_view state, uint64_t summonerId, uint64_t accountId,
                        std::string_view idToken);

class StoreFixture : public testing::Test {
 public:
  static constexpr uintptr_t kPluginHandle = 9;
  static constexpr std::string_view kSessionUri = "/qor-login/v1/session";
  static constexpr std::string_view kRegionLocaleUri = "/vaxoclient/region-locale";
  static constexpr std::string_view kPlatformIdUri =
      "/qor-platform-config/v1/namespaces/LoginDataPacket/platformId";
  static constexpr std::string_view kUseVmsUri =
      "/qor-platform-config/v1/namespaces/MBXStore/UseVMS";
  static constexpr std::string_view kDisableCapVmsUri =
      "/qor-platform-config/v1/namespaces/MBXStore/DisableCapVMS";
  static constexpr std::string_view kStoreUrlUri = "/qor-store/v1/getStoreUrl";
  static constexpr std::string_view kWalletUri = "/qor-store/v1/wallet";

 protected:
  void SetUp() override;
  void TearDown() override;

  // Loads the plug-in and initialises it (which runs its Start).
  void StartStore();
  // Shuts the plug-in down (also done by TearDown).
  void StopStore();

  // ---- The scripted platform ------------------------------------------------------------
  void SetResource(std::string_view uri, std::string_view json);
  void RemoveResource(std::string_view uri);
  // A resource event for `uri`; `json` is the data (none for a Delete). Runs the pending work
  // afterwards, so that what the event set off has happened on return.
  void Deliver(std::string_view uri, std::string_view eventType,
               std::optional<std::string_view> json = std::nullopt);
  // The page answered for an exact storefront URL.
  void SetPage(std::string url, host::ExternalReply reply);
  static host::ExternalReply Page(uint32_t status, std::string body);

  // ---- Endpoint calls -------------------------------------------------------------------
  Reply Call(uint32_t method, std::string_view path, std::string_view body = {},
             std::string_view contentType = "application/json");
  Reply Get(std::string_view path) { return Call(PLUGIN_METHOD_GET, path); }

  // ---- What the plug-in did ---------------------------------------------------------------
  std::vector<std::string> ExternalUrls() const;
  std::vector<host::ExternalCall> ExternalCalls() const { return host_.ExternalCalls(); }
  std::vector<LcdsCallRecord> LcdsCalls() const { return lcdsCalls_; }
  // The data of every Update the plug-in published for `uri` under the URI's own event name.
  std::vector<BindingProperty> Published(std::string_view uri) const;
  // How many Updates the plug-in published for URIs that begin with `prefix`.
  size_t PublishedUnder(std::string_view prefix) const;
  // Forgets the requests and events recorded so far.
  void ForgetActivity();

  // The names of the plug-in's functions, in table order.
  std::vector<std::string> FunctionNames() const;

  host::HostCore host_;
  // The legacy service's answer to "loginService"."getStoreUrl": the reply text, or a
  // failed call when unset.
  std::optional<std::string> storeUrlReply;
  host::ExternalResponder storefront;

 private:
  std::unique_ptr<host::PluginLibrary> library_;
  std::optional<PluginLoadInfo> info_;
  std::vector<Route> routes_;
  std::vector<const PluginFunctionEntry*> functions_;
  std::map<std::string, std::string, std::less<>> resources_;
  std::map<std::string, host::ExternalReply> pages_;
  std::vector<LcdsCallRecord> lcdsCalls_;
  size_t externalSeen_ = 0;
  size_t publishedSeen_ = 0;
};

}  // namespace qor::store_test
