#include "host/http/event_stream.h"

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "host/json_value.h"

namespace qor::host {
namespace {

using Frame = std::shared_ptr<const std::string>;

Frame MakeFrame(std::string text) {
  return std::make_shared<const std::string>(std::move(text));
}

// A comment line: the text with its line breaks made blanks, so it stays one line.
std::string Comment(std::string_view text) {
  std::string line = ": ";
  for (char c : text)
    line += c == '\r' || c == '\n' ? ' ' : c;
  line += "\n\n";
  return line;
}

}  // namespace

// Shared by the EventStream and its clients, so that a client that outlives the EventStream
// (its reply not yet released by the front) still finds it.
struct EventStream::State {
  explicit State(EventStreamLimits limits) : limits(limits) {}

  const EventStreamLimits limits;
  const Frame keepAlive = MakeFrame(Comment("keep-alive"));
  std::mutex mutex;
  std::condition_variable signal;  // an event was queued, or the stream stopped
  bool stopped = false;            // guarded by mutex
  std::vector<Client*> clients;    // guarded by mutex
  std::atomic<size_t> clientCount{0};
};

class EventStream::Client final : public HttpBodySource {
 public:
  explicit Client(std::shared_ptr<State> state)
      : state_(std::move(state)),
        current_(MakeFrame(Comment("connected"))),
        lastSent_(std::chrono::steady_clock::now()) {}

  ~Client() override {
    std::lock_guard lock(state_->mutex);
    auto& clients = state_->clients;
    clients.erase(std::remove(clients.begin(), clients.end(), this), clients.end());
    state_->clientCount.store(clients.size());
  }

  // REQUIRES: state_->mutex held.
  void Enqueue(const Frame& frame) {
    const size_t limit = state_->limits.maxQueuedBytes;
    if (frame->size() > limit) {
      ++dropped_;
      return;
    }
    while (!queue_.empty() && queuedBytes_ + frame->size() > limit) {
      queuedBytes_ -= queue_.front()->size();
      queue_.pop_front();
      ++dropped_;
    }
    queue_.push_back(frame);
    queuedBytes_ += frame->size();
  }

  std::optional<size_t> Read(char* buffer, size_t capacity) override {
    std::unique_lock lock(state_->mutex);
    for (;;) {
      if (state_->stopped) return std::nullopt;
      if (offset_ < current_->size()) {
        const size_t count = std::min(capacity, current_->size() - offset_);
        std::memcpy(buffer, current_->data() + offset_, count);
        offset_ += count;
        lastSent_ = std::chrono::steady_clock::now();
        return count;
      }
      offset_ = 0;
      if (dropped_ > 0) {
        current_ = MakeFrame(Comment(std::to_string(dropped_) + " events dropped"));
        dropped_ = 0;
      } else if (!queue_.empty()) {
        current_ = std::move(queue_.front());
        queue_.pop_front();
        queuedBytes_ -= current_->size();
      } else {
        const bool woken = state_->signal.wait_until(
            lock, lastSent_ + state_->limits.keepAlive,
            [&] { return state_->stopped || dropped_ > 0 || !queue_.empty(); });
        current_ = woken ? MakeFrame(std::string()) : state_->keepAlive;
      }
    }
  }

 private:
  const std::shared_ptr<State> state_;
  // Guarded by state_->mutex.
  Frame current_;  // the frame being written, from byte offset_
  size_t offset_ = 0;
  std::deque<Frame> queue_;
  size_t queuedBytes_ = 0;
  uint64_t dropped_ = 0;
  std::chrono::steady_clock::time_point lastSent_;
};

EventStream::EventStream(EventStreamLimits limits) : state_(std::make_shared<State>(limits)) {}

EventStream::~EventStream() {
  Stop();
}

HttpResponse EventStream::Open() {
  std::lock_guard lock(state_->mutex);
  if (state_->stopped) return HttpResponse::Error(503, "The host is stopping");
  if (state_->clients.size() >= state_->limits.maxClients) {
    return HttpResponse::Error(503, "Too many event streams are open (at most " +
                                        std::to_string(state_->limits.maxClients) +
                                        "); close one and retry");
  }
  auto client = std::make_shared<Client>(state_);
  state_->clients.push_back(client.get());
  state_->clientCount.store(state_->clients.size());

  HttpResponse response;
  response.contentType = "text/event-stream";
  response.headers.emplace_back("Cache-Control", "no-cache");
  response.source = std::move(client);
  return response;
}

void EventStream::Publish(std::string_view name, const BindingProperty& payload) {
  if (state_->clientCount.load() == 0) return;
  MaybeType<Failure, std::string> json = PropertyToJson(payload);
  const Frame frame =
      MakeFrame(json ? "data: {\"name\":" + JsonQuote(name) + ",\"payload\":" + *json + "}\n\n"
                     : Comment("event " + JsonQuote(name) + " not sent: " + json.ErrorMessage()));
  {
    std::lock_guard lock(state_->mutex);
    for (Client* client : state_->clients)
      client->Enqueue(frame);
  }
  state_->signal.notify_all();
}

void EventStream::Stop() {
  {
    std::lock_guard lock(state_->mutex);
    state_->stopped = true;
  }
  state_->signal.notify_all();
}

size_t EventStream::ClientCount() const {
  return state_->clientCount.load();
}

}  // namespace qor::host
