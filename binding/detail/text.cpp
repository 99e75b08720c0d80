#include "binding/detail/text.h"

#include <charconv>
#include <cmath>
#include <limits>
#include <system_error>

namespace qor::detail {

namespace {

bool IsSpace(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

int DigitValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'z') return c - 'a' + 10;
  if (c >= 'A' && c <= 'Z') return c - 'A' + 10;
  return 99;
}

// Leading white space and an optional sign; returns the position after them.
std::size_t SkipSpaceAndSign(std::string_view text, bool& negative) {
  std::size_t at = 0;
  while (at < text.size() && IsSpace(text[at]))
    ++at;
  negative = false;
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    negative = text[at] == '-';
    ++at;
  }
  return at;
}

// The decimal order of magnitude of a number text that from_chars accepted: the exponent of
// its leading significant digit. Only its sign matters to the caller.
long DecimalOrder(const char* begin, const char* end) {
  const char* at = begin;
  long order = 0;
  bool found = false;
  long integerDigits = 0;
  while (at < end && *at == '0')
    ++at;
  while (at < end && *at >= '0' && *at <= '9') {
    ++integerDigits;
    ++at;
  }
  if (integerDigits > 0) {
    order = integerDigits - 1;
    found = true;
  }
  if (at < end && *at == '.') {
    ++at;
    long zeros = 0;
    while (at < end && *at >= '0' && *at <= '9') {
      if (!found) {
        if (*at == '0') {
          ++zeros;
        } else {
          order = -(zeros + 1);
          found = true;
        }
      }
      ++at;
    }
  }
  if (at < end && (*at == 'e' || *at == 'E')) {
    ++at;
    bool negative = false;
    if (at < end && (*at == '+' || *at == '-')) negative = *at++ == '-';
    long exponent = 0;
    while (at < end && *at >= '0' && *at <= '9') {
      if (exponent < 100000) exponent = exponent * 10 + (*at - '0');
      ++at;
    }
    order += negative ? -exponent : exponent;
  }
  return order;
}

}  // namespace

ParsedInteger ParseInteger(std::string_view text) noexcept {
  ParsedInteger result;
  std::size_t at = SkipSpaceAndSign(text, result.negative);
  unsigned base = 10;
  if (at < text.size() && text[at] == '0') {
    if (at + 2 < text.size() && (text[at + 1] == 'x' || text[at + 1] == 'X') &&
        DigitValue(text[at + 2]) < 16) {
      base = 16;
      at += 2;
    } else {
      base = 8;
    }
  }
  std::uint64_t value = 0;
  constexpr std::uint64_t kMax = std::numeric_limits<std::uint64_t>::max();
  while (at < text.size()) {
    int digit = DigitValue(text[at]);
    if (digit >= static_cast<int>(base)) break;
    result.anyDigit = true;
    if (!result.overflow) {
      if (value > (kMax - static_cast<unsigned>(digit)) / base) {
        result.overflow = true;
      } else {
        value = value * base + static_cast<unsigned>(digit);
      }
    }
    ++at;
  }
  result.magnitude = result.overflow ? 0 : value;
  result.consumed = result.anyDigit ? at : 0;
  return result;
}

std::optional<std::int64_t> SignedOf(const ParsedInteger& parsed) noexcept {
  if (parsed.overflow) return std::nullopt;
  constexpr std::uint64_t kMaxPositive = std::numeric_limits<std::int64_t>::max();
  if (parsed.negative) {
    if (parsed.magnitude > kMaxPositive + 1) return std::nullopt;
    if (parsed.magnitude == kMaxPositive + 1) return std::numeric_limits<std::int64_t>::min();
    return -static_cast<std::int64_t>(parsed.magnitude);
  }
  if (parsed.magnitude > kMaxPositive) return std::nullopt;
  return static_cast<std::int64_t>(parsed.magnitude);
}

std::optional<std::uint64_t> UnsignedOf(const ParsedInteger& parsed) noexcept {
  if (parsed.overflow) return std::nullopt;
  return parsed.negative ? std::uint64_t{0} - parsed.magnitude : parsed.magnitude;
}

ParsedFloat ParseFloat(std::string_view text) noexcept {
  ParsedFloat result;
  bool negative = false;
  std::size_t at = SkipSpaceAndSign(text, negative);
  // from_chars takes no '+' and reads its own '-': a second sign is refused here.
  if (at < text.size() && (text[at] == '+' || text[at] == '-')) return result;
  const char* begin = text.data() + at;
  const char* end = text.data() + text.size();
  double value = 0;
  auto [next, error] = std::from_chars(begin, end, value, std::chars_format::general);
  if (next == begin) return result;
  result.anyDigit = true;
  result.consumed = static_cast<std::size_t>(next - text.data());
  if (error == std::errc::result_out_of_range) {
    // Too small a magnitude reads as zero; too large a one is an overflow.
    if (DecimalOrder(begin, next) >= 0) {
      result.overflow = true;
      return result;
    }
    value = 0;
  }
  result.value = negative ? -value : value;
  return result;
}

std::string FormatFixed(double value) {
  char buffer[400];
  auto [end, error] =
      std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::fixed, 6);
  if (error != std::errc()) return {};
  return std::string(buffer, end);
}

std::string EncodeBase64(std::span<const std::uint8_t> bytes) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((bytes.size() + 2) / 3 * 4);
  std::size_t i = 0;
  for (; i + 3 <= bytes.size(); i += 3) {
    std::uint32_t group = (bytes[i] << 16) | (bytes[i + 1] << 8) | bytes[i + 2];
    out += kAlphabet[(group >> 18) & 63];
    out += kAlphabet[(group >> 12) & 63];
    out += kAlphabet[(group >> 6) & 63];
    out += kAlphabet[group & 63];
  }
  std::size_t rest = bytes.size() - i;
  if (rest != 0) {
    std::uint32_t group = bytes[i] << 16;
    if (rest == 2) group |= bytes[i + 1] << 8;
    out += kAlphabet[(group >> 18) & 63];
    out += kAlphabet[(group >> 12) & 63];
    out += rest == 2 ? kAlphabet[(group >> 6) & 63] : '=';
    out += '=';
  }
  return out;
}

}  // namespace qor::detail
