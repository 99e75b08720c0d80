#include "foundation/format.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <vector>

namespace qor {
namespace {

struct Case {
  const char* tmpl;
  std::vector<FormatArg> args;
  std::string expected;
};

void RunCases(const std::vector<Case>& cases) {
  for (const Case& c : cases) {
    SCOPED_TRACE(c.tmpl);
    EXPECT_EQ(FormatV(c.tmpl, c.args), c.expected);
    // The bounded form gives the same text when it fits.
    char buffer[512];
    const size_t n = FormatTo(buffer, sizeof buffer, c.tmpl, c.args);
    EXPECT_EQ(std::string(buffer, n), c.expected);
    EXPECT_EQ(buffer[n], '\0');
  }
}

TEST(FormatTest, SelectsArguments) {
  RunCases({
      {"%1.%2.%3", {18, 0, 0}, "18.0.0"},
      {"%2 %1", {"a", "b"}, "b a"},
      {"%1/storefront/v2/wallet?language=%2",
       {"https://s", "en_US"},
       "https://s/storefront/v2/wallet?language=en_US"},
      {"%1 %1", {7}, "7 7"},
      {"%d-%s", {1, "x"}, "1-x"},
      {"%1$5d|", {42}, "   42|"},
      {"%2$-4s|%1$03d", {7, "ab"}, "ab  |007"},
      {"%1 then %s", {"a"}, "a then a"},  // "%1" does not move the running argument
      {"100%%", {}, "100%"},
      {"no placeholders", {1, 2}, "no placeholders"},
      {"{braces} stay", {}, "{braces} stay"},
  });
}

TEST(FormatTest, ArgumentBeyondTheListEndsFormatting) {
  RunCases({
      {"a %5 b", {1, 2, 3}, "a "},
      {"a %4$d b", {1, 2, 3}, "a "},
      {"a %d %d b", {1}, "a 1 "},
      {"a %*d b", {5}, "a "},
      {"a %.*f b", {}, "a "},
      {"%1", {}, ""},
  });
}

TEST(FormatTest, WidthAndPrecisionFromArguments) {
  RunCases({
      {"%*d|", {5, 42}, "   42|"},
      {"%-*d|", {5, 42}, "42   |"},
      {"%*d|", {-5, 42}, "42   |"},  // negative width: left-justified
      {"%.*f", {2, 3.14159}, "3.14"},
      {"%*.*f|", {8, 2, 3.14159}, "    3.14|"},
      {"%.*f", {-1, 1.5}, "1.500000"},  // negative precision: as if none
      {"%*d", {int64_t{4}, 1}, "   1"},
      {"%*d", {std::string_view("3"), 1}, "  1"},  // read through the text's converter
      {"%*d", {2.9, 1}, " 1"},
      {"%.*s|", {3, "abcdef"}, "abc|"},
  });
}

TEST(FormatTest, ReplacesLettersTheArgumentDoesNotAccept) {
  const int64_t minInt64 = std::numeric_limits<int64_t>::min();
  const uint64_t maxUint64 = std::numeric_limits<uint64_t>::max();
  RunCases({
      {"%s", {7}, "7"},
      {"%f", {7}, "7"},
      {"%d", {"text"}, "text"},
      {"%x", {2.5}, "2.5"},
      {"%c", {65}, "A"},
      {"%d", {'A'}, "65"},
      {"%1", {'A'}, "A"},
      {"%u", {-1}, "4294967295"},
      {"%x", {int64_t{-1}}, "ffffffffffffffff"},
      {"%1", {minInt64}, "-9223372036854775808"},
      {"%1", {maxUint64}, "18446744073709551615"},
      {"%X", {maxUint64}, "FFFFFFFFFFFFFFFF"},
      {"%1", {3000000000u}, "3000000000"},
      {"%1", {true}, "1"},
      {"%1", {1.5}, "1.5"},
      {"%e", {1.5}, "1.500000e+00"},
      {"%q", {5}, "5"},  // unknown letter: the converter's default
  });
}

TEST(FormatTest, LengthModifiersFollowTheArgument) {
  RunCases({
      {"%ld", {5}, "5"},
      {"%lld", {5}, "5"},
      {"%d", {int64_t{1} << 40}, "1099511627776"},  // no cut to 32 bits
      {"%hd", {70000}, "4464"},
      {"%hhd", {300}, "44"},
      {"%hhu", {uint64_t{511}}, "255"},
      {"%Lf", {1.5}, "1.500000"},
      {"%zu|%jd|%td", {1, 2, 3}, "1|2|3"},
      {"%ls", {"wide?"}, "wide?"},
      {"%lc", {'x'}, "x"},
  });
}

TEST(FormatTest, FlagsAndTexts) {
  const char* none = nullptr;
  const std::string_view unterminated = std::string_view("abcdef").substr(0, 3);
  RunCases({
      {"%+d %+d", {5, -5}, "+5 -5"},
      {"%05d", {42}, "00042"},
      {"%#x", {255}, "0xff"},
      {"%#o", {8}, "010"},
      {"% d", {5}, " 5"},
      {"%1$5s|%2$-5s|", {"ab", "cd"}, "   ab|cd   |"},
      {"%5s", {"ab"}, ""},  // "%5" selects the fifth argument
      {"%.2s", {"abcdef"}, "ab"},
      {"%s", {none}, "(null)"},
      {"%s", {unterminated}, "abc"},
      {"%s", {std::string("str")}, "str"},
      {"%#+ 0-5c|", {'z'}, "z    |"},
  });
}

TEST(FormatTest, LetterNNeverWrites) {
  int target = 0;
  RunCases({
      {"a%nb", {target}, "ab"},
      {"a%1$nb%s", {1, 2}, "ab1"},
  });
}

TEST(FormatTest, MalformedSpecificationEndsFormatting) {
  RunCases({
      {"abc%", {1}, "abc"},
      {"a%-!b", {1}, "a"},
      {"a%0", {1}, "a"},
      {"a%1$", {1}, "a"},
      {"a%1$!d", {1}, "a"},
      {"a%.5", {1}, "a"},
      {"a%1$4097d", {1}, "a"},  // widths beyond 4096 would let a template grow without bound
      {"a%.4097f", {1.0}, "a"},
      {"a%*d", {1 << 30, 1}, "a"},
  });
  EXPECT_EQ(FormatV("%1$4096d", std::vector<FormatArg>{1}).size(), 4096u);
}

TEST(FormatTest, SpecificationOfMoreThanSixtyCharactersEndsFormatting) {
  // '%', 58 flags and the letter: 60 characters.
  const std::string fits = "%" + std::string(58, '-') + "d|";
  const std::string tooLong = "%" + std::string(59, '-') + "d|";
  EXPECT_EQ(Format(fits, 7), "7|");
  EXPECT_EQ(Format("x" + tooLong, 7), "x");
}

TEST(FormatTest, BoundedOutputIsCutAtItsEnd) {
  char buffer[16];
  std::memset(buffer, '@', sizeof buffer);
  const std::vector<FormatArg> args{"world", 42};
  // Room for seven characters and the NUL; the rest of the buffer stays untouched.
  EXPECT_EQ(FormatTo(buffer, 8, "hello %1 %2", args), 7u);
  EXPECT_STREQ(buffer, "hello w");
  EXPECT_EQ(buffer[8], '@');

  EXPECT_EQ(FormatTo(buffer, 1, "hello", args), 0u);
  EXPECT_EQ(buffer[0], '\0');

  buffer[0] = '@';
  EXPECT_EQ(FormatTo(buffer, 0, "hello", args), 0u);
  EXPECT_EQ(buffer[0], '@');
  EXPECT_EQ(FormatTo(nullptr, 10, "hello", args), 0u);

  // Cutting stops formatting: nothing after the cut is written, even where it would fit.
  EXPECT_EQ(FormatTo(buffer, 6, "%1%2", std::vector<FormatArg>{"abcdefgh", "x"}), 5u);
  EXPECT_STREQ(buffer, "abcde");

  // A cut never leaves half a UTF-8 sequence.
  EXPECT_EQ(FormatTo(buffer, 4, "\xC3\xA9\xC3\xA9", {}), 2u);
  EXPECT_STREQ(buffer, "\xC3\xA9");
  EXPECT_EQ(FormatTo(buffer, 5, "a%1", std::vector<FormatArg>{"\xE2\x82\xAC\xE2\x82\xAC"}), 4u);
  EXPECT_STREQ(buffer, "a\xE2\x82\xAC");
}

// Random templates over the characters that matter, into a buffer with guard bytes on both
// sides: never a write outside the buffer, never a read past the arguments (the sanitizer
// build checks those), always a NUL-terminated result of the returned length.
TEST(FormatTest, RandomTemplatesStayInsideTheirBuffers) {
  std::mt19937 random(12345);
  const std::string alphabet =
      "%%%%$$*.-+ #0123456789hlLjztdiouxXcsfgeaAEFGnq{}?@:!\\\xC3\xA9"
      "ab";
  const std::string text = "some text";
  const std::vector<FormatArg> pool{1,    -7,   int64_t{-9},  uint64_t{12},
                                    'c',  2.5,  std::nan(""), "str",
                                    text, true, 1 << 20,      std::string_view("v")};
  for (int round = 0; round < 3000; ++round) {
    std::string tmpl;
    const size_t length = random() % 40;
    for (size_t i = 0; i < length; ++i)
      tmpl += alphabet[random() % alphabet.size()];
    const size_t count = random() % 5;
    std::vector<FormatArg> args;
    for (size_t i = 0; i < count; ++i)
      args.push_back(pool[random() % pool.size()]);
    const size_t size = random() % 24;
    std::vector<char> storage(size + 16, '@');
    char* buffer = storage.data() + 8;
    const size_t n = FormatTo(buffer, size, tmpl, args);
    SCOPED_TRACE(tmpl);
    for (size_t i = 0; i < 8; ++i)
      ASSERT_EQ(storage[i], '@');
    for (size_t i = size + 8; i < storage.size(); ++i)
      ASSERT_EQ(storage[i], '@');
    if (size > 0) {
      ASSERT_LT(n, size);
      ASSERT_EQ(buffer[n], '\0');
    } else {
      ASSERT_EQ(n, 0u);
    }
    (void)FormatV(tmpl, args);
    (void)FillNamedV(tmpl, args);
  }
}

// ---- Named-template filler ----

std::vector<std::string> Names(const NamedText& named) {
  std::vector<std::string> names;
  for (const NamedField& field : named.fields)
    names.push_back(field.name);
  return names;
}

TEST(FillNamedTest, PlaceholdersTakeArgumentsInOrder) {
  const NamedText named = FillNamed("{a} {b}", "x", "y");
  EXPECT_EQ(named.text, "x y");
  ASSERT_EQ(Names(named), (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(named.fields[0].kind, NamedField::Kind::Text);
  EXPECT_EQ(named.fields[1].text, "y");

  // Names do not select arguments: the same name twice takes two arguments.
  EXPECT_EQ(FillNamed("{a}-{a}", 1, 2).text, "1-2");

  const NamedText runtime =
      FillNamed("Error response for {method} {url}: {error}", "GET", "https://h/p", "boom");
  EXPECT_EQ(runtime.text, "Error response for GET https://h/p: boom");
  EXPECT_EQ(Names(runtime), (std::vector<std::string>{"method", "url", "error"}));
}

TEST(FillNamedTest, FieldsKeepTheValueAndItsKind) {
  const NamedText named = FillNamed("{b} {i} {u} {f} {c}", true, -3, uint64_t{9}, 1.5, 'z');
  EXPECT_EQ(named.text, "1 -3 9 1.5 z");
  ASSERT_EQ(named.fields.size(), 5u);
  EXPECT_EQ(named.fields[0].kind, NamedField::Kind::Bool);
  EXPECT_TRUE(named.fields[0].boolean);
  EXPECT_EQ(named.fields[1].kind, NamedField::Kind::Integer);
  EXPECT_EQ(named.fields[1].integer, -3);
  EXPECT_EQ(named.fields[2].integer, 9);
  EXPECT_EQ(named.fields[3].kind, NamedField::Kind::Float);
  EXPECT_EQ(named.fields[3].real, 1.5);
  EXPECT_EQ(named.fields[4].kind, NamedField::Kind::Text);
  EXPECT_EQ(named.fields[4].text, "z");
}

TEST(FillNamedTest, TypedNamesGetTheKindSuffix) {
  const NamedText named = FillNamed("{#a}{#n}{#ok}{#r}{#count_long}{#when_time}{#addr_ip}{#x_str}",
                                    "t", 1, false, 2.5, 3, 4, "1.2.3.4", 5);
  EXPECT_EQ(Names(named),
            (std::vector<std::string>{"a_str", "n_int", "ok_bool", "r_float", "count_long",
                                      "when_time", "addr_ip", "x_str"}));
}

TEST(FillNamedTest, AlternativeTextReplacesEmptyValues) {
  struct Row {
    FormatArg value;
    std::string text;
    size_t fields;
  };
  const std::vector<Row> rows{
      {0, "none", 0},    {false, "none", 0}, {0.0, "none", 0}, {std::nan(""), "none", 0},
      {"", "none", 0},   {5, "5", 1},        {"x", "x", 1},    {true, "1", 1},
      {-0.5, "-0.5", 1},
  };
  for (const Row& row : rows) {
    const NamedText named = FillNamedV("{n?none}", std::vector<FormatArg>{row.value});
    SCOPED_TRACE(row.text);
    EXPECT_EQ(named.text, row.text);
    EXPECT_EQ(named.fields.size(), row.fields);
  }
}

TEST(FillNamedTest, BracesPercentAndSpecifications) {
  EXPECT_EQ(FillNamed("{{x}} }} 100%%").text, "{x} } 100%");
  EXPECT_EQ(FillNamed("lone } brace").text, "lone } brace");

  const NamedText mixed = FillNamed("{a} %s {b}", 1, "t", 2);
  EXPECT_EQ(mixed.text, "1 t 2");
  EXPECT_EQ(Names(mixed), (std::vector<std::string>{"a", "b"}));

  EXPECT_EQ(FillNamed("[{n:5d}]", 42).text, "[   42]");
  EXPECT_EQ(FillNamed("[{n:x}]", 255).text, "[ff]");
  EXPECT_EQ(FillNamed("[{n:-4s}]", "ab").text, "[ab  ]");
  EXPECT_EQ(FillNamed("[{n:.2f}]", 3.14159).text, "[3.14]");
  EXPECT_EQ(FillNamed("[{n:5}]", 1).text, "[");  // a specification without letter ends formatting
}

TEST(FillNamedTest, Conversions) {
  const NamedText str = FillNamed("{a@str} {b@str} {c@str}", true, 1.5, -4);
  EXPECT_EQ(str.text, "true 1.500000 -4");
  ASSERT_EQ(str.fields.size(), 3u);
  EXPECT_EQ(str.fields[0].kind, NamedField::Kind::Text);
  EXPECT_EQ(str.fields[0].text, "true");
  EXPECT_EQ(FillNamed("{#a@str}", false).fields.at(0).name, "a_str");

  const NamedText hex = FillNamed("{h@hex}", 255);
  EXPECT_EQ(hex.text, "00000000000000FF");
  ASSERT_EQ(hex.fields.size(), 1u);
  EXPECT_EQ(hex.fields[0].kind, NamedField::Kind::Integer);
  EXPECT_EQ(hex.fields[0].integer, 255);
  EXPECT_EQ(FillNamed("{h@hex}", int64_t{-1}).text, "FFFFFFFFFFFFFFFF");
  EXPECT_EQ(FillNamed("{h@hex}", "text").text, "text");  // only integers convert
  EXPECT_EQ(FillNamed("{h@other}", 3).text, "3");
}

TEST(FillNamedTest, EscapesFlagsAndMissingArguments) {
  const NamedText escaped = FillNamed("{a\\:b\\}}", 1);
  EXPECT_EQ(escaped.text, "1");
  EXPECT_EQ(Names(escaped), (std::vector<std::string>{"a:b}"}));

  const NamedText unrecorded = FillNamed("{a!}", 1);
  EXPECT_EQ(unrecorded.text, "1");
  EXPECT_TRUE(unrecorded.fields.empty());

  EXPECT_TRUE(FillNamed("{}", 1).fields.empty());  // no name, no field

  const NamedText missing = FillNamed("{a} and {b}.", 1);
  EXPECT_EQ(missing.text, "1 and .");
  EXPECT_EQ(Names(missing), (std::vector<std::string>{"a"}));

  const NamedText unclosed = FillNamed("start {a", 1);
  EXPECT_EQ(unclosed.text, "start ");
  EXPECT_TRUE(unclosed.fields.empty());
}

}  // namespace
}  // namespace qor
