#include "host/http/http_front.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

#include "host/http/access.h"
#include "host/json_value.h"

namespace qor::host {

std::optional<std::string_view> HttpRequest::Header(std::string_view name) const {
  for (const auto& [key, value] : headers) {
    if (key == name) return std::string_view(value);
  }
  return std::nullopt;
}

std::string_view HttpRequest::Path() const {
  std::string_view target = this->target;
  return target.substr(0, target.find('?'));
}

std::string_view HttpRequest::Query() const {
  const size_t mark = target.find('?');
  return mark == std::string::npos ? std::string_view() : std::string_view(target).substr(mark + 1);
}

HttpResponse HttpResponse::Json(unsigned status, std::string body) {
  HttpResponse response;
  response.status = status;
  response.body = std::move(body);
  return response;
}

HttpResponse HttpResponse::NoContent() {
  HttpResponse response;
  response.status = 204;
  response.contentType.clear();
  return response;
}

HttpResponse HttpResponse::Error(unsigned status, std::string_view message) {
  return Json(status, "{\"httpStatus\":" + std::to_string(status) +
                          ",\"message\":" + JsonQuote(message) + "}");
}

// The connections the front serves, for the head deadline and the share of the unproven ones
// (see the top of http_front.h). A watchdog thread closes the connections past their limits.
class ConnectionGuard {
 public:
  using Clock = std::chrono::steady_clock;
  struct Connection {
    int fd = -1;
    std::string peer;  // the client's address, written once when it connects
    Clock::time_point opened;
    Clock::time_point headStart;  // when the deadline of the current head started
    bool headDone = false;        // the current request's head has been read
    bool counted = true;          // among the unproven ones: none of its requests passed the
                                  // gate, and the guard has not closed it
  };

  ConnectionGuard() : watchdog_([this] { Watch(); }) {}
  ~ConnectionGuard() {
    {
      std::lock_guard lock(mutex_);
      stopping_ = true;
    }
    wake_.notify_all();
    watchdog_.join();
  }
  ConnectionGuard(const ConnectionGuard&) = delete;
  ConnectionGuard& operator=(const ConnectionGuard&) = delete;

  Connection* Opened(int fd, std::string peer) {
    auto* connection = new Connection;
    connection->fd = fd;
    connection->peer = std::move(peer);
    connection->opened = connection->headStart = Clock::now();
    std::lock_guard lock(mutex_);
    connections_.push_back(connection);
    ++unproven_;
    TrimUnproven(connection->opened);
    return connection;
  }
  void Closed(Connection* connection) {
    std::lock_guard lock(mutex_);
    Forget(*connection);
    connections_.erase(std::find(connections_.begin(), connections_.end(), connection));
    delete connection;
  }
  void HeadRead(Connection* connection) {
    std::lock_guard lock(mutex_);
    connection->headDone = true;
  }
  void Admitted(Connection* connection) {
    std::lock_guard lock(mutex_);
    Forget(*connection);
  }
  // The answer is sent: the next head's deadline starts.
  void Answered(Connection* connection) {
    std::lock_guard lock(mutex_);
    connection->headDone = false;
    connection->headStart = Clock::now();
  }

 private:
  void Forget(Connection& connection) {
    if (connection.counted) --unproven_;
    connection.counted = false;
  }

  // Answers and closes a connection that is still sending its head (libmicrohttpd writes
  // nothing to it meanwhile). Its thread then reads the end of the stream and closes it; the
  // socket stays open until then, since the close is reported to Closed() first.
  void Drop(Connection& connection, std::string_view reply) {
    (void)!send(connection.fd, reply.data(), reply.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    shutdown(connection.fd, SHUT_RDWR);
    Forget(connection);
  }

  // An unproven connection still sending its head.
  static bool Droppable(const Connection& connection) {
    return connection.counted && !connection.headDone;
  }

  // Closes the oldest unproven connections still sending their heads while there are more
  // unproven connections than their share.
  void TrimUnproven(Clock::time_point now) {
    static constexpr std::string_view kBusy =
        "HTTP/1.1 503 Service Unavailable\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    for (Connection* connection : connections_) {
      if (unproven_ <= kMaxUnprovenConnections) return;
      if (Droppable(*connection) &&
          now - connection->opened >= std::chrono::milliseconds(kUnprovenGraceMillis)) {
        Drop(*connection, kBusy);
      }
    }
  }

