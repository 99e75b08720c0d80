#include "binding/yaml.h"

#include <gtest/gtest.h>

#include <string>

#include "tests/binding/shown.h"

namespace qor {
namespace {

std::string Repeat(std::string_view part, std::size_t times) {
  std::string out;
  for (std::size_t i = 0; i < times; ++i)
    out += part;
  return out;
}

TEST(YamlRead, ReadsEachDocumentOrSaysWhereItFails) {
  const std::string kTooDeep = "! YAML nesting exceeds 512 levels. At line: ";
  const std::string kBadKey =
      "! Invalid mapping key. Only string scalar keys are allowed. At line: ";
  const std::pair<std::string, std::string> rows[] = {
      {"", "empty"},
      {"null", "empty"},
      {"nULL", "string nULL"},
      {"42", "unsigned 42"},
      {"2392.00", "unsigned 2392"},
      {"0x1F", "unsigned 31"},
      // Integers keep every digit, also beyond the 53 bits of a double.
      {"18446744073709551615", "unsigned 18446744073709551615"},
      // Integral values beyond 64 bits stay Floats instead of overflowing a conversion.
      {"18446744073709551616", "float 18446744073709551616.000000"},
      {"-inf", "float -inf"},
      {".inf", "string .inf"},
      {"nan", "float nan"},
      {"-nan", "float -nan"},
      {"yes", "bool true"},
      {"'42'", "string 42"},
      {"\"a\\0b\"", std::string("string a\0b", 10)},
      {"!!str 42", "string 42"},
      {"!!int 12", "unsigned 12"},
      {"!!int 010", "unsigned 8"},
      {"!!float 2.5", "float 2.500000"},
      {"!!bool yes", "bool true"},
      {"!!bool maybe", "empty"},
      {"- a\n- - 1\n  - {k: v}\n- []\n- {}\n", R"(collection ["a",[1,{"k":"v"}],[],{}])"},
      // Keys are the raw scalar text, never typed.
      {"1: a\nyes: b\n~: c\n", R"(structure {"1":"a","yes":"b","~":"c"})"},
      // A repeated key keeps the last value.
      {"k: 1\nk: [2]\nj: [1]\nj: ~\n", R"(structure {"j":null,"k":[2]})"},
      // The empty key is a key like any other.
      {"? ''\n: x\n", R"(structure {"":"x"})"},
      // Aliases copy the anchored value: the one at the anchor, not what later replaces it.
      {"- &n name\n- {*n : 1}\n", R"(collection ["name",{"name":1}])"},
      {"a: &x [1]\na: 2\nb: *x\n", R"(structure {"a":2,"b":[1]})"},
      {"? [a]\n: b\n", "! Unexpected start of sequence. At line: 1 col: 3"},
      {"a: &x 1\nb: &x 2\n", "! Duplicate occurrence of anchor \"x\". At line: 2 col: 4"},
      {"&a [*a]", "! Cannot deserialize cyclic aliases. Alias \"a\". At line: 1 col: 5"},
      {"a: &m\n  b: [1, *m]\n",
       "! Cannot deserialize cyclic aliases. Alias \"m\". At line: 2 col: 10"},
      {"a\n---\nb\n", "! Multi-document YAML is not supported."},
      {"!!int 5: a\n", kBadKey + "1 col: 1"},
      {"- &l [1]\n- {*l : 1}\n", kBadKey + "2 col: 4"},
      {"!!int 12x", "! Value 12x for 'yaml' of type uint64_t is in an incorrect format"},
      {"!!int 18446744073709551616",
       "! Value 18446744073709551616 for 'yaml' of type uint64_t is out of range"},
      {"!!float abc", "! Value abc for 'yaml' of type double is in an incorrect format"},
      {"a: [1, 2", "! YAML parser error: did not find expected ',' or ']'. At line: 1 col: 0"},
      {"a: \"x\x01\"\n",
       "! YAML parser error: control characters are not allowed. At line: 0 col: 0"},
      {Repeat("[", 513) + Repeat("]", 513), kTooDeep + "1 col: 513"},
      {"x:\n" + Repeat("- ", 600) + "1\n", kTooDeep + "2 col: 1023"},
      // An alias may not carry a value deeper than the limit either; one level less fits.
      {"a: &d " + Repeat("[", 300) + Repeat("]", 300) + "\nb: " + Repeat("[", 212) + "*d" +
           Repeat("]", 212),
       kTooDeep + "2 col: 216"},
  };
  for (const auto& [text, shown] : rows)
    EXPECT_EQ(Shown(ParseYaml(std::string_view(text))), shown) << text.substr(0, 40);
  EXPECT_TRUE(ParseYaml(Repeat("[", 512) + Repeat("]", 512)).Succeeded());
  EXPECT_TRUE(ParseYaml(Repeat("{a: ", 512) + "1" + Repeat("}", 512)).Succeeded());
  EXPECT_TRUE(ParseYaml("a: &d " + Repeat("[", 300) + Repeat("]", 300) +
                        "\nb: " + Repeat("[", 211) + "*d" + Repeat("]", 211))
                  .Succeeded());
}

TEST(YamlRead, CapsTheNodesThatAliasesCopy) {
  // The anchored sequence has 1,001 nodes; recording it and each alias copy count them. 998
  // aliases stay within 1,000,000 nodes, the 999th goes past.
  const std::string anchored = "a: &a [" + Repeat("0, ", 999) + "0]\n";
  MaybeType<Failure, BindingProperty> within =
      ParseYaml(anchored + "b: [" + Repeat("*a, ", 997) + "*a]\n");
  ASSERT_TRUE(within.Succeeded()) << within.ErrorMessage();
  EXPECT_EQ(within->Member("b").Size(), 998u);
  EXPECT_EQ(within->Member("b").Element(997).Size(), 1000u);

  MaybeType<Failure, BindingProperty> beyond =
      ParseYaml(anchored + "b: [" + Repeat("*a, ", 998) + "*a]\n");
  ASSERT_TRUE(beyond.Failed());
  EXPECT_EQ(beyond.ErrorMessage(),
            "YAML alias expansion exceeds 1000000 nodes. Alias \"a\". At line: 2 col: " +
                std::to_string(5 + 4 * 998));

  // Nested aliases grow exponentially: ten levels of ten aliases each. Through l4 the copies
  // count 246,895 nodes; each alias of l4 adds 111,111, so the seventh one on line 6 fails.
  std::string laughs = "l0: &l0 [x, x, x, x, x, x, x, x, x, x]\n";
  for (int level = 1; level < 10; ++level) {
    const std::string previous = "*l" + std::to_string(level - 1);
    laughs += "l" + std::to_string(level) + ": &l" + std::to_string(level) + " [";
    for (int i = 0; i < 10; ++i)
      laughs += (i ? ", " : "") + previous;
    laughs += "]\n";
  }
  MaybeType<Failure, BindingProperty> bomb = ParseYaml(laughs);
  ASSERT_TRUE(bomb.Failed());
  EXPECT_EQ(bomb.ErrorMessage(),
            "YAML alias expansion exceeds 1000000 nodes. Alias \"l4\". At line: 6 col: 40");
}

TEST(YamlRead, ManyAnchorsCostWhatTheyHold) {
  // 400,000 anchors and no alias: each anchor keeps one node, within the node budget, and
  // costs about the size of its text (qor-bind reads this document in under 256 MiB).
  std::string flood = "[";
  for (int i = 0; i < 400000; ++i)
    flood += (i ? ",&a" : "&a") + std::to_string(i) + " x";
  MaybeType<Failure, BindingProperty> read = ParseYaml(flood + "]");
  ASSERT_TRUE(read.Succeeded()) << read.ErrorMessage();
  EXPECT_EQ(read->Size(), 400000u);
  EXPECT_EQ(read->Element(399999).GetString(), "x");

  // The anchors' own nodes count against the budget with the alias copies: 400,000 anchors
  // leave room for 599 copies of a 1,000-node sequence (1,001 nodes with its anchor).
  const std::string anchored = flood + ", &s [" + Repeat("0, ", 999) + "0]";
  EXPECT_TRUE(ParseYaml(anchored + Repeat(", *s", 598) + "]").Succeeded());
  MaybeType<Failure, BindingProperty> beyond = ParseYaml(anchored + Repeat(", *s", 599) + "]");
  ASSERT_TRUE(beyond.Failed());
  EXPECT_NE(beyond.ErrorMessage().find("exceeds 1000000 nodes"), std::string::npos);
}

}  // namespace
}  // namespace qor
