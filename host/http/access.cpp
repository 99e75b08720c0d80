#include "host/http/access.h"

#include <sys/random.h>

#include <algorithm>
#include <array>
#include <cstring>

namespace qor::host {
namespace {

constexpr std::string_view kBase64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int Base64Digit(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Strict base64 with padding: the length is a multiple of four and "=" appears only at the
// end, at most twice.
std::optional<std::string> DecodeBase64(std::string_view text) {
  if (text.size() % 4 != 0) return std::nullopt;
  std::string out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    int padding = 0;
    uint32_t word = 0;
    for (size_t j = 0; j < 4; ++j) {
      const char c = text[i + j];
      if (c == '=') {
        if (!last || j < 2) return std::nullopt;
        ++padding;
        word <<= 6;
        continue;
      }
      if (padding > 0) return std::nullopt;  // a digit after "="
      const int digit = Base64Digit(c);
      if (digit < 0) return std::nullopt;
      word = (word << 6) | static_cast<uint32_t>(digit);
    }
    out.push_back(static_cast<char>((word >> 16) & 0xFF));
    if (padding < 2) out.push_back(static_cast<char>((word >> 8) & 0xFF));
    if (padding < 1) out.push_back(static_cast<char>(word & 0xFF));
  }
  return out;
}

bool IsWildcard(std::string_view host) {
  return host.empty() || host == "0.0.0.0" || host == "[::]" || host == "::";
}

}  // namespace

std::string EncodeBase64(std::string_view bytes) {
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    const uint32_t word = (static_cast<uint8_t>(bytes[i]) << 16) |
                          (static_cast<uint8_t>(bytes[i + 1]) << 8) |
                          static_cast<uint8_t>(bytes[i + 2]);
    out.push_back(kBase64Alphabet[(word >> 18) & 63]);
    out.push_back(kBase64Alphabet[(word >> 12) & 63]);
    out.push_back(kBase64Alphabet[(word >> 6) & 63]);
    out.push_back(kBase64Alphabet[word & 63]);
  }
  const size_t rest = bytes.size() - i;
  if (rest > 0) {
    uint32_t word = static_cast<uint8_t>(bytes[i]) << 16;
    if (rest == 2) word |= static_cast<uint8_t>(bytes[i + 1]) << 8;
    out.push_back(kBase64Alphabet[(word >> 18) & 63]);
    out.push_back(kBase64Alphabet[(word >> 12) & 63]);
    out.push_back(rest == 2 ? kBase64Alphabet[(word >> 6) & 63] : '=');
    out.push_back('=');
  }
  return out;
}

std::optional<BasicCredentials> ParseBasicAuthorization(std::string_view header) {
  constexpr std::string_view kScheme = "basic";
  if (header.size() <= kScheme.size() || LowerAscii(header.substr(0, kScheme.size())) != kScheme ||
      header[kScheme.size()] != ' ') {
    return std::nullopt;
  }
  std::string_view encoded = header.substr(kScheme.size());
  while (!encoded.empty() && encoded.front() == ' ')
    encoded.remove_prefix(1);
  while (!encoded.empty() && (encoded.back() == ' ' || encoded.back() == '\t')) {
    encoded.remove_suffix(1);
  }
  std::optional<std::string> decoded = DecodeBase64(encoded);
  if (!decoded || decoded->find('\0') != std::string::npos) return std::nullopt;
  const size_t colon = decoded->find(':');
  if (colon == std::string::npos) return std::nullopt;
  return BasicCredentials{decoded->substr(0, colon), decoded->substr(colon + 1)};
}

std::string LowerAscii(std::string_view text) {
  std::string out(text);
  for (char& c : out)
    c = LowerAscii(c);
  return out;
}

std::string MakeRandomPassword() {
  constexpr std::string_view kAlphabet =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::string out;
  while (out.size() < 32) {
    std::array<uint8_t, 64> bytes{};
    ssize_t got = getrandom(bytes.data(), bytes.size(), 0);
    if (got <= 0) continue;  // interrupted: try again
    for (ssize_t i = 0; i < got && out.size() < 32; ++i) {
      // 62 * 4 = 248: rejecting 248..255 keeps every character equally likely.
      if (bytes[i] < 248) out.push_back(kAlphabet[bytes[i] % kAlphabet.size()]);
    }
  }
  return out;
}