  void Watch() {
    static constexpr std::string_view kTimeout =
        "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    std::unique_lock lock(mutex_);
    while (!stopping_) {
      wake_.wait_for(lock, std::chrono::milliseconds(100));
      const Clock::time_point now = Clock::now();
      for (Connection* connection : connections_) {
        if (Droppable(*connection) &&
            now - connection->headStart > std::chrono::seconds(kHeadDeadlineSeconds)) {
          Drop(*connection, kTimeout);
        }
      }
      TrimUnproven(now);
    }
  }

  std::mutex mutex_;
  std::condition_variable wake_;
  std::vector<Connection*> connections_;  // oldest first
  unsigned unproven_ = 0;
  bool stopping_ = false;
  std::thread watchdog_;
};

namespace {

// Everything kept for one request, from its first line to the end of its answer.
struct RequestState {
  HttpRequest request;
  const char* rawTarget = nullptr;  // where libmicrohttpd holds the target, NUL cut
  bool started = false;
  bool tooLarge = false;
  size_t received = 0;                  // body bytes, kept or dropped
  std::optional<HttpResponse> refusal;  // a gate's refusal waiting for its delay
  bool refused = false;                 // ... and queued
};

// A streamed reply's source and where it goes.
struct StreamedBody {
  std::shared_ptr<HttpBodySource> source;
  HttpFront* front;
  MHD_Connection* connection;
  int clientFd;
};

// A header as libmicrohttpd holds it: pointers into the head it has read, and lengths.
struct RawField {
  const char* name;
  size_t nameSize;
  const char* value;
  size_t valueSize;
};

MHD_Result CollectRaw(void* cls, MHD_ValueKind /*kind*/, const char* key, size_t keySize,
                      const char* value, size_t valueSize) {
  if (key != nullptr) {
    static_cast<std::vector<RawField>*>(cls)->push_back(
        {key, keySize, value != nullptr ? value : "", value != nullptr ? valueSize : 0});
  }
  return MHD_YES;
}

// True when the value lies in the head after its name (an empty value may be a constant of
// the library's instead).
bool ValueInHead(const RawField& field) {
  return field.value > field.name &&
         static_cast<size_t>(field.value - field.name) <= kConnectionPoolBytes;
}

// The bytes of the header's line: its name, the colon and blanks, its value and CR LF.
size_t LineBytes(const RawField& field) {
  const size_t upToValue =
      ValueInHead(field) ? static_cast<size_t>(field.value - field.name) : field.nameSize + 1;
  return upToValue + field.valueSize + 2;
}

// libmicrohttpd 0.9.75 parses the head in place and ends each text at its first NUL without
// saying so. The bytes it cut off are still there: a value's text ends at its line's end (a NUL
// where the CR or LF was, after any trailing blanks) or right before the next header's name
// (lines ended by a bare LF); anything else after the NUL is the rest of a value cut by a NUL.
bool ValueWasCut(const RawField& field, const char* nextName) {
  if (!ValueInHead(field)) return false;
  const char* after = field.value + field.valueSize + 1;
  if (after == nextName) return false;
  while (*after == ' ' || *after == '\t')
    ++after;
  return !(*after == '\0' || *after == '\r' || *after == '\n' || after == nextName);
}

HttpResponse Refusal(unsigned status, std::string_view message) {
  HttpResponse response = HttpResponse::Error(status, message);
  response.headers.emplace_back("Connection", "close");
  return response;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
  return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
           return LowerAscii(x) == LowerAscii(y);
         });
}

