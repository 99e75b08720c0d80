#include "runtime/app_module.h"

#include <cstring>

#include "api/builtin_types.h"
#include "api/dispatch.h"
#include "api/endpoint_table.h"
#include "api/host_value.h"
#include "api/route.h"
#include "binding/record.h"
#include "binding/registry.h"
#include "foundation/log.h"
#include "runtime/local_client.h"
#include "runtime/memory_stats.h"
#include "runtime/plugin_log_target.h"
#include "runtime/sdk_types.h"
#include "runtime/service_proxy.h"
#include "runtime/telemetry.h"

namespace qor {

namespace {

// The owner of every scheduled entry not yet run, by entry number, for the whole process.
// Numbers are never reused, so a callback of an entry that is gone finds nothing.
std::atomic<uint64_t> nextTimerNumber{1};

std::mutex& TimerOwnersMutex() {
  static auto* mutex = new std::mutex;
  return *mutex;
}

std::unordered_map<uint64_t, AppModule*>& TimerOwners() {
  static auto* owners = new std::unordered_map<uint64_t, AppModule*>;
  return *owners;
}

}  // namespace

std::string FullNameFromShortNameAndType(std::string_view shortName, std::string_view type) {
  std::string_view prefix = "ukp-xx-";
  if (type == "backend") {
    prefix = "ukp-be-";
  } else if (type == "frontend") {
    prefix = "ukp-fe-";
  } else {
    const std::string message =
        Format("GetFullNameFromShortNameAndType(\"%1\", \"%2\") called with an unknown type",
               shortName, type);
    Log(LogLevel::Error, log_group::kDbg, "            Plugin Manager| %s", message);
  }
  return std::string(prefix) + std::string(shortName);
}

bool IsCompatibleHostVersion(uint32_t major, uint32_t minor, uint32_t patch) {
  if (major != kPluginApiMajor) return false;
  if (minor != kPluginApiMinor) return minor > kPluginApiMinor;
  return patch >= kPluginApiPatch;
}

AppModule::AppModule()
    : registry_(std::make_unique<TypeRegistry>()),
      dispatcher_(std::make_unique<Dispatcher>(*registry_, this)),
      events_(std::make_unique<ResourceEvents>(*this)),
      serviceProxy_(std::make_unique<ServiceProxy>(*this, *events_)) {
  Logger::Acquire();
}

AppModule::~AppModule() {
  telemetry_.reset();
  DropScheduledEntries();
  serviceProxy_.reset();
  events_.reset();
  logTarget_.reset();  // detaches it when it is the registered one
  endpointTable_.reset();
  dispatcher_.reset();
  registry_.reset();
  Logger::Release();
}

// ---- Resource subscriptions ---------------------------------------------------------------

MaybeType<Failure, void> AppModule::SubscribeResource(std::string_view uri) {
  events_->SubscribeResource(uri);
  return {};
}

MaybeType<Failure, void> AppModule::UnsubscribeResource(std::string_view uri) {
  events_->UnsubscribeResource(uri);
  return {};
}

// ---- Stop ---------------------------------------------------------------------------------

void AppModule::Stop() {
  events_->Stop();
  serviceProxy_->Stop();
}

// ---- Host operations ----------------------------------------------------------------------

void AppModule::SendLocalRequest(PluginLocalResponse& response, const PluginLocalRequest& request) {
  if (host_.api == nullptr || host_.api->SendLocalRequest == nullptr) {
    std::memset(&response, 0, sizeof(response));
    response.errorText = "No host";
    response.status = 503;
    return;
  }
  host_.api->SendLocalRequest(host_.api, &response, &request);
}

void AppModule::SendExternalRequest(PluginExternalResponse& response,
                                    const PluginExternalRequest& request) {
  if (host_.api == nullptr || host_.api->SendExternalRequest == nullptr) {
    static constexpr char kNoHost[] = "No host";
    std::memset(&response, 0, sizeof(response));
    response.connectionCode = 1;
    response.body = kNoHost;
    response.bodyLength = sizeof(kNoHost) - 1;
    return;
  }
  host_.api->SendExternalRequest(host_.api, &response, &request);
}

void AppModule::PublishEvent(const PluginEvent& event) {
  if (host_.api != nullptr && host_.api->PublishEvent != nullptr) {
    host_.api->PublishEvent(host_.api, &event);
  }
}

void AppModule::SubscribeEvent(const char* name, PluginEventCallback callback, void* context,
                               uint32_t flags) {
  if (host_.api != nullptr && host_.api->SubscribeEvent != nullptr) {
    host_.api->SubscribeEvent(host_.api, name, pluginHandle_, callback, context, flags);
  }
}

void AppModule::UnsubscribeEvent(const char* name) {
  if (host_.api != nullptr && host_.api->UnsubscribeEvent != nullptr) {
    host_.api->UnsubscribeEvent(host_.api, name, pluginHandle_);
  }
}

void AppModule::ScheduleCallback(const char* label, PluginScheduledCallback callback, void* context,
                                 double delaySeconds) {
  if (host_.api != nullptr && host_.api->ScheduleCallback != nullptr) {
    host_.api->ScheduleCallback(host_.api, label, callback, context, delaySeconds, 0);
  }
}

void AppModule::RunPendingWork() {
  if (host_.api != nullptr && host_.api->RunPendingWork != nullptr) {
    host_.api->RunPendingWork(host_.api);
  }
}

void AppModule::BeginWait(std::string_view label) {
  if (host_.api != nullptr && host_.api->BeginWait != nullptr) {
    const std::string text(label);
    host_.api->BeginWait(host_.api, text.c_str(), 0);
  }
}

void AppModule::EndWait() {
  if (host_.api != nullptr && host_.api->EndWait != nullptr) host_.api->EndWait(host_.api);
}

// ---- Life cycle ---------------------------------------------------------------------------

void AppModule::Attach(PluginLoadInfo& info, std::string_view shortName) {
  if (!IsCompatibleHostVersion(info.versionMajor, info.versionMinor, info.versionPatch)) {
    FatalExit(kFatalIncompatibleHost);
  }
  hostVersion_[0] = info.versionMajor;
  hostVersion_[1] = info.versionMinor;
  hostVersion_[2] = info.versionPatch;

  constexpr std::string_view kType = "backend";
  identity_.fullName = FullNameFromShortNameAndType(shortName, kType);
  identity_.shortName = std::string(shortName);
  identity_.type = std::string(kType);
  identity_.typeQualifier.clear();

  logGroups_ = {"Plugins", "Plugin " + identity_.shortName};
  typeNamePrefix_ = qor::TypeNamePrefix(identity_.shortName);

  RegisterSdkTypesAndEvents();
  RegisterApi();
  endpointTable_ = std::make_unique<EndpointTable>(*dispatcher_);

  info.versionMajor = kPluginApiMajor;
  info.versionMinor = kPluginApiMinor;
  info.versionPatch = kPluginApiPatch;
  info.callbacks = &Callbacks();
  info.context = this;
  info.shortName = identity_.shortName.c_str();
  info.endpoints = &endpointTable_->Descriptor();
}

const PluginEndpointTable& AppModule::Endpoints() const {
  static const PluginEndpointTable kEmpty{};
  return endpointTable_ ? endpointTable_->Descriptor() : kEmpty;
}

void AppModule::RegisterSdkTypesAndEvents() {
  RegisterSdkTypes(*registry_);
  RegisterBuiltinTypes(*registry_);
}

bool AppModule::Initialize(const PluginHost& host) {
  host_ = host;
  InstallLogTarget();

  const std::string version = Format("%1.%2.%3", hostVersion_[0], hostVersion_[1], hostVersion_[2]);
  userAgent_ = Format("VaxoClient/%1 (%2)", version, identity_.shortName);

  pluginHandle_ = host.pluginHandle;
  telemetry_ = std::make_unique<TelemetrySender>(*this);
  serviceProxy_->SubscribeEvents();
  return Start();
}

void AppModule::InstallLogTarget() {
  Logger& logger = Logger::Acquire();
  if (logger.FindTarget(PluginLogTarget::kName) == nullptr) {
    logger.Detach(logger.StdErrTarget());
    logger.Detach(logger.StdOutTarget());
    logger.Detach(logger.DebuggerConsoleTarget());
    logger.SetLevel(LogLevel::Okay);
    logger.SetMuted(log_group::kXtr);
    auto target = std::make_unique<PluginLogTarget>(host_.api);
    logger.Register(*target, logger.Level(), 0, 0, PluginLogTarget::kLineFormat);
    logTarget_ = std::move(target);
  }
  Logger::Release();
}

void AppModule::Shutdown(AppModule* module) {
  if (module == nullptr) return;
  module->shuttingDown_.store(true, std::memory_order_release);
  module->Stop();
  delete module;
}

const PluginCallbacks& AppModule::Callbacks() {
  static const PluginCallbacks kCallbacks{&InitializeCallback, &ShutdownCallback,
                                          &MemoryStatsCallback};
  return kCallbacks;
}

uint8_t AppModule::InitializeCallback(void* module, const PluginHost* host) {
  if (module == nullptr || host == nullptr) return 0;
  return static_cast<AppModule*>(module)->Initialize(*host) ? 1 : 0;
}

void AppModule::ShutdownCallback(void* module) {
  Shutdown(static_cast<AppModule*>(module));
}

void AppModule::MemoryStatsCallback(void* /*module*/, PluginMemoryStats* stats) {
  if (stats == nullptr) return;
  const MemoryStats counters = ReadMemoryStats();
  *stats = PluginMemoryStats{};
  stats->peakBytesInUse = counters.peakBytesInUse;
  stats->blocksInUseAtPeak = counters.blocksInUseAtPeak;
  stats->bytesAllocated = counters.bytesAllocated;
  stats->allocations = counters.allocations;
  stats->bytesFreed = counters.bytesFreed;
  stats->frees = counters.frees;
}

// ---- Events -------------------------------------------------------------------------------

void AppModule::RegisterEventHandler(const std::string& name, EventHandler handler,
                                     uint32_t flags) {
  events_->RegisterEventHandler(name, std::move(handler), flags);
}

bool AppModule::RemoveEventHandler(const std::string& name) {
  return events_->RemoveEventHandler(name);
}

bool AppModule::HasEventHandler(std::string_view name) const {
  return events_->HasEventHandler(name);
}

void AppModule::EventCallback(const PluginEvent* event) {
  if (event == nullptr || event->name == nullptr || event->context == nullptr) return;
  static_cast<AppModule*>(event->context)->events_->OnHostEvent(*event);
}

void AppModule::SubscribeEvent(const std::string& name, uint32_t flags) {
  SubscribeEvent(name.c_str(), &EventCallback, this, flags);
}

void AppModule::UnsubscribeEvent(const std::string& name) {
  UnsubscribeEvent(name.c_str());
}

MaybeType<Failure, BindingProperty> AppModule::LocalCall(uint32_t method, std::string_view path,
                                                         std::span<const BindingProperty> params) {
  BindingProperty body;
  auto sent = detail::SendLocalCall(*this, method, path, params, &body);
  if (sent.Failed()) return sent.Error();
  return body;
}

void AppModule::Schedule(std::string label, std::function<void()> callable) {
  Schedule(label, std::move(callable), Deadline::clock::now());
}

// ---- Waiting ------------------------------------------------------------------------------

void AppModule::Yield() {
  BeginWait("Wait: yield");
  RunPendingWork();
  EndWait();
}

uint64_t AppModule::Schedule(std::string_view label, std::function<void()> callable,
                             Deadline deadline) {
  const auto remaining = deadline - Deadline::clock::now();
  double delay = std::chrono::duration_cast<std::chrono::nanoseconds>(remaining).count() * 1e-9;
  if (!(delay > 0)) delay = 0;

  const uint64_t number = nextTimerNumber.fetch_add(1, std::memory_order_relaxed);
  {
    std::lock_guard lock(scheduledMutex_);
    scheduled_[number] = std::make_unique<ScheduledEntry>(ScheduledEntry{std::move(callable)});
  }
  {
    std::lock_guard lock(TimerOwnersMutex());
    TimerOwners()[number] = this;
  }
  const std::string text(label);
  // The host is handed the entry's number, never its address: a callback that arrives after
  // the entry is gone (its module shut down) finds no owner and does nothing.
  ScheduleCallback(text.c_str(), &TimerCallback, reinterpret_cast<void*>(number), delay);
  return number;
}

void AppModule::DropScheduledEntries() {
  std::unordered_map<uint64_t, std::unique_ptr<ScheduledEntry>> dropped;
  {
    std::lock_guard lock(scheduledMutex_);
    dropped.swap(scheduled_);
  }
  std::lock_guard lock(TimerOwnersMutex());
  for (const auto& [number, entry] : dropped)
    TimerOwners().erase(number);
}

size_t AppModule::PendingScheduledCallbacks() const {
  std::lock_guard lock(scheduledMutex_);
  return scheduled_.size();
}

void AppModule::TimerCallback(void* context) {
  const auto number = static_cast<uint64_t>(reinterpret_cast<uintptr_t>(context));
  AppModule* module = nullptr;
  {
    std::lock_guard lock(TimerOwnersMutex());
    auto owner = TimerOwners().find(number);
    if (owner == TimerOwners().end()) return;  // already run, or its module is gone
    module = owner->second;
    TimerOwners().erase(owner);
  }
  ScheduledEntry* entry = nullptr;
  {
    std::lock_guard lock(module->scheduledMutex_);
    auto found = module->scheduled_.find(number);
    if (found == module->scheduled_.end()) return;
    entry = found->second.get();
  }
  // The entry stays in the table while its callable runs, without the mutex held.
  if (entry->callable) entry->callable();
  std::unique_ptr<ScheduledEntry> done;
  {
    std::lock_guard lock(module->scheduledMutex_);
    auto found = module->scheduled_.find(number);
    if (found != module->scheduled_.end()) {
      done = std::move(found->second);
      module->scheduled_.erase(found);
    }
  }
  // `done` (and the callable's captures) are destroyed here, outside the mutex.
}

}  // namespace qor
