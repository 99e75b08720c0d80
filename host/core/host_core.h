// HostCore: an in-process plug-in host behind the PluginHostApi table.
//
// It gives a plug-in everything the table promises, kept in memory:
// - local-request peers, registered by exact path (the query is not part of the match), and a
//   fallback peer for every other path;
// - one external-request responder standing in for outside HTTP;
// - an event bus: subscriptions by name, delivery of published events to every subscriber;
// - a queue of pending work and the scheduled callbacks, which RunPendingWork runs on the
//   calling thread (so callbacks into the plug-in nest inside the plug-in's waits);
// - the wait markers (BeginWait / EndWait) and a log sink.
// Every call the plug-in makes is also counted, and the interesting ones are recorded, so a
// test can check what happened. Each record keeps its latest kDefaultRecordLimit entries
// (SetRecordLimit changes that; a long-running host sets 0 and keeps only the counts).
//
// Time comes from a clock given at construction (seconds); a scheduled callback runs in the
// first RunPendingWork at or after its due time. A manual clock makes delays deterministic.
//
// Thread rule: every public operation and every table operation is thread-safe. The internal
// lock is never held while a peer, a responder, a log sink or a callback into the plug-in
// runs, so all of them may call back into the host.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "api/host_abi.h"
#include "binding/property.h"

namespace qor::host {

using HeaderList = std::vector<std::pair<std::string, std::string>>;

// A local request as a peer sees it: everything copied out of the plug-in's record.
struct LocalCall {
  uint32_t method = 0;
  std::string path;   // with the query, as sent
  std::string route;  // the path without its query: the key peers are registered under
  std::vector<std::optional<std::string>> argumentNames;  // nullopt for positional arguments
  std::vector<BindingProperty> arguments;
  HeaderList headers;
  std::string contentType;
  std::string body;
  uintptr_t callerHandle = 0;
};

// One piece of a streamed reply body, as one read call returns it.
struct StreamPiece {
  std::string bytes;  // longer than the reader's buffer: handed over in several reads
  bool more = true;   // the "more" flag returned with the piece's last bytes
  bool fail = false;  // the read returns an error instead of the bytes
};

// A peer's answer. With `error` set the plug-in sees a failed request; with `stream` set the
// body is delivered through the stream functions instead of `body`.
struct LocalReply {
  BindingProperty body;
  std::optional<std::string> error;
  uint32_t status = 0;
  std::optional<std::vector<StreamPiece>> stream;
  uint32_t streamLengthHint = 0;

  static LocalReply Value(BindingProperty body) {
    LocalReply reply;
    reply.body = std::move(body);
    return reply;
  }
  static LocalReply Error(uint32_t status, std::string text) {
    LocalReply reply;
    reply.status = status;
    reply.error = std::move(text);
    return reply;
  }
};

using LocalPeer = std::function<LocalReply(const LocalCall&)>;

struct ExternalCall {
  uint32_t method = 0;
  std::string url;
  HeaderList headers;  // in the order sent
  std::string body;
  uint32_t timeLimit = 0;
  uint32_t flags = 0;
};

struct ExternalReply {
  int32_t connectionCode = 0;  // not 0: `body` is the error text
  uint32_t status = 200;
  HeaderList headers;
  std::string body;
};

using ExternalResponder = std::function<ExternalReply(const ExternalCall&)>;

struct Subscription {
  std::string name;
  uintptr_t pluginHandle = 0;
  PluginEventCallback callback = nullptr;
  void* context = nullptr;
  uint32_t flags = 0;
};

struct PublishedEvent {
  std::string name;
  BindingProperty payload;
};

struct ScheduledRequest {
  std::string label;
  double delaySeconds = 0;
};

struct WaitMark {
  bool begin = false;  // BeginWait (true) or EndWait (false)
  std::string label;   // empty for EndWait
};

struct LogLine {
  uint32_t level = 0;
  std::string message;
};

// How often the plug-in called each host operation.
struct HostCallCounts {
  uint64_t sendLocalRequest = 0;
  uint64_t sendExternalRequest = 0;
  uint64_t publishEvent = 0;
  uint64_t subscribeEvent = 0;
  uint64_t unsubscribeEvent = 0;
  uint64_t scheduleCallback = 0;
  uint64_t runPendingWork = 0;
  uint64_t beginWait = 0;
  uint64_t endWait = 0;
  uint64_t writeLog = 0;
};

// A clock in seconds.
using Clock = std::function<double()>;
Clock SteadyClock();

class HostCore {
 public:
  // Entries kept per record (local calls, external calls, published events, scheduled
  // requests, wait marks, log lines) unless SetRecordLimit says otherwise.
  static constexpr size_t kDefaultRecordLimit = 10000;

  explicit HostCore(Clock clock = SteadyClock());
  ~HostCore();
  HostCore(const HostCore&) = delete;
  HostCore& operator=(const HostCore&) = delete;

  // The table to hand to a plug-in, and the host object for one of its plug-ins. Both stay
  // valid as long as this HostCore.
  const PluginHostApi* Api() const { return &table_.api; }
  PluginHost HostObject(uintptr_t pluginHandle) const { return PluginHost{Api(), pluginHandle}; }

  // ---- Local requests -------------------------------------------------------------------
  // The peer for one exact path (without query); replaces an earlier one.
  void SetLocalPeer(std::string route, LocalPeer peer);
  void RemoveLocalPeer(const std::string& route);
  // The peer for paths without a peer of their own. Without one such calls fail with
  // status 404 and "No endpoint for <METHOD> <path>".
  void SetFallbackPeer(LocalPeer peer);
  // Every local request received, in order.
  std::vector<LocalCall> LocalCalls() const;

