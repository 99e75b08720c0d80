#include "host/platform/url_text.h"

#include <cctype>

namespace qor::host {
namespace {

bool IsHex(char c) {
  return std::isxdigit(static_cast<unsigned char>(c)) != 0;
}

bool NeedsEncoding(std::string_view url, size_t i) {
  const auto byte = static_cast<unsigned char>(url[i]);
  if (byte <= 0x20 || byte >= 0x7F) return true;
  switch (byte) {
    case '"':
    case '<':
    case '>':
    case '\\':
    case '^':
    case '`':
    case '{':
    case '|':
    case '}':
    case '#':
      return true;
    case '%':
      return !(i + 2 < url.size() && IsHex(url[i + 1]) && IsHex(url[i + 2]));
    default:
      return false;
  }
}

}  // namespace

std::string EncodeUnsafeUrlCharacters(std::string_view url) {
  constexpr std::string_view kHex = "0123456789ABCDEF";
  std::string out;
  out.reserve(url.size());
  for (size_t i = 0; i < url.size(); ++i) {
    if (!NeedsEncoding(url, i)) {
      out.push_back(url[i]);
      continue;
    }
    const auto byte = static_cast<unsigned char>(url[i]);
    out.push_back('%');
    out.push_back(kHex[byte >> 4]);
    out.push_back(kHex[byte & 0xF]);
  }
  return out;
}

}  // namespace qor::host
