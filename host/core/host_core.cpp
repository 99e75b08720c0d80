#include "host/core/host_core.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "api/host_value.h"

namespace qor::host {
namespace {

std::string_view MethodText(uint32_t method) {
  static constexpr std::string_view kNames[] = {"",        "DELETE", "GET",  "HEAD",
                                                "OPTIONS", "PATCH",  "POST", "PUT"};
  return method < std::size(kNames) ? kNames[method] : std::string_view();
}

std::string CopyText(const char* text) {
  return text != nullptr ? std::string(text) : std::string();
}

// A NUL-terminated copy owned by a response record, freed by its release function.
char* DuplicateText(std::string_view text) {
  char* copy = static_cast<char*>(std::malloc(text.size() + 1));
  if (copy == nullptr) return nullptr;
  std::memcpy(copy, text.data(), text.size());
  copy[text.size()] = '\0';
  return copy;
}

// Appends `entry` to a record that keeps its latest `limit` entries.
template <typename T>
void Record(std::deque<T>& record, T entry, size_t limit) {
  if (limit == 0) return;
  while (record.size() >= limit)
    record.pop_front();
  record.push_back(std::move(entry));
}

template <typename T>
void Trim(std::deque<T>& record, size_t limit) {
  while (record.size() > limit)
    record.pop_front();
  if (record.empty()) std::deque<T>().swap(record);  // give the blocks back
}

template <typename T>
std::vector<T> Copy(const std::deque<T>& record) {
  return std::vector<T>(record.begin(), record.end());
}

// ---- Streamed local reply bodies --------------------------------------------------------

struct StreamState {
  std::vector<StreamPiece> pieces;
  size_t piece = 0;   // the piece being handed over
  size_t offset = 0;  // bytes of it already handed over
  bool closed = false;
};

int32_t ReadStream(void* handle, void* buffer, uint32_t capacity, uint32_t* bytesRead,
                   uint8_t* more) {
  auto* state = static_cast<StreamState*>(handle);
  if (bytesRead != nullptr) *bytesRead = 0;
  if (more != nullptr) *more = 0;
  if (state == nullptr || state->closed || bytesRead == nullptr || more == nullptr) return -1;
  if (state->piece >= state->pieces.size()) return 0;  // nothing more: 0 bytes, more cleared
  const StreamPiece& piece = state->pieces[state->piece];
  if (piece.fail) return -1;
  const size_t left = piece.bytes.size() - state->offset;
  const size_t count = std::min<size_t>(left, capacity);
  if (count > 0 && buffer == nullptr) return -1;
  if (count > 0) std::memcpy(buffer, piece.bytes.data() + state->offset, count);
  state->offset += count;
  *bytesRead = static_cast<uint32_t>(count);
  if (state->offset < piece.bytes.size()) {
    *more = 1;  // the rest of this piece comes with the next read
  } else {
    *more = piece.more ? 1 : 0;
    ++state->piece;
    state->offset = 0;
  }
  return 0;
}

void CloseStream(void* handle) {
  if (handle != nullptr) static_cast<StreamState*>(handle)->closed = true;
}

void ReleaseLocalResponse(PluginLocalResponse* response) {
  if (response == nullptr) return;
  FreeHostValue(response->body);
  if (response->errorTextOwned) std::free(const_cast<char*>(response->errorText));
  std::free(const_cast<char*>(response->statusText));
  delete static_cast<StreamState*>(response->streamHandle);
  std::memset(response, 0, sizeof(*response));
}

// ---- External replies -------------------------------------------------------------------

struct ExternalState {
  std::vector<std::string> texts;  // header names and values
  std::vector<HostHeader> headers;
  std::string body;
};

}  // namespace

Clock SteadyClock() {
  return [] {
    using Seconds = std::chrono::duration<double>;
    return std::chrono::duration_cast<Seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
  };
}

HostCore::HostCore(Clock clock) : clock_(clock ? std::move(clock) : SteadyClock()) {
  table_.api = PluginHostApi{&OnSendLocalRequest, &OnSendExternalRequest, &OnPublishEvent,
                             &OnSubscribeEvent,   &OnUnsubscribeEvent,    &OnScheduleCallback,
                             &OnRunPendingWork,   &OnBeginWait,           &OnEndWait,
                             &OnWriteLog};
  table_.owner = this;
}

HostCore::~HostCore() = default;

HostCore& HostCore::From(const PluginHostApi* api) {
  // The table is the first member of Table, so the table pointer leads back to its owner.
  return *reinterpret_cast<const Table*>(api)->owner;
}

// ---- Local requests ---------------------------------------------------------------------

void HostCore::SetLocalPeer(std::string route, LocalPeer peer) {
  std::lock_guard lock(mutex_);
  peers_[std::move(route)] = std::move(peer);
}

void HostCore::RemoveLocalPeer(const std::string& route) {
  std::lock_guard lock(mutex_);
  peers_.erase(route);
}

void HostCore::SetFallbackPeer(LocalPeer peer) {
  std::lock_guard lock(mutex_);
  fallbackPeer_ = std::move(peer);
}

std::vector<LocalCall> HostCore::LocalCalls() const {
  std::lock_guard lock(mutex_);
  return Copy(localCalls_);
}

void HostCore::OnSendLocalRequest(const PluginHostApi* api, PluginLocalResponse* response,
                                  const PluginLocalRequest* request) {
  HostCore& self = From(api);
  {
    std::lock_guard lock(self.mutex_);
    ++self.counts_.sendLocalRequest;
  }
  if (response == nullptr) return;
  std::memset(response, 0, sizeof(*response));
  response->release = &ReleaseLocalResponse;
  if (request == nullptr) {
    response->errorText = "No request";
    response->status = 400;
    return;
  }
  self.AnswerLocal(*response, *request);
}

void HostCore::AnswerLocal(PluginLocalResponse& response, const PluginLocalRequest& request) {
  LocalCall call;
  call.method = request.method;
  call.path = CopyText(request.path);
  call.route = call.path.substr(0, call.path.find('?'));
  call.callerHandle = request.callerHandle;
  call.contentType = CopyText(request.contentType);
  if (request.body != nullptr && request.bodyLength > 0) {
    call.body.assign(static_cast<const char*>(request.body), request.bodyLength);
  }
  if (request.headers != nullptr) {
    for (uint32_t i = 0; i < request.headerCount; ++i) {
      call.headers.emplace_back(CopyText(request.headers[i].name),
                                CopyText(request.headers[i].value));
    }
  }
  std::optional<std::string> argumentError;
  if (request.arguments != nullptr) {
    for (uint32_t i = 0; i < request.argumentCount; ++i) {
      const HostArgument& argument = request.arguments[i];
      call.argumentNames.push_back(
          argument.name != nullptr ? std::optional<std::string>(argument.name) : std::nullopt);
      auto value = ReadHostValue(argument.value, argument.name ? argument.name : "<argument>");
      if (!value.Succeeded() && !argumentError) argumentError = std::string(value.ErrorMessage());
      call.arguments.push_back(value.Succeeded() ? std::move(value).Value() : BindingProperty());
    }
  }

  LocalPeer peer;
  {
    std::lock_guard lock(mutex_);
    if (recordLimit_ > 0) Record(localCalls_, call, recordLimit_);
    auto found = peers_.find(call.route);
    if (found != peers_.end()) {
      peer = found->second;
    } else {
      peer = fallbackPeer_;
    }
  }

  LocalReply reply;
  if (argumentError) {
    reply = LocalReply::Error(400, *argumentError);
  } else if (peer) {
    reply = peer(call);
  } else {
    reply = LocalReply::Error(
        404, "No endpoint for " + std::string(MethodText(call.method)) + " " + call.path);
  }

  response.status = reply.status;
  response.statusText = DuplicateText("");
  if (reply.error) {
    response.errorText = DuplicateText(*reply.error);
    response.errorTextOwned = 1;
    return;
  }
  if (reply.stream) {
    auto* state = new StreamState{std::move(*reply.stream)};
    response.streamRead = &ReadStream;
    response.streamClose = &CloseStream;
    response.streamLengthHint = reply.streamLengthHint;
    response.streamHandle = state;
    return;
  }
  auto written = WriteHostValue(reply.body, response.body);
  if (!written.Succeeded()) {
    response.errorText = DuplicateText(written.ErrorMessage());
    response.errorTextOwned = 1;
    response.status = 500;
  }
}

// ---- External requests ------------------------------------------------------------------

void HostCore::SetExternalResponder(ExternalResponder responder) {
  std::lock_guard lock(mutex_);
  externalResponder_ = std::move(responder);
}

std::vector<ExternalCall> HostCore::ExternalCalls() const {
  std::lock_guard lock(mutex_);
  return Copy(externalCalls_);
}

void HostCore::OnSendExternalRequest(const PluginHostApi* api, PluginExternalResponse* response,
                                     const PluginExternalRequest* request) {
  HostCore& self = From(api);
  {
    std::lock_guard lock(self.mutex_);
    ++self.counts_.sendExternalRequest;
  }
  if (response == nullptr || request == nullptr) return;
  self.AnswerExternal(*response, *request);
}

namespace {

// The owned parts of an external response (header texts and body) live in one block, kept in
// a side table under the response record's address until its release function runs: the
// record itself has no word to carry it.
std::mutex externalStatesMutex;
std::map<const PluginExternalResponse*, std::unique_ptr<ExternalState>> externalStates;

void ReleaseExternalState(PluginExternalResponse* response) {
  std::unique_ptr<ExternalState> state;
  {
    std::lock_guard lock(externalStatesMutex);
    auto found = externalStates.find(response);
    if (found != externalStates.end()) {
      state = std::move(found->second);
      externalStates.erase(found);
    }
  }
  if (response != nullptr) std::memset(response, 0, sizeof(*response));
}

}  // namespace

void HostCore::AnswerExternal(PluginExternalResponse& response,
                              const PluginExternalRequest& request) {
  ExternalCall call;
  call.method = request.method;
  call.url = CopyText(request.url);
  call.timeLimit = request.timeLimit;
  call.flags = request.flags;
  if (request.headers != nullptr) {
    for (uint32_t i = 0; i < request.headerCount; ++i) {
      call.headers.emplace_back(CopyText(request.headers[i].name),
                                CopyText(request.headers[i].value));
    }
  }
  if (request.body != nullptr && request.bodyLength > 0) {
    call.body.assign(static_cast<const char*>(request.body), request.bodyLength);
  }

  ExternalResponder responder;
  {
    std::lock_guard lock(mutex_);
    if (recordLimit_ > 0) Record(externalCalls_, call, recordLimit_);
    responder = externalResponder_;
  }
  ExternalReply reply;
  if (responder) {
    reply = responder(call);
  } else {
    reply.connectionCode = 1;
    reply.status = 0;
    reply.body = "No external responder";
  }

  auto state = std::make_unique<ExternalState>();
  state->texts.reserve(reply.headers.size() * 2);
  for (auto& [name, value] : reply.headers) {
    state->texts.push_back(std::move(name));
    state->texts.push_back(std::move(value));
  }
  for (size_t i = 0; i + 1 < state->texts.size(); i += 2) {
    state->headers.push_back(HostHeader{state->texts[i].c_str(), state->texts[i + 1].c_str()});
  }
  state->body = std::move(reply.body);

  std::memset(&response, 0, sizeof(response));
  response.connectionCode = reply.connectionCode;
  response.status = reply.status;
  response.headers = state->headers.empty() ? nullptr : state->headers.data();
  response.headerCount = static_cast<uint32_t>(state->headers.size());
  response.body = state->body.empty() ? nullptr : state->body.data();
  response.bodyLength = static_cast<uint32_t>(state->body.size());
  response.release = &ReleaseExternalState;
  std::lock_guard lock(externalStatesMutex);
  externalStates[&response] = std::move(state);
}

// ---- Events -----------------------------------------------------------------------------

size_t HostCore::DeliverEvent(const std::string& name, const BindingProperty& payload) {
  std::vector<Subscription> targets;
  {
    std::lock_guard lock(mutex_);
    for (const Subscription& subscription : subscriptions_) {
      if (subscription.name == name) targets.push_back(subscription);
    }
  }
  size_t delivered = 0;
  for (const Subscription& target : targets) {
    // A subscriber removed by an earlier callback of this delivery is skipped.
    {
      std::lock_guard lock(mutex_);
      auto still =
          std::find_if(subscriptions_.begin(), subscriptions_.end(), [&](const Subscription& s) {
            return s.name == name && s.pluginHandle == target.pluginHandle &&
                   s.callback == target.callback;
          });
      if (still == subscriptions_.end()) continue;
    }
    PluginEvent event{};
    event.name = name.c_str();
    event.context = target.context;
    if (!WriteHostValue(payload, event.payload).Succeeded()) continue;
    target.callback(&event);
    FreeHostValue(event.payload);
    ++delivered;
  }
  return delivered;
}

void HostCore::PostEvent(std::string name, BindingProperty payload) {
  auto shared = std::make_shared<BindingProperty>(std::move(payload));
  Post([this, name = std::move(name), shared] { DeliverEvent(name, *shared); });
}

std::vector<Subscription> HostCore::Subscriptions() const {
  std::lock_guard lock(mutex_);
  return subscriptions_;
}

bool HostCore::IsSubscribed(const std::string& name) const {
  std::lock_guard lock(mutex_);
  return std::any_of(subscriptions_.begin(), subscriptions_.end(),
                     [&](const Subscription& s) { return s.name == name; });
}

std::vector<PublishedEvent> HostCore::PublishedEvents() const {
  std::lock_guard lock(mutex_);
  return Copy(published_);
}

void HostCore::OnPublishEvent(const PluginHostApi* api, const PluginEvent* event) {
  HostCore& self = From(api);
  {
    std::lock_guard lock(self.mutex_);
    ++self.counts_.publishEvent;
  }
  if (event == nullptr || event->name == nullptr) return;
  auto payload = ReadHostValue(event->payload, "<payload>");
  BindingProperty value = payload.Succeeded() ? std::move(payload).Value() : BindingProperty();
  {
    std::lock_guard lock(self.mutex_);
    if (self.recordLimit_ > 0) {
      Record(self.published_, PublishedEvent{event->name, value}, self.recordLimit_);
    }
  }
  self.PostEvent(event->name, std::move(value));
}

void HostCore::OnSubscribeEvent(const PluginHostApi* api, const char* name, uintptr_t pluginHandle,
                                PluginEventCallback callback, void* context, uint32_t flags) {
  HostCore& self = From(api);
  std::lock_guard lock(self.mutex_);
  ++self.counts_.subscribeEvent;
  if (name == nullptr || callback == nullptr) return;
  // One subscription per name and plug-in: a second one replaces the first.
  for (Subscription& subscription : self.subscriptions_) {
    if (subscription.name == name && subscription.pluginHandle == pluginHandle) {
      subscription.callback = callback;
      subscription.context = context;
      subscription.flags = flags;
      return;
    }
  }
  self.subscriptions_.push_back(Subscription{name, pluginHandle, callback, context, flags});
}

void HostCore::OnUnsubscribeEvent(const PluginHostApi* api, const char* name,
                                  uintptr_t pluginHandle) {
  HostCore& self = From(api);
  std::lock_guard lock(self.mutex_);
  ++self.counts_.unsubscribeEvent;
  if (name == nullptr) return;
  std::erase_if(self.subscriptions_, [&](const Subscription& s) {
    return s.name == name && s.pluginHandle == pluginHandle;
  });
}

// ---- Work -------------------------------------------------------------------------------

void HostCore::Post(std::function<void()> work) {
  std::lock_guard lock(mutex_);
  work_.push_back(std::move(work));
}

size_t HostCore::RunPendingWork() {
  std::deque<std::function<void()>> batch;
  std::vector<Timer> due;
  uint64_t generation = 0;
  {
    std::lock_guard lock(mutex_);
    generation = timerGeneration_;
    batch.swap(work_);
    const double now = clock_();
    auto split = std::stable_partition(timers_.begin(), timers_.end(),
                                       [now](const Timer& t) { return t.due > now; });
    due.assign(split, timers_.end());
    timers_.erase(split, timers_.end());
  }
  std::sort(due.begin(), due.end(), [](const Timer& a, const Timer& b) {
    return a.due != b.due ? a.due < b.due : a.order < b.order;
  });
  for (auto& work : batch)
    work();
  size_t ran = batch.size();
  for (const Timer& timer : due) {
    {
      // A plug-in shut down by the work or by an earlier callback of this pass: its timers
      // taken here are dropped too.
      std::lock_guard lock(mutex_);
      if (timerGeneration_ != generation) break;
    }
    timer.callback(timer.context);
    ++ran;
  }
  return ran;
}

size_t HostCore::Drain(size_t maxPasses) {
  size_t total = 0;
  for (size_t pass = 0; pass < maxPasses; ++pass) {
    const size_t ran = RunPendingWork();
    if (ran == 0) break;
    total += ran;
  }
  return total;
}

size_t HostCore::PendingScheduled() const {
  std::lock_guard lock(mutex_);
  return timers_.size();
}

size_t HostCore::DropScheduled() {
  std::lock_guard lock(mutex_);
  const size_t pending = timers_.size();
  timers_.clear();
  ++timerGeneration_;
  return pending;
}

std::vector<ScheduledRequest> HostCore::ScheduledRequests() const {
  std::lock_guard lock(mutex_);
  return Copy(scheduled_);
}

void HostCore::SetPendingWorkHook(std::function<void()> hook) {
  std::lock_guard lock(mutex_);
  pendingWorkHook_ = std::move(hook);
}

void HostCore::OnScheduleCallback(const PluginHostApi* api, const char* label,
                                  PluginScheduledCallback callback, void* context,
                                  double delaySeconds, uint32_t /*reserved*/) {
  HostCore& self = From(api);
  std::lock_guard lock(self.mutex_);
  ++self.counts_.scheduleCallback;
  Record(self.scheduled_, ScheduledRequest{CopyText(label), delaySeconds}, self.recordLimit_);
  if (callback == nullptr) return;
  // NaN and negative delays run at the next pass.
  const double delay = delaySeconds > 0 ? delaySeconds : 0;
  self.timers_.push_back(Timer{self.clock_() + delay, self.timerOrder_++, callback, context});
}

void HostCore::OnRunPendingWork(const PluginHostApi* api) {
  HostCore& self = From(api);
  std::function<void()> hook;
  {
    std::lock_guard lock(self.mutex_);
    ++self.counts_.runPendingWork;
    hook = self.pendingWorkHook_;
  }
  if (hook) hook();
  self.RunPendingWork();
}

// ---- Waits and log ----------------------------------------------------------------------

void HostCore::OnBeginWait(const PluginHostApi* api, const char* label, uint32_t /*reserved*/) {
  HostCore& self = From(api);
  std::lock_guard lock(self.mutex_);
  ++self.counts_.beginWait;
  ++self.waitDepth_;
  Record(self.waitMarks_, WaitMark{true, CopyText(label)}, self.recordLimit_);
}

void HostCore::OnEndWait(const PluginHostApi* api) {
  HostCore& self = From(api);
  std::lock_guard lock(self.mutex_);
  ++self.counts_.endWait;
  if (self.waitDepth_ > 0) --self.waitDepth_;
  Record(self.waitMarks_, WaitMark{false, {}}, self.recordLimit_);
}

std::vector<WaitMark> HostCore::WaitMarks() const {
  std::lock_guard lock(mutex_);
  return Copy(waitMarks_);
}

int HostCore::WaitDepth() const {
  std::lock_guard lock(mutex_);
  return waitDepth_;
}

void HostCore::SetLogSink(std::function<void(uint32_t, std::string_view)> sink) {
  std::lock_guard lock(mutex_);
  logSink_ = std::move(sink);
}

std::vector<LogLine> HostCore::LogLines() const {
  std::lock_guard lock(mutex_);
  return Copy(logLines_);
}

void HostCore::OnWriteLog(const PluginHostApi* api, uint32_t level, const char* message) {
  HostCore& self = From(api);
  std::function<void(uint32_t, std::string_view)> sink;
  std::string text = CopyText(message);
  {
    std::lock_guard lock(self.mutex_);
    ++self.counts_.writeLog;
    Record(self.logLines_, LogLine{level, text}, self.recordLimit_);
    sink = self.logSink_;
  }
  if (sink) sink(level, text);
}

HostCallCounts HostCore::Counts() const {
  std::lock_guard lock(mutex_);
  return counts_;
}

void HostCore::SetRecordLimit(size_t limit) {
  std::lock_guard lock(mutex_);
  recordLimit_ = limit;
  Trim(localCalls_, limit);
  Trim(externalCalls_, limit);
  Trim(published_, limit);
  Trim(scheduled_, limit);
  Trim(waitMarks_, limit);
  Trim(logLines_, limit);
}

}  // namespace qor::host
