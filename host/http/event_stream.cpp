#include "host/http/event_stream.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
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
  bool stopped = false;          // guarded by mutex
  std::vector<Client*> clients;  // guarded by mutex
  std::atomic<size_t> clientCount{0};
  // The latest events, oldest first, for clients that reconnect. Guarded by mutex.
  uint64_t lastId = 0;
  std::deque<std::pair<uint64_t, Frame>> held;
  size_t heldBytes = 0;
};

class EventStream::Client final : public HttpBodySource {
 public:
  explicit Client(std::shared_ptr<State> state)
      : state_(std::move(state)),
        wake_(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)),
        current_(MakeFrame(Comment("connected"))),
        lastSent_(std::chrono::steady_clock::now()) {}

  ~Client() override {
    {
      std::lock_guard lock(state_->mutex);
      auto& clients = state_->clients;
      clients.erase(std::remove(clients.begin(), clients.end(), this), clients.end());
      state_->clientCount.store(clients.size());
    }
    if (wake_ >= 0) close(wake_);
  }

  bool CanWait() const { return wake_ >= 0; }
  void WatchClient(int socket) override { socket_.store(socket); }
  int ReadyFd() const override { return wake_; }

  // Whether the client has hung up, its stream about to end (never for one not watched).
  bool HungUp() const {
    pollfd watched{socket_.load(), POLLRDHUP, 0};
    return watched.fd >= 0 && poll(&watched, 1, 0) > 0;
  }

  // REQUIRES: state_->mutex held.
  void Enqueue(const Frame& frame) {
    const size_t limit = state_->limits.maxQueuedBytes;
    if (frame->size() > limit) {
      ++dropped_;
    } else {
      while (!queue_.empty() && queuedBytes_ + frame->size() > limit) {
        queuedBytes_ -= queue_.front()->size();
        queue_.pop_front();
        ++dropped_;
      }
      queue_.push_back(frame);
      queuedBytes_ += frame->size();
    }
    Wake();
  }

  // REQUIRES: state_->mutex held.
  void CountDropped(uint64_t count) { dropped_ += count; }

  void Wake() {
    const uint64_t one = 1;
    (void)!write(wake_, &one, sizeof(one));
  }

  std::optional<size_t> Read(char* buffer, size_t capacity, bool mayWait) override {
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
        // Nothing to send: wait (or only look, unless `mayWait`), unlocked, for an event,
        // the client hanging up or the keep-alive time.
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            lastSent_ + state_->limits.keepAlive - std::chrono::steady_clock::now());
        pollfd watched[2] = {{wake_, POLLIN, 0}, {socket_.load(), POLLRDHUP, 0}};
        lock.unlock();
        const int ready = poll(
            watched, 2,
            mayWait ? static_cast<int>(std::clamp<int64_t>(left.count() + 1, 0, 24 * 3600 * 1000))
                    : 0);
        uint64_t count = 0;
        if (watched[0].revents != 0) (void)!read(wake_, &count, sizeof(count));
        lock.lock();
        if (watched[1].revents != 0) return std::nullopt;  // the client has gone
        const bool due = std::chrono::steady_clock::now() >= lastSent_ + state_->limits.keepAlive;
        if (ready <= 0 && !due && !mayWait) return 0;
        current_ = ready > 0 || !due ? MakeFrame(std::string()) : state_->keepAlive;
      }
    }
  }

 private:
  const std::shared_ptr<State> state_;
  const int wake_;               // an eventfd, written when an event is queued or the stream stops
  std::atomic<int> socket_{-1};  // the client's connection, only polled for its hang-up
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

HttpResponse EventStream::Open(std::optional<std::string_view> lastEventId) {
  // Made before the lock is taken: a refused client is released after it, and its destructor
  // takes the lock.
  auto client = std::make_shared<Client>(state_);
  std::lock_guard lock(state_->mutex);
  if (state_->stopped) return HttpResponse::Error(503, "The host is stopping");
  // A client that has hung up holds its slot only until its connection thread has ended its
  // stream: it is not counted, so that a page reconnecting at once is not refused.
  const size_t open = static_cast<size_t>(std::count_if(
      state_->clients.begin(), state_->clients.end(), [](Client* c) { return !c->HungUp(); }));
  if (open >= state_->limits.maxClients) {
    return HttpResponse::Error(503, "Too many event streams are open (at most " +
                                        std::to_string(state_->limits.maxClients) +
                                        "); close one and retry");
  }
  if (!client->CanWait()) return HttpResponse::Error(503, "Cannot open an event stream now");
  state_->clients.push_back(client.get());
  state_->clientCount.store(state_->clients.size());

  uint64_t after = 0;
  const bool known = lastEventId && !lastEventId->empty() && lastEventId->size() < 20 &&
                     std::all_of(lastEventId->begin(), lastEventId->end(),
                                 [](char c) { return c >= '0' && c <= '9'; });
  for (char c : known ? *lastEventId : std::string_view())
    after = after * 10 + static_cast<uint64_t>(c - '0');
  if (known && after <= state_->lastId) {
    const uint64_t oldest = state_->held.empty() ? state_->lastId + 1 : state_->held.front().first;
    if (oldest > after + 1) client->CountDropped(oldest - after - 1);
    for (const auto& [id, frame] : state_->held) {
      if (id > after) client->Enqueue(frame);
    }
  }

  HttpResponse response;
  response.contentType = "text/event-stream";
  response.headers.emplace_back("Cache-Control", "no-cache");
  response.source = std::move(client);
  return response;
}

void EventStream::Publish(std::string_view name, const BindingProperty& payload) {
  MaybeType<Failure, std::string> json = PropertyToJson(payload);
  std::lock_guard lock(state_->mutex);
  Frame frame;
  if (json) {
    const uint64_t id = ++state_->lastId;
    frame = MakeFrame("id: " + std::to_string(id) + "\ndata: {\"name\":" + JsonQuote(name) +
                      ",\"payload\":" + *json + "}\n\n");
    auto& held = state_->held;
    if (frame->size() <= state_->limits.heldBytes && state_->limits.heldEvents > 0) {
      while (!held.empty() && (held.size() >= state_->limits.heldEvents ||
                               state_->heldBytes + frame->size() > state_->limits.heldBytes)) {
        state_->heldBytes -= held.front().second->size();
        held.pop_front();
      }
      held.emplace_back(id, frame);
      state_->heldBytes += frame->size();
    }
  } else {
    frame = MakeFrame(Comment("event " + JsonQuote(name) + " not sent: " + json.ErrorMessage()));
  }
  for (Client* client : state_->clients)
    client->Enqueue(frame);
}

void EventStream::Stop() {
  std::lock_guard lock(state_->mutex);
  state_->stopped = true;
  for (Client* client : state_->clients)
    client->Wake();
}

size_t EventStream::ClientCount() const {
  return state_->clientCount.load();
}

}  // namespace qor::host