// The refusal of a head that is too large or framed ambiguously, or nothing. `version` is
// libmicrohttpd's, which lies in its buffer right after the target.
std::optional<HttpResponse> CheckHead(const RequestState& state, const char* version,
                                      const std::vector<RawField>& fields) {
  const HttpRequest& request = state.request;
  // The target's length as sent, NUL bytes included: up to the blank before the version.
  size_t targetBytes = request.target.size();
  if (state.rawTarget != nullptr && version != nullptr && version > state.rawTarget &&
      static_cast<size_t>(version - state.rawTarget) <= kConnectionPoolBytes) {
    targetBytes = static_cast<size_t>(version - state.rawTarget) - 1;
  }
  if (targetBytes > kMaxHeaderBytes) {
    return Refusal(414, "The request target is longer than 32 KiB");
  }
  // The request line, the header lines and the blank line.
  size_t headBytes = request.method.size() + targetBytes + std::strlen(version) + 4 + 2;
  for (const RawField& field : fields)
    headBytes += LineBytes(field);
  if (headBytes > kMaxHeaderBytes) {
    return Refusal(431, "The request line and headers are larger than 32 KiB");
  }
  if (fields.size() > kMaxHeaderFields) {
    return Refusal(431, "The request has more than 1000 header fields");
  }
  if (targetBytes != request.target.size()) {
    return Refusal(400, "Bad request: the target holds a NUL byte");
  }
  int lengths = 0;
  int hosts = 0;
  std::optional<std::string_view> coding;
  for (size_t i = 0; i < fields.size(); ++i) {
    const RawField& field = fields[i];
    if (ValueWasCut(field, i + 1 < fields.size() ? fields[i + 1].name : nullptr)) {
      return Refusal(400, "Bad request: a header holds a NUL byte");
    }
    const std::string_view name(field.name, field.nameSize);
    if (EqualsNoCase(name, "content-length")) ++lengths;
    if (EqualsNoCase(name, "host")) ++hosts;
    if (EqualsNoCase(name, "transfer-encoding")) {
      if (coding) return Refusal(400, "Bad request: several Transfer-Encoding headers");
      coding = std::string_view(field.value, field.valueSize);
    }
  }
  if (lengths > 1) return Refusal(400, "Bad request: several Content-Length headers");
  if (hosts > 1) return Refusal(400, "Bad request: several Host headers");
  if (coding && lengths > 0) {
    return Refusal(400, "Bad request: both Content-Length and Transfer-Encoding");
  }
  if (coding && !EqualsNoCase(*coding, "chunked")) {
    return Refusal(501, "Transfer coding not implemented; only chunked is accepted");
  }
  return std::nullopt;
}

std::string PeerAddress(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CLIENT_ADDRESS);
  if (info == nullptr || info->client_addr == nullptr) return "";
  char text[INET6_ADDRSTRLEN] = {};
  if (info->client_addr->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(info->client_addr)->sin_addr, text,
              sizeof(text));
  } else if (info->client_addr->sa_family == AF_INET6) {
    inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(info->client_addr)->sin6_addr, text,
              sizeof(text));
  }
  return text;
}

ConnectionGuard::Connection* GuardedConnection(MHD_Connection* connection) {
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_SOCKET_CONTEXT);
  return info != nullptr ? static_cast<ConnectionGuard::Connection*>(info->socket_context)
                         : nullptr;
}

// Requests whose body reached this size give their memory back to the system when done.
constexpr size_t kTrimAfterBytes = 1u << 20;

MHD_Result CollectHeader(void* cls, MHD_ValueKind /*kind*/, const char* key, const char* value) {
  auto* headers = static_cast<HttpHeaders*>(cls);
  if (key != nullptr) headers->emplace_back(LowerAscii(key), value != nullptr ? value : "");
  return MHD_YES;
}

void ReleaseSource(void* cls) {
  delete static_cast<StreamedBody*>(cls);
}

ssize_t ReadSource(void* cls, uint64_t position, char* buffer, size_t capacity);