bool ConstantTimeEquals(std::string_view a, std::string_view b) {
  unsigned char difference = a.size() == b.size() ? 0 : 1;
  const size_t n = a.size() < b.size() ? a.size() : b.size();
  for (size_t i = 0; i < n; ++i) {
    difference |= static_cast<unsigned char>(a[i] ^ b[i]);
  }
  return difference == 0;
}

std::chrono::milliseconds FailedAuthentications::Failed(const std::string& address) {
  std::lock_guard lock(mutex_);
  if (failures_.size() >= kMaxAddresses && failures_.count(address) == 0) failures_.clear();
  const unsigned before = failures_[address]++;
  remembered_.store(failures_.size(), std::memory_order_release);
  if (before == 0) return std::chrono::milliseconds(0);
  std::chrono::milliseconds delay = kFirstDelay;
  for (unsigned i = 1; i < before && delay < kMaxDelay; ++i)
    delay *= 2;
  return std::min(delay, kMaxDelay);
}

void FailedAuthentications::Succeeded(const std::string& address) {
  if (remembered_.load(std::memory_order_acquire) == 0) return;
  std::lock_guard lock(mutex_);
  failures_.erase(address);
  remembered_.store(failures_.size(), std::memory_order_release);
}

AccessPolicy::AccessPolicy(std::string_view listenHost, uint16_t port) : port_(port) {
  names_ = {"127.0.0.1", "localhost", "[::1]"};
  if (!IsWildcard(listenHost)) {
    std::string name = LowerAscii(listenHost);
    bool known = false;
    for (const std::string& existing : names_)
      known = known || existing == name;
    if (!known) names_.push_back(std::move(name));
  }
}

bool AccessPolicy::HostAllowed(std::string_view host) const {
  const size_t colon = host.rfind(':');
  // An IPv6 literal holds colons of its own: the port's colon follows the "]".
  if (colon == std::string_view::npos || colon == 0) return false;
  if (host.front() == '[' && host[colon - 1] != ']') return false;
  const std::string name = LowerAscii(host.substr(0, colon));
  const std::string_view portText = host.substr(colon + 1);
  if (portText.empty() || portText.size() > 5) return false;
  uint32_t port = 0;
  for (char c : portText) {
    if (c < '0' || c > '9') return false;
    port = port * 10 + static_cast<uint32_t>(c - '0');
  }
  if (port != port_) return false;
  for (const std::string& allowed : names_) {
    if (allowed == name) return true;
  }
  return false;
}

bool AccessPolicy::OriginAllowed(std::optional<std::string_view> origin) const {
  if (!origin) return true;
  constexpr std::string_view kScheme = "http://";
  if (origin->size() <= kScheme.size() ||
      LowerAscii(origin->substr(0, kScheme.size())) != kScheme) {
    return false;
  }
  return HostAllowed(origin->substr(kScheme.size()));
}

AccessDecision CheckAccess(const AccessPolicy& policy, std::optional<std::string_view> host,
                           std::optional<std::string_view> origin,
                           std::optional<std::string_view> authorization,
                           std::string_view password) {
  if (!policy.Allows(host, origin)) return AccessDecision::kForbidden;
  if (!authorization) return AccessDecision::kUnauthorized;
  std::optional<BasicCredentials> credentials = ParseBasicAuthorization(*authorization);
  if (!credentials) return AccessDecision::kUnauthorized;
  // Both comparisons always run, so the answer's timing says nothing about which one failed.
  const bool userMatches = ConstantTimeEquals(credentials->user, kHostUser);
  const bool passwordMatches = ConstantTimeEquals(credentials->password, password);
  return userMatches && passwordMatches ? AccessDecision::kAllowed : AccessDecision::kUnauthorized;
}

}  // namespace qor::host
