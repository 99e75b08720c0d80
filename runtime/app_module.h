// AppModule: the base class of every plug-in built on this runtime.
//
// It owns the plug-in's identity, its link to the host (the PluginHostApi table given to
// Initialize), the type registry and dispatcher, the plug-in log target, the telemetry sender
// and the tables behind event handlers and scheduled callbacks. A plug-in derives from it and
// overrides RegisterApi (declare types and endpoints) and Start (subscribe, begin work).
//
// Life cycle: the export creates the module and calls Attach (version check, identity, SDK
// types, RegisterApi, endpoint table, load block); the host calls Initialize (log target,
// user agent, service-proxy events, Start), then delivers calls and events, and finally
// Shutdown (flag, Stop, destruction). See runtime/entry.h for the export side.
//
// Slots 4 to 12 are the module's only way to the host table (the log target aside), so a test
// double can stand in for the host by overriding them.
//
// Thread rule: the module creates no thread. Everything is called on host threads; handlers
// may run nested inside a wait (Await, Yield). The handler tables take no lock: they are
// changed during start-up and from handlers. The scheduled-callback table has its own mutex,
// never held while a callable or a host function runs.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <future>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "api/host_abi.h"
#include "binding/maybe.h"
#include "binding/property.h"
#include "binding/static_type.h"
#include "foundation/fatal.h"
#include "foundation/format.h"
#include "runtime/detail/service_proxy_await.h"
#include "runtime/resource_events.h"

namespace qor {

class TypeRegistry;
class Dispatcher;
class EndpointTable;
class PluginLogTarget;
class TelemetrySender;
class ServiceProxy;

// The plug-in API version this runtime implements.
inline constexpr uint32_t kPluginApiMajor = 18;
inline constexpr uint32_t kPluginApiMinor = 0;
inline constexpr uint32_t kPluginApiPatch = 0;

// Fatal codes of the runtime.
inline constexpr std::string_view kFatalIncompatibleHost = "ALE-EECF0606";
inline constexpr std::string_view kFatalFutureError = "ALE-6D828C10";

struct PluginIdentity {
  std::string fullName;  // "ukp-be-" + short name for a "backend"
  std::string shortName;
  std::string type;
  std::string typeQualifier;
};

// The full name from the short name and the type: "ukp-be-" for "backend", "ukp-fe-" for
// "frontend", otherwise "ukp-xx-" and an error line in the log.
std::string FullNameFromShortNameAndType(std::string_view shortName, std::string_view type);

// Whether a host of this API version can load the plug-in: same major, and (minor, patch)
// not below the plug-in's.
bool IsCompatibleHostVersion(uint32_t major, uint32_t minor, uint32_t patch);

class AppModule : public EventModulePort {
 public:
  // A handler of one host event name; receives the decoded payload.
  using EventHandler = ResourceEvents::EventHandler;

  AppModule();
  AppModule(const AppModule&) = delete;
  AppModule& operator=(const AppModule&) = delete;

  // ---- Slots, in order ------------------------------------------------------------------
  // 0, 1: resource subscriptions (filled in by the resource-event layer; every watch comes
  // through slot 0).
  MaybeType<Failure, void> SubscribeResource(std::string_view uri) override;
  virtual MaybeType<Failure, void> UnsubscribeResource(std::string_view uri);
  // 2: frees everything the module owns and releases the logger.
  ~AppModule() override;
  // 3: unsubscribes every event name with a handler, then empties the handler tables.
  virtual void Stop();
  // 4 to 12: the host operations. Without a host (before Initialize) requests fail with
  // error text "No host" and the other operations do nothing.
  virtual void SendLocalRequest(PluginLocalResponse& response, const PluginLocalRequest& request);
  virtual void SendExternalRequest(PluginExternalResponse& response,
                                   const PluginExternalRequest& request);
  void PublishEvent(const PluginEvent& event) override;
  virtual void SubscribeEvent(const char* name, PluginEventCallback callback, void* context,
                              uint32_t flags);
  virtual void UnsubscribeEvent(const char* name);
  virtual void ScheduleCallback(const char* label, PluginScheduledCallback callback, void* context,
                                double delaySeconds);
  void RunPendingWork() override;
  void BeginWait(std::string_view label) override;
  void EndWait() override;

 protected:
  // 13: declare the plug-in's types and endpoints. The base does nothing.
  virtual void RegisterApi() {}
  // 14: start the plug-in; the result is Initialize's. The base returns true.
  virtual bool Start() { return true; }

 public:
  // ---- Life cycle -----------------------------------------------------------------------
  // Runs the load steps and fills `info`. An incompatible host version ends the process
  // ("ALE-EECF0606").
  void Attach(PluginLoadInfo& info, std::string_view shortName);
  // Keeps the host, installs the log target, builds the user agent, subscribes the
  // service-proxy events and calls Start.
  bool Initialize(const PluginHost& host);
  // Sets the shutting-down flag, calls Stop and destroys the module.
  static void Shutdown(AppModule* module);
  // The callbacks handed to the host in the load block.
  static const PluginCallbacks& Callbacks();

