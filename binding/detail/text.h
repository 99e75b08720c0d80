// Text helpers of the binding layer: integer and float parsing with exact edge reporting,
// the "%f" rendering of doubles and Base64.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace qor::detail {

// An integer read with automatic base, like strtoull with base 0: optional leading white
// space (" \t\n\v\f\r"), an optional sign, then "0x"/"0X" followed by a hexadecimal digit
// selects base 16, a leading "0" base 8, otherwise base 10. Reading stops at the first
// character that does not fit the base.
struct ParsedInteger {
  std::uint64_t magnitude = 0;  // valid unless `overflow`
  bool negative = false;
  bool overflow = false;     // the digits exceed 64 bits
  bool anyDigit = false;     // at least one digit was read
  std::size_t consumed = 0;  // bytes used, white space and sign included (0 without a digit)
};
ParsedInteger ParseInteger(std::string_view text) noexcept;

// The parsed value as a signed 64-bit integer, or nothing when it lies outside that range.
std::optional<std::int64_t> SignedOf(const ParsedInteger& parsed) noexcept;
// The parsed value as an unsigned 64-bit integer, a leading minus negating modulo 2^64; nothing
// on overflow.
std::optional<std::uint64_t> UnsignedOf(const ParsedInteger& parsed) noexcept;

// A decimal floating-point number: optional leading white space and sign, then what
// std::from_chars accepts in general format (digits, fraction, exponent, "inf", "nan").
struct ParsedFloat {
  double value = 0;
  bool overflow = false;  // the magnitude exceeds the double range
  bool anyDigit = false;
  std::size_t consumed = 0;
};
ParsedFloat ParseFloat(std::string_view text) noexcept;

// "%f": six digits after the decimal point, independent of the locale.
std::string FormatFixed(double value);

// Base64, standard alphabet with '=' padding.
std::string EncodeBase64(std::span<const std::uint8_t> bytes);

}  // namespace qor::detail
