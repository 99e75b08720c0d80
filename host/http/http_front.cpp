#include "host/http/http_front.h"

#include <arpa/inet.h>
#include <microhttpd.h>
#include <netinet/in.h>

#include <cctype>
#include <cstring>

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

namespace {

// Everything kept for one request, from its first line to the end of its answer.
struct RequestState {
  HttpRequest request;
  bool started = false;
  bool tooLarge = false;
};

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
bool DeclaresTooLarge(const HttpRequest& request) {
  std::optional<std::string_view> length = request.Header("content-length");
  if (!length) return false;
  uint64_t value = 0;
  for (char c : *length) {
    if (c < '0' || c > '9') return false;  // libmicrohttpd refuses it itself
    value = value * 10 + static_cast<uint64_t>(c - '0');
    if (value > kMaxBodyBytes) return true;
  }
  return false;
}

}  // namespace

struct HttpFrontAccess {
  static void* OnUri(void* /*cls*/, const char* uri, MHD_Connection* /*connection*/) {
    auto* state = new RequestState;
    state->request.target = uri != nullptr ? uri : "";
    return state;
  }

  static void OnCompleted(void* /*cls*/, MHD_Connection* /*connection*/, void** context,
                          MHD_RequestTerminationCode /*code*/) {
    delete static_cast<RequestState*>(*context);
    *context = nullptr;
  }

  static MHD_Result OnRequest(void* cls, MHD_Connection* connection, const char* url,
                              const char* method, const char* /*version*/, const char* uploadData,
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
      request.method = method != nullptr ? method : "";
      MHD_get_connection_values(connection, MHD_HEADER_KIND, &CollectHeader, &request.headers);
      if (front->gate_) {
        if (std::optional<HttpResponse> refusal = front->gate_(request)) {
          return Queue(connection, *refusal);
        }
      }
      if (DeclaresTooLarge(request)) {
        return Queue(connection, HttpResponse::Error(413, "The request body is larger than 8 MiB"));
      }
      return MHD_YES;
    }
    if (*uploadSize > 0) {
      if (!state->tooLarge && request.body.size() + *uploadSize <= kMaxBodyBytes) {
        request.body.append(uploadData, *uploadSize);
      } else if (!state->tooLarge) {
        state->tooLarge = true;
        std::string().swap(request.body);
      }
      *uploadSize = 0;
      return MHD_YES;
    }
    if (state->tooLarge) {
      return Queue(connection, HttpResponse::Error(413, "The request body is larger than 8 MiB"));
    }
    return Queue(connection, front->handler_(request));
  }
};

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
      address,                                                              //
      MHD_OPTION_URI_LOG_CALLBACK, &HttpFrontAccess::OnUri, nullptr,        //
      MHD_OPTION_NOTIFY_COMPLETED, &HttpFrontAccess::OnCompleted, nullptr,  //
      MHD_OPTION_CONNECTION_LIMIT, static_cast<unsigned>(kMaxConnections),  //
      MHD_OPTION_PER_IP_CONNECTION_LIMIT, static_cast<unsigned>(kMaxConnectionsPerAddress),
      MHD_OPTION_CONNECTION_TIMEOUT, static_cast<unsigned>(kIdleTimeoutSeconds),  //
      MHD_OPTION_CONNECTION_MEMORY_LIMIT, static_cast<size_t>(kMaxHeaderBytes),   //
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
}

}  // namespace qor::host