MHD_Response* CreateResponse(HttpFront* front, MHD_Connection* connection,
                             const HttpResponse& answer) {
  if (!answer.source) {
    return MHD_create_response_from_buffer(
        answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
  }
  const MHD_ConnectionInfo* info =
      MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
  const int clientFd = info != nullptr ? info->connect_fd : -1;
  if (clientFd >= 0) answer.source->WatchClient(clientFd);
  auto* body = new StreamedBody{answer.source, front, connection, clientFd};
  MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024,
                                                             &ReadSource, body, &ReleaseSource);
  if (response == nullptr) delete body;
  return response;
}

MHD_Result Queue(HttpFront* front, MHD_Connection* connection, const HttpResponse& answer) {
  MHD_Response* response = CreateResponse(front, connection, answer);
  if (response == nullptr) return MHD_NO;
  if (!answer.contentType.empty()) {
    MHD_add_response_header(response, MHD_HTTP_HEADER_CONTENT_TYPE, answer.contentType.c_str());
  }
  for (const auto& [name, value] : answer.headers) {
    MHD_add_response_header(response, name.c_str(), value.c_str());
  }
  const MHD_Result queued = MHD_queue_response(connection, answer.status, response);
  MHD_destroy_response(response);
  return queued;
}

// A Content-Length above the limit (or one that does not parse).
// The body length a request's Content-Length declares, saturated past what could ever be
// drained; nothing for a body without one.
std::optional<uint64_t> DeclaredLength(const HttpRequest& request) {
  std::optional<std::string_view> length = request.Header("content-length");
  if (!length) return std::nullopt;
  uint64_t value = 0;
  for (char c : *length) {
    if (c < '0' || c > '9') return std::nullopt;  // libmicrohttpd refuses it itself
    value = std::min<uint64_t>(value * 10 + static_cast<uint64_t>(c - '0'), UINT32_MAX);
  }
  return value;
}

HttpResponse TooLarge() {
  return Refusal(413, "The request body is larger than 8 MiB");
}

bool ExpectsContinue(const HttpRequest& request) {
  std::optional<std::string_view> expect = request.Header("expect");
  return expect && EqualsNoCase(*expect, "100-continue");
}

}  // namespace

struct HttpFrontAccess {
  // The next bytes of a streamed reply. With threads the source may wait for them; in the
  // caller's loop it may not, and a stream with nothing to send is put aside until its source
  // is ready, its client hangs up or a second has passed (to let it send its keep-alive).
  static ssize_t ReadSource(StreamedBody& body, char* buffer, size_t capacity) {
    HttpFront& front = *body.front;
    std::optional<size_t> read = body.source->Read(buffer, capacity, !front.callerLoop_);
    if (!read || (*read == 0 && !front.callerLoop_)) return MHD_CONTENT_READER_END_OF_STREAM;
    if (*read == 0) {
      front.PutAside(body.connection, body.source->ReadyFd(), body.clientFd,
                     std::chrono::steady_clock::now() + std::chrono::seconds(1));
    }
    return static_cast<ssize_t>(*read);
  }

  // A refusal the gate wants answered after a delay: the connection's thread sleeps, or the
  // connection is put aside in the caller's loop and answered when it comes back.
  static MHD_Result Delay(HttpFront& front, MHD_Connection* connection, RequestState& state,
                          HttpResponse refusal) {
    if (!front.callerLoop_) {
      std::this_thread::sleep_for(refusal.delay);
      return Queue(&front, connection, refusal);
    }
    const auto until = std::chrono::steady_clock::now() + refusal.delay;
    state.refusal = std::move(refusal);
    front.PutAside(connection, -1, -1, until);
    return MHD_YES;
  }

