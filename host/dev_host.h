// DevHost: the developer host, assembled. It loads the plug-in, runs every call into it on one
// work thread, serves its endpoints and the control API over HTTP, and simulates the platform.
//
//   MaybeType<Failure, std::unique_ptr<DevHost>> host = DevHost::Start(options);
//   ... wait for SIGINT or SIGTERM ...
//   (*host)->Stop();   // Shutdown of the plug-in, credentials file removed
//
// The work thread loops over the host core's pending work (queued calls, event deliveries,
// scheduled callbacks); when nothing is queued it waits up to 10 ms for work. The plug-in's
// RunPendingWork does the same on the thread of its wait, so calls nest inside its waits. HTTP
// threads hand their calls to the work thread and wait for them.
//
// Thread rule: Start and Stop from one thread; the accessors from any thread.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/route.h"
#include "binding/maybe.h"
#include "host/core/host_core.h"
#include "host/core/plugin_library.h"
#include "host/http/access.h"
#include "host/http/event_stream.h"
#include "host/http/http_front.h"
#include "host/http/work_thread.h"
#include "host/options.h"
#include "host/platform/peers.h"
#include "host/storefront/storefront.h"

namespace qor::host {

class DevHost {
 public:
  // Loads the plug-in, initialises it, starts listening and writes the credentials file.
  // Fails with a message saying which step failed.
  static MaybeType<Failure, std::unique_ptr<DevHost>> Start(const HostOptions& options);
  ~DevHost();
  DevHost(const DevHost&) = delete;
  DevHost& operator=(const DevHost&) = delete;

  // Stops listening, shuts the plug-in down, stops the work thread and removes the
  // credentials file. Idempotent.
  void Stop();

  const std::string& Url() const { return url_; }
  const std::string& CredentialsPath() const { return credentialsPath_; }
  const std::string& Password() const { return password_; }
  SimulatedPeers& Peers() { return *peers_; }
  // The storefront stub started for the scenario's "storefront" (--demo), or null.
  const StorefrontStub* Storefront() const { return storefront_.get(); }
  HostCore& Core() { return core_; }

  // Runs `work` on the work thread and waits for it.
  void RunOnWorkThread(const std::function<void()>& work);
  // Queues `work` for the work thread.
  void Post(std::function<void()> work);
  // Called with every event the plug-in publishes, on the work thread.
  void AddEventObserver(std::function<void(const std::string&, const BindingProperty&)> observer);

  // The answer to one HTTP request that passed the gate (the control API or the plug-in).
  HttpResponse Handle(const HttpRequest& request);

 private:
  struct Table {
    PluginHostApi api;  // first member: the table pointer leads back to the owner
    DevHost* owner;
  };

  explicit DevHost(const HostOptions& options);
  static DevHost& From(const PluginHostApi* api);
  static void OnPublishEvent(const PluginHostApi* api, const PluginEvent* event);
  static void OnRunPendingWork(const PluginHostApi* api);

  std::optional<HttpResponse> Gate(const HttpRequest& request) const;
  HttpResponse HandleControl(const HttpRequest& request);
  HttpResponse CallPlugin(const HttpRequest& request);
  void Log(uint32_t level, std::string_view message);
  MaybeType<Failure, void> ClaimCredentialsPath() const;
  MaybeType<Failure, void> WriteCredentials();
  void RemoveCredentials();

  HostOptions options_;
  HostCore core_;
  Table table_{};
  std::unique_ptr<SimulatedPeers> peers_;
  std::unique_ptr<StorefrontStub> storefront_;  // shares its state with the store proxy
  RecordList log_;
  std::unique_ptr<PluginLibrary> library_;
  PluginLoadInfo loadInfo_{};
  void* module_ = nullptr;
  std::vector<Route> routes_;
  std::vector<const PluginFunctionEntry*> functions_;  // parallel to routes_
  std::unique_ptr<AccessPolicy> policy_;
  std::atomic<bool> policyReady_{false};  // policy_ and url_ are set
  std::unique_ptr<HttpFront> front_;
  EventStream events_;   // GET /dev/v1/events
  std::string openApi_;  // GET /dev/v1/openapi.json, made once the URL is known
  std::string url_;
  std::string credentialsPath_;
  std::string password_;
  bool credentialsWritten_ = false;
  // The file written and its text, to remove only that one (a file made in its place may
  // reuse its inode).
  dev_t credentialsDevice_ = 0;
  ino_t credentialsInode_ = 0;
  std::string credentialsText_;
  mutable FailedAuthentications failedAuthentications_;
  mutable std::string acceptedAuthorization_;  // the work thread's: Gate runs there
  bool stopped_ = false;

  detail::WorkThread work_{core_};

  std::mutex observersMutex_;
  std::vector<std::function<void(const std::string&, const BindingProperty&)>> observers_;
};

// The plug-in built beside the running executable: <dir>/../store/libqor_store.so.
std::string DefaultPluginPath();

}  // namespace qor::host
