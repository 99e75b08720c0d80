// A minimal plug-in module for the event components' tests: a bare AppModule, attached and
// initialised against an in-process HostCore, so that events, requests, scheduled callbacks
// and waits take the module's real path through the host table. It also owns an LcdsClient,
// as a plug-in that talks to the legacy service does.
#pragma once

#include <cstdint>

#include "api/host_abi.h"
#include "host/core/host_core.h"
#include "runtime/app_module.h"
#include "runtime/lcds.h"
#include "runtime/resource_events.h"
#include "runtime/service_proxy.h"

namespace qor::events_test {

class EventsTestModule final : public AppModule {
 public:
  static constexpr std::uintptr_t kPluginHandle = 7;

  explicit EventsTestModule(host::HostCore& host) {
    PluginLoadInfo info{};
    info.versionMajor = kPluginApiMajor;
    info.versionMinor = kPluginApiMinor;
    info.versionPatch = kPluginApiPatch;
    Attach(info, "qor-store");
    Initialize(host.HostObject(kPluginHandle));
  }

  // Lets a test see the shutting-down state without destroying the module.
  bool ShuttingDown() const override { return finalizing || AppModule::ShuttingDown(); }
  void Stop() override {
    lcds.Stop();
    AppModule::Stop();
  }

  bool finalizing = false;
  LcdsClient lcds{*this, Events()};
};

}  // namespace qor::events_test