  static void* OnUri(void* /*cls*/, const char* uri, MHD_Connection* /*connection*/) {
    auto* state = new RequestState;
    state->request.target = uri != nullptr ? uri : "";
    state->rawTarget = uri;
    // Handlers read the query from the target. libmicrohttpd 0.9.75 calls this after finding
    // the target's '?' and before parsing the query after it, in place, into one pool record
    // per argument. Ending the query right after the '?' (the target lies in the library's
    // own writable buffer) leaves it nothing to parse, so that a query of many short
    // arguments cannot exhaust the pool, where the library would close the connection
    // without an answer.
    if (uri != nullptr) {
      if (char* query = std::strchr(const_cast<char*>(uri), '?')) query[1] = '\0';
    }
    return state;
  }

  static void OnCompleted(void* cls, MHD_Connection* connection, void** context,
                          MHD_RequestTerminationCode /*code*/) {
    auto* state = static_cast<RequestState*>(*context);
    const bool large =
        state != nullptr && (state->tooLarge || state->request.body.capacity() >= kTrimAfterBytes);
    delete state;
    *context = nullptr;
    if (ConnectionGuard::Connection* guarded = GuardedConnection(connection)) {
      static_cast<HttpFront*>(cls)->guard_->Answered(guarded);
    }
    if (large) malloc_trim(0);
  }

  static void OnConnection(void* cls, MHD_Connection* connection, void** socketContext,
                           MHD_ConnectionNotificationCode code) {
    ConnectionGuard& guard = *static_cast<HttpFront*>(cls)->guard_;
    if (code == MHD_CONNECTION_NOTIFY_STARTED) {
      const MHD_ConnectionInfo* info =
          MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
      *socketContext =
          info != nullptr ? guard.Opened(info->connect_fd, PeerAddress(connection)) : nullptr;
    } else if (*socketContext != nullptr) {
      guard.Closed(static_cast<ConnectionGuard::Connection*>(*socketContext));
      *socketContext = nullptr;
    }
  }

  static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url,
                              const char* method, const char* version, const char* uploadData,
                              size_t* uploadSize, void** context) {
    auto* front = static_cast<HttpFront*>(cls);
    auto* state = static_cast<RequestState*>(*context);
    if (state == nullptr) {  // no URI callback ran: keep what libmicrohttpd gives
      state = static_cast<RequestState*>(OnUri(nullptr, url, connection));
      *context = state;
    }
    if (state->refusal) {  // back after the delay; a body sent meanwhile is dropped
      *uploadSize = 0;
      if (state->refused) return MHD_YES;
      state->refused = true;
      return Queue(front, connection, *state->refusal);
    }
    HttpRequest& request = state->request;
    if (!state->started) {
      state->started = true;
      ConnectionGuard::Connection* guarded = GuardedConnection(connection);
      if (guarded != nullptr) front->guard_->HeadRead(guarded);
      request.method = method != nullptr ? method : "";
      request.peer = guarded != nullptr ? guarded->peer : PeerAddress(connection);
      std::vector<RawField> fields;
      fields.reserve(16);
      MHD_get_connection_values_n(connection, MHD_HEADER_KIND, &CollectRaw, &fields);
      if (std::optional<HttpResponse> refusal =
              CheckHead(*state, version != nullptr ? version : "", fields)) {
        return Queue(front, connection, *refusal);
      }
      if (request.method == "HEAD") request.method = "GET";
      request.headers.reserve(fields.size());
      MHD_get_connection_values(connection, MHD_HEADER_KIND, &CollectHeader, &request.headers);
      if (front->gate_) {
        if (std::optional<HttpResponse> refusal = front->gate_(request)) {
          if (refusal->delay.count() > 0) {
            return Delay(*front, connection, *state, std::move(*refusal));
          }
          return Queue(front, connection, *refusal);
        }
      }
      if (guarded != nullptr) front->guard_->Admitted(guarded);
      if (std::optional<uint64_t> declared = DeclaredLength(request);
          declared && *declared > kMaxBodyBytes) {
        if (ExpectsContinue(request) || *declared > kMaxBodyBytes + kMaxDrainBytes) {
          return Queue(front, connection, TooLarge());
        }
        state->tooLarge = true;  // read the body and drop it, then answer
      }
      return MHD_YES;
    }
    if (*uploadSize > 0) {
      const size_t size = *uploadSize;
      *uploadSize = 0;
      state->received += size;
      if (!state->tooLarge && state->received <= kMaxBodyBytes) {
        request.body.append(uploadData, size);
      } else if (!state->tooLarge) {
        state->tooLarge = true;
        std::string().swap(request.body);
      }
      if (state->received > kMaxBodyBytes + kMaxDrainBytes) {
        return Queue(front, connection, TooLarge());
      }
      return MHD_YES;
    }
    if (state->tooLarge) return Queue(front, connection, TooLarge());
    return Queue(front, connection, front->handler_(request));
  }
};

