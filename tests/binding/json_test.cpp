#include "binding/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <map>
#include <random>
#include <string>

#include "binding/detail/context.h"
#include "binding/registry.h"

namespace qor {
namespace {

std::string Nested(std::size_t depth, std::string_view open, std::string_view close,
                   std::string_view core = {}) {
  std::string text;
  for (std::size_t i = 0; i < depth; ++i)
    text += open;
  text += core;
  for (std::size_t i = 0; i < depth; ++i)
    text += close;
  return text;
}

TEST(JsonParse, MapsScalarsToKinds) {
  struct Row {
    const char* text;
    BindingProperty expected;
  };
  const Row rows[] = {
      {"-0", BindingProperty(std::uint64_t{0})},  // not negative: Unsigned, as 0 is
      {"-1", BindingProperty(std::int64_t{-1})},
      {"1.0", BindingProperty(1.0)},
      {"18446744073709551615", BindingProperty(std::numeric_limits<std::uint64_t>::max())},
      {"-9223372036854775808", BindingProperty(std::numeric_limits<std::int64_t>::min())},
      {"18446744073709551616", BindingProperty(18446744073709551616.0)},
      {"-9223372036854775809", BindingProperty(-9223372036854775809.0)},
      {"null", BindingProperty()},
      {"\"\\u0041\\n\\u00e9\"", BindingProperty("A\n\xC3\xA9")},
      {"\"ab\\u0000cd\"", BindingProperty("ab")},
      {"[\"ab\\u0000cd\",{\"k\\u0000ey\":1}]",
       [] {
         BindingProperty list;
         list.Append() = "ab";  // every string of the document, keys too, ends at its NUL
         list.Append().MutableMember("k") = std::uint64_t{1};
         return list;
       }()},
      {"\"a\\\\u0000b\"", BindingProperty("a\\u0000b")},  // an escaped reverse solidus
      {"", BindingProperty()},
      {" 7 ", BindingProperty(std::uint64_t{7})},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    MaybeType<Failure, BindingProperty> parsed = ParseJson(row.text);
    ASSERT_TRUE(parsed.Succeeded()) << parsed.ErrorMessage();
    EXPECT_EQ(parsed->Kind(), row.expected.Kind());
    EXPECT_TRUE(*parsed == row.expected) << WriteJson(*parsed);
  }
}

TEST(JsonParse, BuildsContainersInOrderAndKeepsLastOfRepeatedKeys) {
  MaybeType<Failure, BindingProperty> parsed =
      ParseJson(R"({"z":[1,{"b":2,"a":[]}],"a":{"k":1,"k":[3]},"n":[5],"n":null,"":"e"})");
  ASSERT_TRUE(parsed.Succeeded()) << parsed.ErrorMessage();
  const BindingProperty& root = *parsed;
  ASSERT_EQ(root.Kind(), BindingKind::Structure);
  ASSERT_EQ(root.Size(), 4u);
  EXPECT_EQ(root.Members()[0].Key(), "");
  EXPECT_EQ(root.Member("").GetString(), "e");
  EXPECT_EQ(root.Member("z").Size(), 2u);
  EXPECT_EQ(root.Member("z").Element(0).GetUnsigned(), 1u);
  EXPECT_EQ(root.Member("z").Element(1).Member("b").GetUnsigned(), 2u);
  EXPECT_EQ(root.Member("z").Element(1).Member("a").Kind(), BindingKind::Collection);
  EXPECT_EQ(root.Member("a").Size(), 1u);
  EXPECT_EQ(root.Member("a").Member("k").Element(0).GetUnsigned(), 3u);
  ASSERT_TRUE(root.HasMember("n"));
  EXPECT_TRUE(root.Member("n").IsEmpty());
}

TEST(JsonParse, ReportsEveryErrorWithItsOffset) {
  struct Row {
    std::string text;
    const char* message;
  };
  const Row rows[] = {
      {"[1] 2", "Error: The document root must not be followed by other values. at offset 4."},
      {R"({"a" 1})", "Error: Missing a colon after a name of object member. at offset 5."},
      {"[1,]", "Error: Invalid value. at offset 3."},
      {"[1 2]", "Error: Missing a comma or ']' after an array element. at offset 3."},
      {"\"abc", "Error: Missing a closing quotation mark in string. at offset 4."},
      {R"("\x")", "Error: Invalid escape character in string. at offset 1."},
      {"1e", "Error: Miss exponent in number. at offset 2."},
      {"1e400", "Error: Number too big to be stored in double. at offset 0."},
      // Above the largest double, though the reader would let these through as infinity.
      {"[1,2.51e308]", "Error: Number too big to be stored in double. at offset 3."},
      {R"({"a": -1.8e308})", "Error: Number too big to be stored in double. at offset 6."},
      // A NUL byte is part of the text: it neither ends the document nor counts as a value.
      {std::string("1\0 2", 4),
       "Error: The document root must not be followed by other values. at offset 1."},
      {std::string("  \0", 3), "Error: Invalid value. at offset 2."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text);
    MaybeType<Failure, BindingProperty> parsed = ParseJson(std::string_view(row.text));
    ASSERT_TRUE(parsed.Failed());
    EXPECT_EQ(parsed.ErrorMessage(), row.message);
  }
}

TEST(JsonParse, RefusesNestingBeyond512Levels) {
  EXPECT_TRUE(ParseJson(Nested(512, "[", "]")).Succeeded());

  struct Row {
    std::string text;
    const char* message;
  };
  const Row rows[] = {
      {Nested(513, "[", "]"),
       "Error: The document exceeds the maximum nesting depth of 512. at offset 512."},
      {Nested(513, "{\"k\":", "}", "1"),
       "Error: The document exceeds the maximum nesting depth of 512. at offset 2560."},
      {"  " + Nested(600, "[{\"a\":", "}]", "1"),
       "Error: The document exceeds the maximum nesting depth of 512. at offset 1538."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.text.substr(0, 20));
    MaybeType<Failure, BindingProperty> parsed = ParseJson(row.text);
    ASSERT_TRUE(parsed.Failed());
    EXPECT_EQ(parsed.ErrorMessage(), row.message);
  }
}

TEST(JsonWrite, WritesEachKindCompactly) {
  struct Row {
    BindingProperty value;
    const char* json;
  };
  BindingProperty blob(Bytes{0x00, 0xFF, 0x10, 0x41});
  Row rows[] = {
      {BindingProperty(), ""},
      {BindingProperty(true), "true"},
      {BindingProperty(std::nan("")), "null"},
      {BindingProperty(std::numeric_limits<double>::infinity()), "null"},
      {BindingProperty(std::string_view("q\"b\\s/\b\t\n\f\r\x01\x1f\x7f\xC3\xA9\xFF")),
       R"("q\"b\\s/\b\t\n\f\r\u0001\u001F)"
       "\x7f\xC3\xA9\xFF\""},
      {BindingProperty(std::string_view("a\0b", 3)), R"("a\u0000b")"},
      {blob, "\"AP8QQQ==\""},
      {BindingProperty(EnumValue{7, 12345}), "7"},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(row.json);
    EXPECT_EQ(WriteJson(row.value), row.json);
  }
}

TEST(JsonWrite, SortsKeysAndWritesNonFiniteAsNullInsideContainers) {
  BindingProperty root;
  root.MutableMember("z") = std::uint64_t{1};
  root.MutableMember("a").Append() = std::nan("");
  root.MutableMember("a").Append();  // Empty element
  root.MutableMember("a").Append() = -std::numeric_limits<double>::infinity();
  root.MutableMember("B").SetStructure();
  root.MutableMember("m").MutableMember("x") = std::numeric_limits<double>::infinity();
  root.MutableMember("e");
  root.MutableMember("c").SetCollection();
  EXPECT_EQ(WriteJson(root),
            R"({"B":{},"a":[null,null,null],"c":[],"e":null,"m":{"x":null},"z":1})");
  // What is written reads back.
  MaybeType<Failure, BindingProperty> again = ParseJson(WriteJson(root));
  ASSERT_TRUE(again.Succeeded()) << again.ErrorMessage();
  EXPECT_EQ(WriteJson(*again), WriteJson(root));
}

TEST(JsonWrite, PrettyOutputIndentsAndReplacesLineBreaks) {
  MaybeType<Failure, BindingProperty> parsed =
      ParseJson(R"({"b":[1,[],{}],"a":{"k":"v"},"c":2.5})");
  ASSERT_TRUE(parsed.Succeeded());
  const std::string expected =
      "{\n"
      "    \"a\": {\n"
      "        \"k\": \"v\"\n"
      "    },\n"
      "    \"b\": [\n"
      "        1,\n"
      "        [],\n"
      "        {}\n"
      "    ],\n"
      "    \"c\": 2.5\n"
      "}";
  EXPECT_EQ(WriteJson(*parsed, nullptr, "\n"), expected);
  EXPECT_EQ(WriteJson(*parsed, nullptr, "\r\n").size(),
            expected.size() + 10);  // one more byte per line break
  EXPECT_EQ(WriteJson(*parsed, nullptr, ""), R"({"a":{"k":"v"},"b":[1,[],{}],"c":2.5})");
  // A line feed inside a string is escaped, so it is not replaced.
  EXPECT_EQ(WriteJson(BindingProperty("x\ny"), nullptr, "<br>"), R"("x\ny")");
}

enum class Colour { Red = 1, Blue = 2 };

TEST(JsonWrite, NamesEnumsFromTheRegistry) {
  TypeRegistry registry;
  const TypeIdRecord& id = StaticType::Record<Colour>();
  registry.BeginType("Colour", sizeof(Colour), id, true)
      .AddEnumValue("Red", 1)
      .AddEnumValue("Blue", 2);
  BindingProperty root;
  root.MutableMember("known") = EnumValue{2, id.id};
  root.MutableMember("unknown") = EnumValue{9, id.id};
  root.MutableMember("other") = EnumValue{1, id.id + 1};
  EXPECT_EQ(WriteJson(root, &registry), R"({"known":"Blue","other":1,"unknown":9})");
  EXPECT_EQ(WriteJson(root), R"({"known":2,"other":1,"unknown":9})");
}

TEST(JsonWrite, DeepTreesAreWrittenWithoutRecursion) {
  // Trees built in code are not bound by the reader's limit; the writer walks them with its
  // own stack.
  constexpr std::size_t kDepth = 3000;
  BindingProperty root;
  BindingProperty* node = &root;
  for (std::size_t i = 1; i < kDepth; ++i) {
    node = &node->Append();
  }
  node->SetCollection();
  const std::string json = WriteJson(root);
  EXPECT_TRUE(json == Nested(kDepth, "[", "]")) << json.substr(json.size() - 20);
  MaybeType<Failure, BindingProperty> parsed = ParseJson(json);
  ASSERT_TRUE(parsed.Failed());
  EXPECT_EQ(parsed.ErrorMessage(),
            "Error: The document exceeds the maximum nesting depth of 512. at offset 512.");
}

TEST(JsonNumbers, FloatsAreCorrectlyRoundedAndReadBackToThemselves) {
  // Long fractions on which a fast decimal reader is a unit in the last place off; each must
  // read as strtod reads it, in a document too, and its written form must read back equal.
  const char* texts[] = {"1844674.073709551615",    "0.30000000000000004441",
                         "2.2250738585072011e-308", "9007199254740993.0",
                         "-1.00000000000000011102", "1.7976931348623157e308",
                         "4.9406564584124654e-324", "123456789.123456789e-3"};
  for (const char* text : texts) {
    const double expected = std::strtod(text, nullptr);
    for (const std::string& document : {std::string(text), "[" + std::string(text) + "]",
                                        "{\"k\": " + std::string(text) + " }"}) {
      MaybeType<Failure, BindingProperty> parsed = ParseJson(document);
      ASSERT_TRUE(parsed.Succeeded()) << document << ": " << parsed.ErrorMessage();
      const BindingProperty& value = parsed->Kind() == BindingKind::Float ? *parsed
                                     : parsed->Kind() == BindingKind::Collection
                                         ? parsed->Element(0)
                                         : *parsed->FindMember("k");
      EXPECT_EQ(value.GetFloat(0.0), expected) << document;
      MaybeType<Failure, BindingProperty> again = ParseJson(WriteJson(*parsed));
      ASSERT_TRUE(again.Succeeded());
      EXPECT_EQ(*again, *parsed) << document << " written " << WriteJson(*parsed);
    }
  }
}

}  // namespace
}  // namespace qor
