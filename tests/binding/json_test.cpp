#include "binding/json.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <string>

#include "binding/registry.h"
#include "tests/binding/shown.h"

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

TEST(JsonParse, ReadsEachDocumentOrSaysWhereItFails) {
  const std::string kTooDeep = "! Error: The document exceeds the maximum nesting depth of 512.";
  const std::string kTrailing =
      "! Error: The document root must not be followed by other values. at offset ";
  const std::string kTooBig = "! Error: Number too big to be stored in double. at offset ";
  const std::pair<std::string, std::string> rows[] = {
      {"-0", "unsigned 0"},  // not negative: Unsigned, as 0 is
      {"-1", "signed -1"},
      {"1.0", "float 1.000000"},
      {"18446744073709551615", "unsigned 18446744073709551615"},
      {"-9223372036854775808", "signed -9223372036854775808"},
      {"18446744073709551616", "float 18446744073709551616.000000"},
      {"-9223372036854775809", "float -9223372036854775808.000000"},
      {"null", "empty"},
      {"", "empty"},
      {" 7 ", "unsigned 7"},
      {R"("\u0041\n\u00e9")", "string A\n\xC3\xA9"},
      // Every string of the document, keys too, ends at its NUL.
      {R"(["ab\u0000cd",{"k\u0000ey":1}])", R"(collection ["ab",{"k":1}])"},
      {R"("a\\u0000b")", R"(string a\u0000b)"},  // an escaped reverse solidus
      // Runs of plain bytes longer than 16 before and between escapes, which shift them left.
      {R"("abcdefghijklmnopqrstu\"vwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ\\0123456789abcdefghij\u00e9")",
       "string "
       "abcdefghijklmnopqrstu\"vwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ\\0123456789abcdefghij\xC3\xA9"},
      {"\"a plain run of more than 16 bytes then a raw\ttab\"",
       "! Error: Invalid escape character in string. at offset 45."},
      // The last of repeated keys wins, also when it is null.
      {R"({"z":[1,{"b":2,"a":[]}],"a":{"k":1,"k":[3]},"n":[5],"n":null,"":"e"})",
       R"(structure {"":"e","a":{"k":[3]},"n":null,"z":[1,{"a":[],"b":2}]})"},
      {"[1] 2", kTrailing + "4."},
      {"[1,]", "! Error: Invalid value. at offset 3."},
      {"\"abc", "! Error: Missing a closing quotation mark in string. at offset 4."},
      {"1e400", kTooBig + "0."},
      // Above the largest double, though the reader would let these through as infinity.
      {"[1,2.51e308]", kTooBig + "3."},
      {R"({"a": -1.8e308})", kTooBig + "6."},
      // A NUL byte is part of the text: it neither ends the document nor counts as a value.
      {std::string("1\0 2", 4), kTrailing + "1."},
      {std::string("  \0", 3), "! Error: Invalid value. at offset 2."},
      {Nested(513, "[", "]"), kTooDeep + " at offset 512."},
      {Nested(513, "{\"k\":", "}", "1"), kTooDeep + " at offset 2560."},
      {"  " + Nested(600, "[{\"a\":", "}]", "1"), kTooDeep + " at offset 1538."},
  };
  for (const auto& [text, shown] : rows)
    EXPECT_EQ(Shown(ParseJson(std::string_view(text))), shown) << text.substr(0, 40);
  EXPECT_TRUE(ParseJson(Nested(512, "[", "]")).Succeeded());
}

