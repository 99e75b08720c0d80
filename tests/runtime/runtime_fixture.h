// The runtime tests' module: a bare AppModule, attached and initialised against an in-process
// HostCore, so that events, requests, scheduled callbacks and waits take the module's real
// path through the host table. It owns an LcdsClient, as a plug-in that talks to the legacy
// service does, and lets a case see what it subscribes, make it look shut down, or replace
// the host's external response record with one of the case's own making.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "api/host_abi.h"
#include "host/core/host_core.h"
#include "runtime/app_module.h"
#include "runtime/lcds.h"
#include "runtime/resource_events.h"
#include "runtime/service_proxy.h"

namespace qor::runtime_test {

class TestModule final : public AppModule {
 public:
  static constexpr std::uintptr_t kPluginHandle = 7;

  explicit TestModule(host::HostCore& host, uint32_t minor = kPluginApiMinor,
                      uint32_t patch = kPluginApiPatch) {
    PluginLoadInfo info{};
    info.versionMajor = kPluginApiMajor;
    info.versionMinor = minor;
    info.versionPatch = patch;
    Attach(info, "qor-store");
    Initialize(host.HostObject(kPluginHandle));
  }

  bool ShuttingDown() const override { return finalizing || AppModule::ShuttingDown(); }
  void Stop() override {
    lcds.Stop();
    AppModule::Stop();
  }
  MaybeType<Failure, void> SubscribeResource(std::string_view uri) override {
    subscribed.emplace_back(uri);
    return AppModule::SubscribeResource(uri);
  }
  void SendExternalRequest(PluginExternalResponse& response,
                           const PluginExternalRequest& request) override {
    if (!rawExternal) return AppModule::SendExternalRequest(response, request);
    response = PluginExternalResponse{};
    rawExternal(response);
  }

  bool finalizing = false;  // seen as shutting down without being destroyed
  std::vector<std::string> subscribed;
  std::function<void(PluginExternalResponse&)> rawExternal;
  LcdsClient lcds{*this, Events()};
};

}  // namespace qor::runtime_test
