// The HTTP side of the developer host, on libmicrohttpd.
//
// Two ways to run (HttpThreading):
//   - kThreadPerConnection: libmicrohttpd's threads serve the connections, one each;
//   - kCallerLoop: the caller's own loop serves every connection on its thread, waiting on
//     PollFd() and calling Run(). The gate and the handler then run on that thread, with no
//     hand-over per request; a reply that waits (a stream with nothing to send, a refusal
//     answered after a delay) puts its connection aside until it can go on.
// At most kMaxConnections connections, kMaxConnectionsPerAddress from one address; a
// connection idle for kIdleTimeoutSeconds is closed. Local clients all share the
// loopback address, so the per-address limit leaves room for a load generator's connections
// (the soak holds 32) and several more clients beside them.
//
// Every client is treated as hostile until one of its requests passes the gate:
//   - A request's line and headers must fit in kMaxHeaderBytes, counted on the bytes of the
//     head: a longer target is answered 414, a longer head 431, as is a head of more than
//     kMaxHeaderFields header lines. libmicrohttpd keeps the head and one record per header
//     in its per-connection pool (kConnectionPoolBytes), which holds a head at both limits;
//     it answers 431 or 414 itself to heads beyond the pool. The pool is cleared whole after
//     every request of a kept-alive connection, so its size is paid on each request: the
//     field limit is what keeps it small. The query is left to the handlers, unparsed, so
//     that any number of arguments within the byte limit is served.
//   - The head must arrive within kHeadDeadlineSeconds of the connection's start (or of the
//     end of its previous answer); bytes trickled in do not extend the deadline. A connection
//     past it gets 408 and is closed.
//   - Connections none of whose requests passed the gate hold at most kMaxUnprovenConnections
//     slots: beyond that, the oldest of them still sending its head (and open for at least
//     kUnprovenGraceMillis, so that a burst of clients connecting at once is not cut) gets
//     503 and is closed, so that clients holding unfinished heads cannot lock others out.
//   - Framing that two parsers could read differently is refused with 400 and the connection
//     closed, before the gate sees it: Content-Length with Transfer-Encoding, several
//     Content-Length or Host headers, a NUL byte in the target or a header; a transfer coding
//     other than chunked is refused with 501.
// A body longer than kMaxBodyBytes is answered with 413. The body is read and discarded first
// (up to kMaxDrainBytes more), so that a client sending it without waiting for an interim
// answer reads the 413 instead of a reset connection; a client that asked for "100-continue",
// or declares or sends more than the drain allows, is answered at once and the connection
// closed. After a large request the memory it took is handed back to the system.
//
// Handlers get the request target exactly as sent (no percent-decoding, query included) and
// header names in lower case. HEAD is served as GET (the gate and the handler see "GET");
// libmicrohttpd sends the answer's headers without its body. A gate sees each request before
// its body is read and may answer it at once (refusals), so that a refused client cannot make
// the host buffer a body; a request it lets through marks its connection as proven.
//
// Thread rule: the gate and the handler run on the connection threads, several at once, or
// on the caller's loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "binding/maybe.h"

struct MHD_Daemon;
struct MHD_Connection;

