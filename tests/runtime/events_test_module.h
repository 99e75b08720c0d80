// A minimal module for the event components' tests: it owns the three components and links
// them to an in-process HostCore the way the plug-in's module does, through the host table
// only (subscriptions with the module's event callback, local requests, published events,
// scheduled callbacks and waits).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <string_view>

#include "api/host_abi.h"
#include "binding/registry.h"
#include "host/core/host_core.h"
#include "runtime/lcds.h"
#include "runtime/resource_events.h"
#include "runtime/service_proxy.h"

namespace qor::events_test {

class EventsTestModule final : public EventModulePort {
 public:
  static constexpr std::uintptr_t kPluginHandle = 7;

  explicit EventsTestModule(host::HostCore& host) : api_(host.Api()) {}
  ~EventsTestModule() override = default;

  std::string_view ShortName() const override { return "qor-store"; }
  std::uintptr_t PluginHandle() const override { return kPluginHandle; }
  bool ShuttingDown() const override { return shuttingDown; }
  const TypeRegistry* Registry() const override { return &registry; }

  void SubscribeEvent(const std::string& name, std::uint32_t flags) override;
  void UnsubscribeEvent(const std::string& name) override;
  void PublishEvent(const PluginEvent& event) override;
  MaybeType<Failure, BindingProperty> LocalCall(std::uint32_t method, std::string_view path,
                                                std::span<const BindingProperty> params) override;
  void Schedule(std::string label, std::function<void()> callable) override;
  void BeginWait(std::string_view label) override;
  void RunPendingWork() override;
  void EndWait() override;

  // What the module's Shutdown does with the components: flag, then Stop.
  void Shutdown();

  std::size_t PendingScheduled() const { return scheduled_.size(); }

  TypeRegistry registry;
  bool shuttingDown = false;
  ResourceEvents events{*this};
  LcdsClient lcds{*this, events};
  ServiceProxy proxy{*this, events};

 private:
  struct ScheduledEntry {
    EventsTestModule* module;
    std::uint64_t number;
    std::function<void()> callable;
  };
  static void OnEvent(const PluginEvent* event);
  static void OnScheduled(void* context);

  const PluginHostApi* api_;
  std::uint64_t nextNumber_ = 0;
  std::map<std::uint64_t, std::unique_ptr<ScheduledEntry>> scheduled_;
};

}  // namespace qor::events_test
