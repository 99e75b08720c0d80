// EventStream: the events the plug-in publishes, as Server-Sent Events to HTTP clients.
//
// Each client (GET "/dev/v1/events") gets a reply that stays open, typed
// "text/event-stream". It starts with the comment line ": connected"; then every event
// published after the client connected comes as two lines
//   id: N
//   data: {"name": "...", "payload": ...}
// followed by a blank line; N counts the events published since the stream was made, from 1.
// The latest events (at most `heldEvents`, `heldBytes` of frames) are held, so that a client
// that reconnects with "Last-Event-ID: N" first gets the held events after N (and the comment
// ": K events dropped" for those after N no longer held). A comment ": keep-alive" goes out
// whenever nothing else was sent for the keep-alive interval. A stream given its client's
// socket ends as soon as the client hangs up, so that its slot is free at once.
//
// Bounds: at most `maxClients` streams are open at once (the next one is answered 503). The
// events waiting for one client take at most `maxQueuedBytes`; when a client reads too slowly,
// its oldest waiting events are dropped and it gets the comment ": N events dropped" in
// their place. Frames are shared between the clients, so all the queues together hold about
// `maxQueuedBytes` of distinct events.
//
// Thread rule: Publish is meant for the host's work thread and never waits for a client; Open,
// Stop and ClientCount may be called from any thread; each client's stream is read on its
// connection's thread.
#pragma once

#include <chrono>
#include <cstddef>
#include <memory>
#include <optional>
#include <string_view>

#include "binding/property.h"
#include "host/http/http_front.h"

namespace qor::host {

struct EventStreamLimits {
  size_t maxClients = 8;
  size_t maxQueuedBytes = 4u << 20;  // per client
  std::chrono::milliseconds keepAlive{15000};
  size_t heldEvents = 256;
  size_t heldBytes = 1u << 20;
};

class EventStream {
 public:
  explicit EventStream(EventStreamLimits limits = {});
  // Stops the stream (see Stop).
  ~EventStream();
  EventStream(const EventStream&) = delete;
  EventStream& operator=(const EventStream&) = delete;

  // The answer to one stream request: 200 with a body that stays open until the client goes
  // or the stream stops; 503 when `maxClients` streams are open or the stream has stopped.
  // `lastEventId` is the request's Last-Event-ID header: when it is a number not above the
  // latest id, the held events after it come first; otherwise it is ignored.
  HttpResponse Open(std::optional<std::string_view> lastEventId = std::nullopt);

  // Queues the event for every open stream. An event whose payload cannot be written as JSON
  // reaches the clients as a comment line naming it and saying why.
  void Publish(std::string_view name, const BindingProperty& payload);

  // Ends every stream at once (its body ends after the bytes being written) and refuses new
  // ones. Idempotent. Call it before stopping the HTTP front: a stream waiting for events
  // would otherwise hold its connection until the next keep-alive.
  void Stop();

  // The streams open now.
  size_t ClientCount() const;

 private:
  class Client;
  struct State;
  std::shared_ptr<State> state_;
};

}  // namespace qor::host
