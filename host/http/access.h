// Who may talk to the developer host: HTTP Basic credentials and the Host/Origin rule.
//
// The host serves a store that can spend a player's currency, so every request must carry the
// per-start credentials, and a request must name the address the host serves in its Host
// header (and, when it has one, in its Origin header). The second rule keeps web pages out: a
// page that rebinds a host name to 127.0.0.1, or a page on another origin, cannot drive the
// store from a browser.
//
// Thread rule: the functions are stateless; an AccessPolicy is immutable after construction and
// may be used from every HTTP thread at once.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace qor::host {

// The user name of every request.
inline constexpr std::string_view kHostUser = "qor";

struct BasicCredentials {
  std::string user;
  std::string password;
};

// Reads an "Authorization" header value of the form "Basic BASE64(user:password)". The scheme
// is matched without regard to case and may be followed by several blanks; the password is
// everything after the first ":" of the decoded text. Returns nothing for another scheme,
// malformed base64, a decoded text without ":" or a decoded text holding a NUL byte.
std::optional<BasicCredentials> ParseBasicAuthorization(std::string_view header);

// Base64 (standard alphabet, with padding) of `bytes`.
std::string EncodeBase64(std::string_view bytes);

// `c` or `text` with ASCII capitals lowered (header names, host names and schemes are ASCII:
// no locale is asked).
inline char LowerAscii(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
std::string LowerAscii(std::string_view text);

// A fresh password: 32 characters from [A-Za-z0-9], drawn from the system's random source.
std::string MakeRandomPassword();

// True when `a` equals `b`; the time taken does not depend on where they differ.
bool ConstantTimeEquals(std::string_view a, std::string_view b);

// The Host/Origin rule for one listening address and port.
class AccessPolicy {
 public:
  // `listenHost` as given to --listen (an IPv4 literal, "localhost", or an IPv6 literal in
  // brackets). The accepted Host names are the loopback names "127.0.0.1", "localhost" and
  // "[::1]", plus `listenHost` itself when it is not a wildcard address; each only with
  // `port`.
  AccessPolicy(std::string_view listenHost, uint16_t port);

  // True when `host` (a Host header value) names an accepted name with the served port.
  // Names compare without regard to case; a missing port or another port is refused.
  bool HostAllowed(std::string_view host) const;
  // True when `origin` is absent (nullopt) or is "http://" followed by an accepted Host
  // value. "null" and every other scheme are refused.
  bool OriginAllowed(std::optional<std::string_view> origin) const;
  // Both rules for a request's Host and Origin headers (nullopt when absent; a request
  // without Host is refused).
  bool Allows(std::optional<std::string_view> host, std::optional<std::string_view> origin) const {
    return host && HostAllowed(*host) && OriginAllowed(origin);
  }

  uint16_t Port() const { return port_; }

 private:
  std::vector<std::string> names_;  // lower case
  uint16_t port_;
};

// Slows password guessing down: the first failed authentication from an address is answered
// at once, each further one waits twice as long as the one before (25 ms, 50 ms, ...), at most
// kMaxDelay; a success forgets the address. At most kMaxAddresses are remembered (all are
// forgotten beyond that).
//
// Thread rule: every function may be called from several threads at once.
class FailedAuthentications {
 public:
  static constexpr std::chrono::milliseconds kFirstDelay{25};
  static constexpr std::chrono::milliseconds kMaxDelay{400};
  static constexpr size_t kMaxAddresses = 4096;

  // Counts a failure from `address` and returns how long to wait before answering it.
  std::chrono::milliseconds Failed(const std::string& address);
  void Succeeded(const std::string& address);

 private:
  std::mutex mutex_;
  std::unordered_map<std::string, unsigned> failures_;  // guarded by mutex_
  // failures_.size(), readable without the lock: a success with nothing remembered (every
  // request of a well-behaved client) takes neither the lock nor a look-up.
  std::atomic<size_t> remembered_{0};
};

// Outcome of the complete check of one request.
enum class AccessDecision : uint8_t {
  kAllowed,
  kForbidden,     // Host or Origin refused: 403
  kUnauthorized,  // credentials missing or wrong: 401
};

// Host/Origin first (a refused page learns nothing about the credentials), then the
// credentials. `host`, `origin` and `authorization` are the header values, nullopt when the
// request has none.
AccessDecision CheckAccess(const AccessPolicy& policy, std::optional<std::string_view> host,
                           std::optional<std::string_view> origin,
                           std::optional<std::string_view> authorization,
                           std::string_view password);

}  // namespace qor::host