namespace qor::host {

class ConnectionGuard;

inline constexpr size_t kMaxBodyBytes = 8u << 20;
inline constexpr size_t kMaxDrainBytes = 56u << 20;
inline constexpr size_t kMaxHeaderBytes = 32u << 10;
inline constexpr size_t kMaxHeaderFields = 1000;
// A 32 KiB head, the records of kMaxHeaderFields headers (64 bytes each) and the answer's.
inline constexpr size_t kConnectionPoolBytes = 128u << 10;
inline constexpr unsigned kMaxConnections = 128;
inline constexpr unsigned kMaxConnectionsPerAddress = 96;
inline constexpr unsigned kMaxUnprovenConnections = 32;
inline constexpr unsigned kUnprovenGraceMillis = 500;
inline constexpr unsigned kHeadDeadlineSeconds = 5;
inline constexpr unsigned kIdleTimeoutSeconds = 60;

using HttpHeaders = std::vector<std::pair<std::string, std::string>>;

// A reply body produced while it is being sent, for replies that stay open (the event
// stream). The front calls Read on the connection's thread (or its loop), one call at a
// time, until it reports the end, and then releases the source; the source also goes when
// the client leaves.
class HttpBodySource {
 public:
  virtual ~HttpBodySource() = default;
  // Copies the next bytes (at most `capacity`) into `buffer` and returns their number, or
  // nothing once the body has ended. With `mayWait`, waits for at least one byte, but only
  // for a bounded time, so that the front can notice a client that has gone and can stop;
  // without, returns 0 when no byte is ready.
  virtual std::optional<size_t> Read(char* buffer, size_t capacity, bool mayWait) = 0;
  // A descriptor that becomes readable when Read may have bytes again (or the body ends); -1
  // when the source has none (the front then only asks again after a while).
  virtual int ReadyFd() const { return -1; }
  // The connection's socket, given before the first Read, so that a source waiting for bytes
  // can notice at once that its client has hung up (by polling it; never read or written).
  virtual void WatchClient(int /*socket*/) {}
};

struct HttpRequest {
  std::string method;   // as sent, e.g. "GET" (HEAD reads as GET)
  std::string target;   // path and query as sent
  HttpHeaders headers;  // names in lower case, in the order sent
  std::string body;
  std::string peer;  // the client's address, e.g. "127.0.0.1"

  // The first header of that (lower-case) name.
  std::optional<std::string_view> Header(std::string_view name) const;
  // The target before "?".
  std::string_view Path() const;
  // The target after "?" (empty when none).
  std::string_view Query() const;
};

struct HttpResponse {
  unsigned status = 200;
  std::string contentType = "application/json";
  std::string body;
  HttpHeaders headers;
  // When set, the body is read from here as it is sent (chunked) and `body` is not used.
  std::shared_ptr<HttpBodySource> source;
  // A gate's refusal goes out after this long (the connection waits; nobody else does).
  std::chrono::milliseconds delay{0};

  static HttpResponse Json(unsigned status, std::string body);
  static HttpResponse NoContent();
  // {"httpStatus": S, "message": "..."} with status S.
  static HttpResponse Error(unsigned status, std::string_view message);
};

using HttpGate = std::function<std::optional<HttpResponse>(const HttpRequest& headersOnly)>;
using HttpHandler = std::function<HttpResponse(const HttpRequest&)>;

enum class HttpThreading { kThreadPerConnection, kCallerLoop };

class HttpFront {
 public:
  // Listens on `host` ("127.0.0.1", "localhost", "[::1]", another address literal) and `port`
  // (0: a free port). Fails with a message naming the address.
  static MaybeType<Failure, std::unique_ptr<HttpFront>> Start(
      const std::string& host, uint16_t port, HttpGate gate, HttpHandler handler,
      HttpThreading threading = HttpThreading::kThreadPerConnection);
  ~HttpFront();
  HttpFront(const HttpFront&) = delete;
  HttpFront& operator=(const HttpFront&) = delete;

  // The port listened on.
  uint16_t Port() const { return port_; }
  // Stops listening and ends every connection; with threads, waits for the requests in
  // progress. With kCallerLoop, call it where Run is called, or once the loop has ended.
  // Idempotent.
  void Stop();

  // kCallerLoop only, all on the loop's thread. PollFd becomes readable when Run has work;
  // Run serves what is ready and returns at once; the loop calls it again at the latest
  // after TimeoutMillis (-1: when PollFd is readable).
  int PollFd() const { return poll_; }
  void Run();
  int TimeoutMillis() const;

 private:
  struct Aside;
  HttpFront(HttpGate gate, HttpHandler handler);
  // Takes the connection out of the loop until one of `fds` (-1: none) becomes readable or
  // hangs up, or `until` passes.
  void PutAside(MHD_Connection* connection, int fd1, int fd2,
                std::chrono::steady_clock::time_point until);
  void Resume(Aside& aside);

  friend struct HttpFrontAccess;
  HttpGate gate_;
  HttpHandler handler_;
  std::unique_ptr<ConnectionGuard> guard_;
  MHD_Daemon* daemon_ = nullptr;
  uint16_t port_ = 0;
  bool callerLoop_ = false;
  int poll_ = -1;                              // kCallerLoop: the loop's epoll set
  std::vector<std::unique_ptr<Aside>> aside_;  // kCallerLoop: connections waiting
};

}  // namespace qor::host
