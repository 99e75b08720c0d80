#include "host/http/http_front.h"

#include <arpa/inet.h>
#include <malloc.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>

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

  Connection* Opened(int fd) {
    auto* connection = new Connection;
    connection->fd = fd;
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
  size_t received = 0;  // body bytes, kept or dropped
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
           return std::tolower(static_cast<unsigned char>(x)) ==
                  std::tolower(static_cast<unsigned char>(y));
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

std::string Lower(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

MHD_Result CollectHeader(void* cls, MHD_ValueKind /*kind*/, const char* key, const char* value) {
  auto* headers = static_cast<HttpHeaders*>(cls);
  if (key != nullptr) headers->emplace_back(Lower(key), value != nullptr ? value : "");
  return MHD_YES;
}

ssize_t ReadSource(void* cls, uint64_t /*position*/, char* buffer, size_t capacity) {
  std::optional<size_t> read =
      (*static_cast<std::shared_ptr<HttpBodySource>*>(cls))->Read(buffer, capacity);
  if (!read || *read == 0) return MHD_CONTENT_READER_END_OF_STREAM;
  return static_cast<ssize_t>(*read);
}

void ReleaseSource(void* cls) {
  delete static_cast<std::shared_ptr<HttpBodySource>*>(cls);
}

MHD_Response* CreateResponse(const HttpResponse& answer) {
  if (!answer.source) {
    return MHD_create_response_from_buffer(
        answer.body.size(), const_cast<char*>(answer.body.data()), MHD_RESPMEM_MUST_COPY);
  }
  auto* source = new std::shared_ptr<HttpBodySource>(answer.source);
  MHD_Response* response = MHD_create_response_from_callback(MHD_SIZE_UNKNOWN, 16 * 1024,
                                                             &ReadSource, source, &ReleaseSource);
  if (response == nullptr) delete source;
  return response;
}

MHD_Result Queue(MHD_Connection* connection, const HttpResponse& answer) {
  if (answer.source) {
    const MHD_ConnectionInfo* info =
        MHD_get_connection_info(connection, MHD_CONNECTION_INFO_CONNECTION_FD);
    if (info != nullptr) answer.source->WatchClient(info->connect_fd);
  }
  MHD_Response* response = CreateResponse(answer);
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
      *socketContext = info != nullptr ? guard.Opened(info->connect_fd) : nullptr;
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
    HttpRequest& request = state->request;
    if (!state->started) {
      state->started = true;
      ConnectionGuard::Connection* guarded = GuardedConnection(connection);
      if (guarded != nullptr) front->guard_->HeadRead(guarded);
      request.method = method != nullptr ? method : "";
      request.peer = PeerAddress(connection);
      std::vector<RawField> fields;
      MHD_get_connection_values_n(connection, MHD_HEADER_KIND, &CollectRaw, &fields);
      if (std::optional<HttpResponse> refusal =
              CheckHead(*state, version != nullptr ? version : "", fields)) {
        return Queue(connection, *refusal);
      }
      if (request.method == "HEAD") request.method = "GET";
      MHD_get_connection_values(connection, MHD_HEADER_KIND, &CollectHeader, &request.headers);
      if (front->gate_) {
        if (std::optional<HttpResponse> refusal = front->gate_(request)) {
          return Queue(connection, *refusal);
        }
      }
      if (guarded != nullptr) front->guard_->Admitted(guarded);
      if (std::optional<uint64_t> declared = DeclaredLength(request);
          declared && *declared > kMaxBodyBytes) {
        if (ExpectsContinue(request) || *declared > kMaxBodyBytes + kMaxDrainBytes) {
          return Queue(connection, TooLarge());
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
      if (state->received > kMaxBodyBytes + kMaxDrainBytes) return Queue(connection, TooLarge());
      return MHD_YES;
    }
    if (state->tooLarge) return Queue(connection, TooLarge());
    return Queue(connection, front->handler_(request));
  }
};

HttpFront::HttpFront(HttpGate gate, HttpHandler handler)
    : gate_(std::move(gate)),
      handler_(std::move(handler)),
      guard_(std::make_unique<ConnectionGuard>()) {}

MaybeType<Failure, std::unique_ptr<HttpFront>> HttpFront::Start(const std::string& host,
                                                                uint16_t port, HttpGate gate,
                                                                HttpHandler handler) {
  std::unique_ptr<HttpFront> front(new HttpFront(std::move(gate), std::move(handler)));
  sockaddr_in v4{};
  sockaddr_in6 v6{};
  const sockaddr* address = nullptr;
  unsigned flags =
      MHD_USE_INTERNAL_POLLING_THREAD | MHD_USE_THREAD_PER_CONNECTION | MHD_USE_ERROR_LOG;
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
  return front;
}

HttpFront::~HttpFront() {
  Stop();
}

void HttpFront::Stop() {
  if (daemon_ != nullptr) {
    MHD_stop_daemon(daemon_);
    daemon_ = nullptr;
  }
  guard_.reset();
}

}  // namespace qor::host
