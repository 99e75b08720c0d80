#include "foundation/format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <tuple>
#include <vector>

namespace qor {
namespace {

// Argument selection, width and precision, letters the argument does not accept, length
// modifiers, flags, and the points where formatting ends (an argument beyond the list, a
// malformed specification, a width that would let a template grow without bound).
TEST(FormatTest, Templates) {
  const char* none = nullptr;
  const std::string_view unterminated = std::string_view("abcdef").substr(0, 3);
  const std::string owned = "str";  // arguments view their text: it must outlive the table
  int target = 0;
  // Template, arguments, text.
  const std::tuple<std::string, std::vector<FormatArg>, std::string> cases[] = {
      {"%2 %1 %1", {"a", "b"}, "b a a"},
      {"%2$-4s|%1$03d", {7, "ab"}, "ab  |007"},
      {"%1 then %s", {"a"}, "a then a"},  // "%1" does not move the running argument
      {"100%% {braces}", {1}, "100% {braces}"},
      {"a %5 b", {1, 2, 3}, "a "},
      {"a %4$d b", {1, 2, 3}, "a "},
      {"a %d %d b", {1}, "a 1 "},
      {"a %*d b", {5}, "a "},
      {"%*d|%-*d|%*d|", {5, 42, 3, 1, -2, 7}, "   42|1  |7 |"},  // negative width: left
      {"%*.*f|%.*f", {8, 2, 3.14159, -1, 1.5}, "    3.14|1.500000"},
      {"%*d|%*d|%*d", {int64_t{2}, 1, std::string_view("3"), 1, 2.9, 1}, " 1|  1| 1"},
      {"%s %f %d %x %c", {7, 7, "text", 2.5, 65}, "7 7 text 2.5 A"},
      {"%d %1", {'A'}, "65 A"},
      {"%q", {5}, "5"},  // unknown letter: the converter's default
      {"%u %x", {-1, int64_t{-1}}, "4294967295 ffffffffffffffff"},
      {"%X %1 %e %3",
       {std::numeric_limits<uint64_t>::max(), 1.5, std::numeric_limits<int64_t>::min()},
       "FFFFFFFFFFFFFFFF 18446744073709551615 1.500000e+00 -9223372036854775808"},
      {"%1 %2 %3", {3000000000u, true, 1.5}, "3000000000 1 1.5"},
      {"%ld %lld %d", {5, 5, int64_t{1} << 40}, "5 5 1099511627776"},  // no cut to 32 bits
      {"%hd %hhd %hhu", {70000, 300, uint64_t{511}}, "4464 44 255"},
      {"%Lf %zu|%jd|%td %ls %lc", {1.5, 1, 2, 3, "w", 'x'}, "1.500000 1|2|3 w x"},
      {"%+d %+d %05d %#x %#o % d", {5, -5, 42, 255, 8, 5}, "+5 -5 00042 0xff 010  5"},
      {"%1$5s|%2$-5s|", {"ab", "cd"}, "   ab|cd   |"},
      {"%5s", {"ab"}, ""},  // "%5" selects the fifth argument
      {"%.2s %s %s %s", {"abcdef", none, unterminated, owned}, "ab (null) abc str"},
      {"%#+ 0-5c|", {'z'}, "z    |"},
      {"a%nb", {target}, "ab"},  // "%n" never writes
      {"a%1$nb%s", {1, 2}, "ab1"},
      {"abc%", {1}, "abc"},
      {"a%-!b", {1}, "a"},
      {"a%1$!d", {1}, "a"},
      {"a%.5", {1}, "a"},
      {"a%1$4097d", {1}, "a"},
      {"a%.4097f", {1.0}, "a"},
      {"a%*d", {1 << 30, 1}, "a"},
      // A specification of more than sixty characters ends formatting: '%', 58 flags and the
      // letter still fit.
      {"%" + std::string(58, '-') + "d|", {7}, "7|"},
      {"x%" + std::string(59, '-') + "d|", {7}, "x"},
  };
  for (const auto& [tmpl, args, expected] : cases) {
    EXPECT_EQ(FormatV(tmpl, args), expected) << tmpl;
    // The bounded form gives the same text when it fits.
    char buffer[512];
    const size_t n = FormatTo(buffer, sizeof buffer, tmpl, args);
    EXPECT_EQ(std::string(buffer, n) + buffer[n], expected + '\0') << tmpl;
  }
  EXPECT_EQ(FormatV("%1$4096d", std::vector<FormatArg>{1}).size(), 4096u);
}

// The bounded form ends its text with a NUL within the size given and never writes past it.
TEST(FormatTest, BoundedOutputIsCutAtItsEnd) {
  // Size, template, arguments, text.
  const std::tuple<size_t, const char*, std::vector<FormatArg>, std::string> rows[] = {
      {8, "hello %1 %2", {"world", 42}, "hello w"},
      {1, "hello", {}, ""},
      // Cutting stops formatting: nothing after the cut is written, even where it would fit.
      {6, "%1%2", {"abcdefgh", "x"}, "abcde"},
      // A cut never leaves half a UTF-8 sequence.
      {4, "\xC3\xA9\xC3\xA9", {}, "\xC3\xA9"},
      {5, "a%1", {"\xE2\x82\xAC\xE2\x82\xAC"}, "a\xE2\x82\xAC"},
  };
  char buffer[16];
  for (const auto& [size, tmpl, args, expected] : rows) {
    std::memset(buffer, '@', sizeof buffer);
    const size_t n = FormatTo(buffer, size, tmpl, args);
    EXPECT_EQ(std::string(buffer, n + 1) + buffer[size], expected + '\0' + '@') << tmpl;
  }
  buffer[0] = '@';
  EXPECT_EQ(FormatTo(buffer, 0, "hello", {}), 0u);
  EXPECT_EQ(buffer[0], '@');
  EXPECT_EQ(FormatTo(nullptr, 10, "hello", {}), 0u);
}

// ---- Named-template filler ----

// The fields of a filled template as "name=kind:value" texts, for comparing in one line.
std::string Fields(const NamedText& named) {
  std::string out;
  for (const NamedField& field : named.fields) {
    out += (out.empty() ? "" : " ") + field.name + "=";
    using Kind = NamedField::Kind;
    out += field.kind == Kind::Text      ? "t:" + std::string(field.text)
           : field.kind == Kind::Bool    ? std::string(field.boolean ? "b:1" : "b:0")
           : field.kind == Kind::Integer ? "i:" + std::to_string(field.integer)
                                         : "f:" + Format("%1", field.real);
  }
  return out;
}

TEST(FillNamedTest, Templates) {
  // Template, arguments, text, and the fields (see Fields).
  const std::tuple<const char*, std::vector<FormatArg>, std::string, std::string> rows[] = {
      // Names do not select arguments: the same name twice takes two arguments.
      {"{a}-{a}", {1, 2}, "1-2", "a=i:1 a=i:2"},
      {"{b} {i} {u} {f} {c}",
       {true, -3, uint64_t{9}, 1.5, 'z'},
       "1 -3 9 1.5 z",
       "b=b:1 i=i:-3 u=i:9 f=f:1.5 c=t:z"},
      {"{#a}{#n}{#ok}{#r}{#c_long}{#w_time}{#x_str}",
       {"t", 1, false, 2.5, 3, 4, 5},
       "t102.5345",
       "a_str=t:t n_int=i:1 ok_bool=b:0 r_float=f:2.5 c_long=i:3 w_time=i:4 x_str=i:5"},
      {"{n?none}|{n?none}|{n?none}|{n?none}|{n?none}|{n?none}",
       {0, false, std::nan(""), "", -0.5, "x"},
       "none|none|none|none|-0.5|x",
       "n=f:-0.5 n=t:x"},
      {"{{x}} }} 100%% lone } brace", {}, "{x} } 100% lone } brace", ""},
      {"{a} %s {b}", {1, "t", 2}, "1 t 2", "a=i:1 b=i:2"},
      {"[{n:5d}|{n:x}|{n:-4s}|{n:.2f}]",
       {42, 255, "ab", 3.14159},
       "[   42|ff|ab  |3.14]",
       "n=i:42 n=i:255 n=t:ab n=f:3.14159"},
      {"[{n:5}]", {1}, "[", ""},  // a specification without letter ends formatting
      {"{a@str} {b@str} {#c@str}",
       {true, 1.5, -4},
       "true 1.500000 -4",
       "a=t:true b=t:1.500000 c_str=t:-4"},
      {"{h@hex} {h@hex} {h@hex} {h@other}",
       {255, int64_t{-1}, "text", 3},
       "00000000000000FF FFFFFFFFFFFFFFFF text 3",
       "h=i:255 h=i:-1 h=t:text h=i:3"},
      {"{a\\:b\\}} {a!} {}", {1, 2, 3}, "1 2 3", "a:b}=i:1"},
      {"{a} and {b}.", {1}, "1 and .", "a=i:1"},
      {"start {a", {1}, "start ", ""},
  };
  for (const auto& [tmpl, args, text, fields] : rows) {
    const NamedText named = FillNamedV(tmpl, args);
    EXPECT_EQ(named.text, text) << tmpl;
    EXPECT_EQ(Fields(named), fields) << tmpl;
  }
}

}  // namespace
}  // namespace qor