  // ---- External requests ----------------------------------------------------------------
  // Without a responder every external request fails with connection code 1 and the text
  // "No external responder".
  void SetExternalResponder(ExternalResponder responder);
  std::vector<ExternalCall> ExternalCalls() const;

  // ---- Events ---------------------------------------------------------------------------
  // Delivers an event to every current subscriber of `name`, on the calling thread, now.
  // Returns the number of callbacks made.
  size_t DeliverEvent(const std::string& name, const BindingProperty& payload);
  // Queues the delivery; it runs in a later RunPendingWork. Events the plug-in publishes
  // take this way too.
  void PostEvent(std::string name, BindingProperty payload);
  std::vector<Subscription> Subscriptions() const;
  bool IsSubscribed(const std::string& name) const;
  // Every event the plug-in published, in order.
  std::vector<PublishedEvent> PublishedEvents() const;

  // ---- Work -----------------------------------------------------------------------------
  void Post(std::function<void()> work);
  // Runs the work queued before the call and the scheduled callbacks due now, in that order,
  // on the calling thread. Work queued while running waits for the next pass. Returns the
  // number of items run. This is also what the plug-in's RunPendingWork does.
  size_t RunPendingWork();
  // RunPendingWork until a pass runs nothing (at most `maxPasses` passes).
  size_t Drain(size_t maxPasses = 1000);
  // Scheduled callbacks not yet run.
  size_t PendingScheduled() const;
  // Forgets every scheduled callback not yet run, also those a pass in progress has taken
  // but not yet called, and returns how many were pending. A host calls it right after a
  // plug-in's Shutdown: the callbacks point into the destroyed module. (The scheduling call
  // names no plug-in, so the core serves the timers of one plug-in: give each its own core.)
  size_t DropScheduled();
  // Every ScheduleCallback request, in order.
  std::vector<ScheduledRequest> ScheduledRequests() const;
  // Called at the start of every RunPendingWork that the plug-in makes (after counting it),
  // before the queue runs; lets a caller make something happen during a plug-in's wait.
  void SetPendingWorkHook(std::function<void()> hook);

  // ---- Waits and log --------------------------------------------------------------------
  std::vector<WaitMark> WaitMarks() const;
  // Waits begun and not yet ended.
  int WaitDepth() const;
  // Receives every WriteLog in addition to the kept lines.
  void SetLogSink(std::function<void(uint32_t level, std::string_view message)> sink);
  std::vector<LogLine> LogLines() const;

  HostCallCounts Counts() const;

  // ---- Records --------------------------------------------------------------------------
  // Each record keeps its latest `limit` entries from now on (older ones are dropped at
  // once); 0 records nothing. The counts are kept whatever the limit.
  void SetRecordLimit(size_t limit);

 private:
  struct Table {
    PluginHostApi api;
    HostCore* owner;
  };
  struct Timer {
    double due;
    uint64_t order;
    PluginScheduledCallback callback;
    void* context;
  };

  static HostCore& From(const PluginHostApi* api);
  static void OnSendLocalRequest(const PluginHostApi* api, PluginLocalResponse* response,
                                 const PluginLocalRequest* request);
  static void OnSendExternalRequest(const PluginHostApi* api, PluginExternalResponse* response,
                                    const PluginExternalRequest* request);
  static void OnPublishEvent(const PluginHostApi* api, const PluginEvent* event);
  static void OnSubscribeEvent(const PluginHostApi* api, const char* name, uintptr_t pluginHandle,
                               PluginEventCallback callback, void* context, uint32_t flags);
  static void OnUnsubscribeEvent(const PluginHostApi* api, const char* name,
                                 uintptr_t pluginHandle);
  static void OnScheduleCallback(const PluginHostApi* api, const char* label,
                                 PluginScheduledCallback callback, void* context,
                                 double delaySeconds, uint32_t reserved);
  static void OnRunPendingWork(const PluginHostApi* api);
  static void OnBeginWait(const PluginHostApi* api, const char* label, uint32_t reserved);
  static void OnEndWait(const PluginHostApi* api);
  static void OnWriteLog(const PluginHostApi* api, uint32_t level, const char* message);

  void AnswerLocal(PluginLocalResponse& response, const PluginLocalRequest& request);
  void AnswerExternal(PluginExternalResponse& response, const PluginExternalRequest& request);

  Table table_;
  Clock clock_;

  mutable std::mutex mutex_;
  // Everything below is guarded by mutex_.
  std::map<std::string, LocalPeer> peers_;
  LocalPeer fallbackPeer_;
  ExternalResponder externalResponder_;
  std::deque<LocalCall> localCalls_;
  std::deque<ExternalCall> externalCalls_;
  std::vector<Subscription> subscriptions_;
  std::deque<PublishedEvent> published_;
  std::deque<std::function<void()>> work_;
  std::vector<Timer> timers_;
  uint64_t timerOrder_ = 0;
  uint64_t timerGeneration_ = 0;  // moves on every DropScheduled
  std::deque<ScheduledRequest> scheduled_;
  std::function<void()> pendingWorkHook_;
  std::deque<WaitMark> waitMarks_;
  int waitDepth_ = 0;
  std::function<void(uint32_t, std::string_view)> logSink_;
  std::deque<LogLine> logLines_;
  HostCallCounts counts_;
  size_t recordLimit_ = kDefaultRecordLimit;
};

}  // namespace qor::host