TEST(JsonWrite, WritesEachKindCompactly) {
  BindingProperty tree;
  tree.MutableMember("z") = std::uint64_t{1};
  tree.MutableMember("a").Append() = std::nan("");
  tree.MutableMember("a").Append();  // Empty element
  tree.MutableMember("a").Append() = -std::numeric_limits<double>::infinity();
  tree.MutableMember("B").SetStructure();
  tree.MutableMember("m").MutableMember("x") = std::numeric_limits<double>::infinity();
  tree.MutableMember("e");
  tree.MutableMember("c").SetCollection();
  const std::pair<BindingProperty, const char*> rows[] = {
      {BindingProperty(), ""},
      {BindingProperty(true), "true"},
      {BindingProperty(std::nan("")), "null"},
      {BindingProperty(std::numeric_limits<double>::infinity()), "null"},
      {BindingProperty(std::string_view("q\"b\\s/\b\t\n\f\r\x01\x1f\x7f\xC3\xA9\xFF")),
       R"("q\"b\\s/\b\t\n\f\r\u0001\u001F)"
       "\x7f\xC3\xA9\xFF\""},
      {BindingProperty(std::string_view("a\0b", 3)), R"("a\u0000b")"},
      {BindingProperty(Bytes{0x00, 0xFF, 0x10, 0x41}), "\"AP8QQQ==\""},
      {BindingProperty(EnumValue{7, 12345}), "7"},
      // Keys sorted; non-finite numbers are null inside containers too.
      {tree, R"({"B":{},"a":[null,null,null],"c":[],"e":null,"m":{"x":null},"z":1})"},
  };
  for (const auto& [value, json] : rows)
    EXPECT_EQ(WriteJson(value), json);
}

// The pretty layout itself is compared with RapidJSON's in the conformance tests; here, the
// line break is the caller's, and none replaces an escaped line feed.
TEST(JsonWrite, PrettyOutputTakesTheGivenLineBreak) {
  const BindingProperty value = *ParseJson(R"({"a":[1,{}]})");
  EXPECT_EQ(WriteJson(value, nullptr, "\r\n"),
            "{\r\n    \"a\": [\r\n        1,\r\n        {}\r\n    ]\r\n}");
  EXPECT_EQ(WriteJson(value, nullptr, ""), R"({"a":[1,{}]})");
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
  root.Append() = EnumValue{2, id.id};
  root.Append() = EnumValue{9, id.id};      // not a value of the type
  root.Append() = EnumValue{1, id.id + 1};  // not a registered type
  EXPECT_EQ(WriteJson(root, &registry), R"(["Blue",9,1])");
  EXPECT_EQ(WriteJson(root), "[2,9,1]");
}

TEST(JsonWrite, DeepTreesAreWrittenWithoutRecursion) {
  // Trees built in code are not bound by the reader's limit; the writer walks them with its
  // own stack.
  constexpr std::size_t kDepth = 3000;
  BindingProperty root;
  BindingProperty* node = &root;
  for (std::size_t i = 1; i < kDepth; ++i)
    node = &node->Append();
  node->SetCollection();
  EXPECT_TRUE(WriteJson(root) == Nested(kDepth, "[", "]"));
}

TEST(JsonNumbers, FloatsAreCorrectlyRoundedAndReadBackToThemselves) {
  // Long fractions on which a fast decimal reader is a unit in the last place off; each must
  // read as strtod reads it, in a document too, and its written form must read back equal.
  const char* texts[] = {"1844674.073709551615",    "0.30000000000000004441",
                         "2.2250738585072011e-308", "9007199254740993.0",
                         "-1.00000000000000011102", "1.7976931348623157e308",
                         "4.9406564584124654e-324", "123456789.123456789e-3"};
  for (const char* text : texts) {
    for (const std::string& document : {std::string(text), "[" + std::string(text) + "]"}) {
      const BindingProperty parsed = *ParseJson(document);
      const BindingProperty& value = document[0] == '[' ? parsed.Element(0) : parsed;
      EXPECT_EQ(value.GetFloat(0.0), std::strtod(text, nullptr)) << document;
      EXPECT_EQ(*ParseJson(WriteJson(parsed)), parsed)
          << document << " written " << WriteJson(parsed);
    }
  }
}

}  // namespace
}  // namespace qor