namespace {

ssize_t ReadSource(void* cls, uint64_t /*position*/, char* buffer, size_t capacity) {
  return HttpFrontAccess::ReadSource(*static_cast<StreamedBody*>(cls), buffer, capacity);
}

}  // namespace

struct HttpFront::Aside {
  MHD_Connection* connection;
  int fds[2];
  std::chrono::steady_clock::time_point until;
  bool ready = false;
};

HttpFront::HttpFront(HttpGate gate, HttpHandler handler)
    : gate_(std::move(gate)),
      handler_(std::move(handler)),
      guard_(std::make_unique<ConnectionGuard>()) {}

MaybeType<Failure, std::unique_ptr<HttpFront>> HttpFront::Start(const std::string& host,
                                                                uint16_t port, HttpGate gate,
                                                                HttpHandler handler,
                                                                HttpThreading threading) {
  std::unique_ptr<HttpFront> front(new HttpFront(std::move(gate), std::move(handler)));
  front->callerLoop_ = threading == HttpThreading::kCallerLoop;
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  const sockaddr* address = nullptr;
  unsigned flags = front->callerLoop_ ? MHD_USE_EPOLL | MHD_ALLOW_SUSPEND_RESUME | MHD_USE_ERROR_LOG
                                      : MHD_USE_INTERNAL_POLLING_THREAD |
                                            MHD_USE_THREAD_PER_CONNECTION | MHD_USE_ERROR_LOG;
  std::string literal = host == "localhost" ? "127.0.0.1" : host;
  if (literal.size() >= 2 && literal.front() == '[' && literal.back() == ']') {
    literal = literal.substr(1, literal.size() - 2);
  }
  if (inet_pton(AF_INET, literal.c_str(), &v4.sin_addr) == 1) {
    v4.sin_family = AF_INET;
    v4.sin_port = htons(port);
    address = reinterpret_cast<const sockaddr*>(&v4);
  } else if (inet_pton(AF_INET6, literal.c_str(), &v6.sin6_addr) == 1) {
    v6.sin6_family = AF_INET6;
    v6.sin6_port = htons(port);
    address = reinterpret_cast<const sockaddr*>(&v6);
    flags |= MHD_USE_IPv6;
  } else {
    return Failure(400, "Cannot listen on '" + host +
                            "': give an IP address (e.g. 127.0.0.1 or [::1]) or localhost");
  }
  front->daemon_ = MHD_start_daemon(
      flags, port, nullptr, nullptr, &HttpFrontAccess::OnRequest, front.get(), MHD_OPTION_SOCK_ADDR,
      address,                                                                    //
      MHD_OPTION_URI_LOG_CALLBACK, &HttpFrontAccess::OnUri, nullptr,              //
      MHD_OPTION_NOTIFY_COMPLETED, &HttpFrontAccess::OnCompleted, front.get(),    //
      MHD_OPTION_NOTIFY_CONNECTION, &HttpFrontAccess::OnConnection, front.get(),  //
      MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(kMaxConnections),        //
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(kMaxConnectionsPerAddress),
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(kIdleTimeoutSeconds),      //
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(kConnectionPoolBytes),  //
      MHD_OPTION_END);
  if (front->daemon_ == nullptr) {
    return Failure(
        500, "Cannot listen on " + host + ":" + std::to_string(port) + " (is the port in use?)");
  }
  const MHD_DaemonInfo* info = MHD_get_daemon_info(front->daemon_, MHD_DAEMON_INFO_BIND_PORT);
  front->port_ = info != nullptr && info->port != 0 ? info->port : port;
  if (front->callerLoop_) {
    // The loop waits on one set: libmicrohttpd's own epoll set, and the descriptors of the
    // connections put aside.
    const MHD_DaemonInfo* epoll = MHD_get_daemon_info(front->daemon_, MHD_DAEMON_INFO_EPOLL_FD);
    front->poll_ = epoll_create1(EPOLL_CLOEXEC);
    epoll_event event{};
    event.events = EPOLLIN;
    event.data.ptr = nullptr;
    if (epoll == nullptr || front->poll_ < 0 ||
        epoll_ctl(front->poll_, EPOLL_CTL_ADD, epoll->epoll_fd, &event) != 0) {
      return Failure(500, "Cannot poll the connections of " + host);
    }
  }
  return front;
}