  // ---- Accessors ------------------------------------------------------------------------
  const PluginIdentity& Identity() const { return identity_; }
  std::string_view ShortName() const override { return identity_.shortName; }
  const std::string& UserAgent() const { return userAgent_; }
  const std::vector<std::string>& LogGroups() const { return logGroups_; }
  const std::string& TypeNamePrefix() const { return typeNamePrefix_; }
  uint32_t HostVersionMajor() const { return hostVersion_[0]; }
  uint32_t HostVersionMinor() const { return hostVersion_[1]; }
  uint32_t HostVersionPatch() const { return hostVersion_[2]; }
  uintptr_t PluginHandle() const override { return pluginHandle_; }
  const PluginHostApi* HostApi() const { return host_.api; }
  bool ShuttingDown() const override { return shuttingDown_.load(std::memory_order_acquire); }
  const TypeRegistry* Registry() const override { return registry_.get(); }
  TypeRegistry& Types() { return *registry_; }
  const TypeRegistry& Types() const { return *registry_; }
  Dispatcher& Router() { return *dispatcher_; }
  // The endpoint table handed to the host; empty before Attach.
  const PluginEndpointTable& Endpoints() const;
  // Created at Initialize; null before.
  TelemetrySender* Telemetry() { return telemetry_.get(); }
  ResourceEvents& Events() { return *events_; }
  ServiceProxy& Proxy() { return *serviceProxy_; }

  // ---- The event components' view of the module (EventModulePort) -----------------------
  void SubscribeEvent(const std::string& name, uint32_t flags) override;
  void UnsubscribeEvent(const std::string& name) override;
  MaybeType<Failure, BindingProperty> LocalCall(uint32_t method, std::string_view path,
                                                std::span<const BindingProperty> params) override;
  void Schedule(std::string label, std::function<void()> callable) override;

  // ---- Events ---------------------------------------------------------------------------
  // Stores `handler` under `name` (replacing an earlier one) and subscribes the name with
  // `flags` (PLUGIN_SUBSCRIBE_*). Events of that name are decoded and handed to the handler.
  void RegisterEventHandler(const std::string& name, EventHandler handler, uint32_t flags);
  // Unsubscribes `name` and drops its handler; false when it had none.
  bool RemoveEventHandler(const std::string& name);
  bool HasEventHandler(std::string_view name) const;
  // The callback given to SubscribeEvent for every name; the context is the module.
  static void EventCallback(const PluginEvent* event);

  // ---- Waiting --------------------------------------------------------------------------
  // Waits for `future`, running the host's pending work on this thread meanwhile: a ready
  // future returns at once without any host call; otherwise BeginWait("Wait: future<...>"),
  // RunPendingWork once per poll, EndWait. A future without state or already read ends the
  // process ("ALE-6D828C10").
  template <typename T>
  MaybeType<Failure, T> Await(std::future<MaybeType<Failure, T>>& future);
  template <typename T>
  MaybeType<Failure, T> Await(std::future<MaybeType<Failure, T>>&& future) {
    return Await(future);
  }
  // One pass of host work: BeginWait("Wait: yield"), RunPendingWork, EndWait.
  void Yield();
  // Runs `callable` once on a host thread at or after `deadline`. Returns the entry's number.
  using Deadline = std::chrono::steady_clock::time_point;
  uint64_t Schedule(std::string_view label, std::function<void()> callable, Deadline deadline);
  // Scheduled entries whose callback has not run yet.
  size_t PendingScheduledCallbacks() const;

 private:
  struct ScheduledEntry {
    std::function<void()> callable;
  };
  // The host's callback of a scheduled entry; `context` is the entry's number. An entry that
  // is no longer held (run already, or its module destroyed) is refused.
  static void TimerCallback(void* context);
  // Forgets every entry not yet run (at destruction).
  void DropScheduledEntries();
  static uint8_t InitializeCallback(void* module, const PluginHost* host);
  static void ShutdownCallback(void* module);
  static void MemoryStatsCallback(void* module, PluginMemoryStats* stats);
  void InstallLogTarget();
  void RegisterSdkTypesAndEvents();

  uint32_t hostVersion_[3] = {0, 0, 0};
  PluginHost host_{nullptr, 0};
  uintptr_t pluginHandle_ = 0;
  PluginIdentity identity_;
  std::string userAgent_;
  std::vector<std::string> logGroups_;
  std::string typeNamePrefix_;
  std::unique_ptr<TypeRegistry> registry_;
  std::unique_ptr<Dispatcher> dispatcher_;
  std::unique_ptr<EndpointTable> endpointTable_;  // built at Attach, after RegisterApi
  std::unique_ptr<PluginLogTarget> logTarget_;
  std::unique_ptr<TelemetrySender> telemetry_;
  std::atomic<bool> shuttingDown_{false};
  std::unique_ptr<ResourceEvents> events_;
  std::unique_ptr<ServiceProxy> serviceProxy_;

  mutable std::mutex scheduledMutex_;
  std::unordered_map<uint64_t, std::unique_ptr<ScheduledEntry>> scheduled_;  // GUARDED_BY
};

template <typename T>
MaybeType<Failure, T> AppModule::Await(std::future<MaybeType<Failure, T>>& future) {
  return detail::AwaitFuture(*this, future);
}

}  // namespace qor
