// Message formatting: the positional formatter ("%1", "%2$5d", printf-style conversions) and
// the named-template filler ("{name}") with its table of named fields.
//
// Both take a list of type-erased arguments. Neither throws; a malformed template ends
// formatting where it goes wrong and the text produced so far stands. The formatter never
// writes past its output and never reads past its argument list, whatever the template.
//
// Thread rule: stateless, any thread.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qor {

// One formatting argument: the value and the converter chosen by its type. Each converter
// accepts a set of conversion letters, the first being its default:
//   bool, signed 8..32-bit integers   "dciouxX"
//   signed 64-bit integers            "dciouxX" (printed as 64-bit)
//   unsigned integers of every width  "ucdioxX" (printed as 64-bit)
//   char                              "cdiouxX"
//   float, double                     "gaefGAEF"
//   texts                             "s"
// A text argument refers to the caller's characters: keep them alive while the argument is
// used (the templates below build arguments that live for the whole call).
class FormatArg {
 public:
  enum class Type : uint8_t { Bool, Char, Int32, Int64, UInt64, Double, Text };

  FormatArg(bool value) : type_(Type::Bool) { signed_ = value ? 1 : 0; }
  FormatArg(char value) : type_(Type::Char) { signed_ = value; }
  FormatArg(signed char value) : type_(Type::Int32) { signed_ = value; }
  FormatArg(short value) : type_(Type::Int32) { signed_ = value; }
  FormatArg(int value) : type_(Type::Int32) { signed_ = value; }
  FormatArg(long value) : type_(Type::Int64) { signed_ = value; }
  FormatArg(long long value) : type_(Type::Int64) { signed_ = value; }
  FormatArg(unsigned char value) : type_(Type::UInt64) { unsigned_ = value; }
  FormatArg(unsigned short value) : type_(Type::UInt64) { unsigned_ = value; }
  FormatArg(unsigned value) : type_(Type::UInt64) { unsigned_ = value; }
  FormatArg(unsigned long value) : type_(Type::UInt64) { unsigned_ = value; }
  FormatArg(unsigned long long value) : type_(Type::UInt64) { unsigned_ = value; }
  FormatArg(float value) : type_(Type::Double) { real_ = value; }
  FormatArg(double value) : type_(Type::Double) { real_ = value; }
  FormatArg(long double value) : type_(Type::Double) { real_ = static_cast<double>(value); }
  // A null pointer formats as "(null)".
  FormatArg(const char* text);
  FormatArg(const std::string& text) : type_(Type::Text), text_(text.data()), size_(text.size()) {}
  FormatArg(std::string_view text) : type_(Type::Text), text_(text.data()), size_(text.size()) {}

  Type type() const { return type_; }
  // The value read as the given kind; integers of either sign convert as C++ does.
  int64_t AsSigned() const;
  uint64_t AsUnsigned() const;
  double AsDouble() const;
  std::string_view AsText() const { return {text_, size_}; }
  // The converter's accepted letters, default first.
  std::string_view Letters() const;

 private:
  Type type_;
  union {
    int64_t signed_;
    uint64_t unsigned_;
    double real_;
    const char* text_;
  };
  size_t size_ = 0;
};

// Positional formatter. Template syntax:
//   "%%"          a '%'
//   "%N"          argument N (from 1) with its converter's default letter; note that "%5d" is
//                 argument 5 followed by a 'd' (write "%1$5d" for a width)
//   "%N$spec"     argument N with a printf-style specification: flags "-+ #0", width (digits or
//                 "*"), "." precision (digits or "*"), length modifier, letter
//   "%spec"       the next argument in order ("*" widths and precisions take one each); a spec
//                 starting with '0' is read as flags ("%05d")
// A letter the argument's converter does not accept is replaced by its default; length
// modifiers other than "h"/"hh" are replaced by the argument's own; "%n" writes nothing.
// Formatting ends (the text so far stands) at an argument number beyond the list, a
// malformed specification, one longer than 60 characters, or a width or precision over 4096.
//
// Writes into `out`, at most `size` bytes including the closing NUL,
// and returns the length written (without the NUL). When the text does not fit it is cut at
// the end of the buffer (never inside a UTF-8 sequence) and formatting stops.
size_t FormatTo(char* out, size_t size, std::string_view tmpl, std::span<const FormatArg> args);
// Positional formatter into a growing text.
std::string FormatV(std::string_view tmpl, std::span<const FormatArg> args);

template <class... A>
std::string Format(std::string_view tmpl, const A&... args) {
  const std::array<FormatArg, sizeof...(A)> list{FormatArg(args)...};
  return FormatV(tmpl, std::span<const FormatArg>(list.data(), list.size()));
}

// One field recorded by the named-template filler.
struct NamedField {
  enum class Kind : uint8_t { Bool, Integer, Float, Text };
  std::string name;
  Kind kind = Kind::Text;
  bool boolean = false;
  int64_t integer = 0;
  double real = 0;
  std::string text;
};

struct NamedText {
  std::string text;
  std::vector<NamedField> fields;
};

// Named-template filler: "{name}" placeholders take the arguments in order of appearance
// (whatever their names) and record a field per named placeholder; "{{" and "}}" give braces;
// '%' specifications work as in the positional formatter and take the next argument too.
// A placeholder beyond the argument list stays empty; an unclosed one ends formatting.
// Inside a placeholder, "\" quotes the next character and these parts may follow the name:
//   ":spec"  printf-style specification without the '%' ("{n:5d}")
//   "?text"  written instead of an empty value (false, 0, 0.0, NaN, ""); no field then
//   "@str"   the value as text ("true"/"false", decimal, "%f"); the field becomes text
//   "@hex"   an integer as sixteen uppercase hexadecimal digits
//   "!"      the value is written but no field is recorded
// "#" right after "{" adds the value's kind suffix ("_bool", "_int", "_float", "_str") to the
// field name unless it already ends in one of those, "_long", "_time" or "_ip".
NamedText FillNamedV(std::string_view tmpl, std::span<const FormatArg> args);

template <class... A>
NamedText FillNamed(std::string_view tmpl, const A&... args) {
  const std::array<FormatArg, sizeof...(A)> list{FormatArg(args)...};
  return FillNamedV(tmpl, std::span<const FormatArg>(list.data(), list.size()));
}

}  // namespace qor