HttpFront::~HttpFront() {
  Stop();
}

void HttpFront::Stop() {
  if (daemon_ != nullptr) {
    // libmicrohttpd stops only once no connection is suspended.
    for (std::unique_ptr<Aside>& aside : aside_)
      Resume(*aside);
    aside_.clear();
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
  }
  if (poll_ >= 0) {
    close(poll_);
    poll_ = -1;
  }
  guard_.reset();
}

void HttpFront::PutAside(MHD_Connection* connection, int fd1, int fd2,
                         std::chrono::steady_clock::time_point until) {
  MHD_suspend_connection(connection);
  auto aside = std::make_unique<Aside>(Aside{connection, {fd1, fd2}, until});
  // The first descriptor is a source's, readable when it has bytes; the second the client's
  // socket, watched for its hang-up only (a client may well send more while it listens).
  const uint32_t watched[2] = {EPOLLIN, EPOLLRDHUP};
  for (int i = 0; i < 2; ++i) {
    epoll_event event{};
    event.events = watched[i];
    event.data.ptr = aside.get();
    if (aside->fds[i] >= 0 && epoll_ctl(poll_, EPOLL_CTL_ADD, aside->fds[i], &event) != 0) {
      aside->fds[i] = -1;
    }
  }
  aside_.push_back(std::move(aside));
}

void HttpFront::Resume(Aside& aside) {
  for (int fd : aside.fds) {
    if (fd >= 0) epoll_ctl(poll_, EPOLL_CTL_DEL, fd, nullptr);
  }
  MHD_resume_connection(aside.connection);
}

void HttpFront::Run() {
  if (daemon_ == nullptr) return;
  if (!aside_.empty()) {
    epoll_event events[16];
    const int ready = epoll_wait(poll_, events, 16, 0);
    for (int i = 0; i < ready; ++i) {
      if (events[i].data.ptr != nullptr) static_cast<Aside*>(events[i].data.ptr)->ready = true;
    }
    const auto now = std::chrono::steady_clock::now();
    std::erase_if(aside_, [&](const std::unique_ptr<Aside>& aside) {
      if (!aside->ready && aside->until > now) return false;
      Resume(*aside);
      return true;
    });
  }
  MHD_run(daemon_);
}

int HttpFront::TimeoutMillis() const {
  int64_t millis = -1;
  MHD_UNSIGNED_LONG_LONG timeout = 0;
  if (daemon_ != nullptr && MHD_get_timeout(daemon_, &timeout) == MHD_YES) {
    millis = static_cast<int64_t>(std::min<MHD_UNSIGNED_LONG_LONG>(timeout, INT_MAX));
  }
  const auto now = std::chrono::steady_clock::now();
  for (const std::unique_ptr<Aside>& aside : aside_) {
    const int64_t left = std::max<int64_t>(
        0, std::chrono::ceil<std::chrono::milliseconds>(aside->until - now).count());
    millis = millis < 0 ? left : std::min(millis, left);
  }
  return static_cast<int>(millis);
}

}  // namespace qor::host
