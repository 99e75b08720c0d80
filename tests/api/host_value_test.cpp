// HostValue records to binding values and back.
#include "api/host_value.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace qor {
namespace {

HostValue Text(const char* text, uint32_t length, uint32_t tag = HOST_VALUE_STRING) {
  HostValue value{};
  value.tag = tag;
  value.length = length;
  value.data.text = text;
  return value;
}

TEST(ReadHostValue, ReadsTextsBoundedByTheirLength) {
  // "abcdef" without its terminator in reach: only the first three bytes belong to the value.
  const char unterminated[] = {'a', 'b', 'c', 'd', 'e', 'f'};
  EXPECT_EQ(ReadHostValue(Text(unterminated, 3), "a")->GetString(), "abc");
  EXPECT_EQ(ReadHostValue(Text("ab\0cd", 5, HOST_VALUE_OWNED_STRING), "a")->GetString(), "ab");
  EXPECT_EQ(ReadHostValue(Text(nullptr, 9), "a")->GetString(), "");
  EXPECT_EQ(ReadHostValue(Text(nullptr, 9), "a")->Kind(), BindingKind::String);
}

TEST(ReadHostValue, ReadsNestedContainers) {
  HostValue elements[2] = {Text("x", 1), Text("y", 1)};
  HostStructureEntry entries[3] = {};
  entries[0].key = "b";
  entries[0].value.tag = HOST_VALUE_COLLECTION;
  entries[0].value.length = 2;
  entries[0].value.data.elements = elements;
  entries[1].key = "a";
  entries[1].value = Text("first", 5);
  entries[2].key = "a";
  entries[2].value = Text("last", 4);
  HostValue root{};
  root.tag = HOST_VALUE_STRUCTURE;
  root.length = 3;
  root.data.entries = entries;

  auto read = ReadHostValue(root, "payload");
  ASSERT_TRUE(read.Succeeded());
  EXPECT_EQ(read->Size(), 2u);
  EXPECT_EQ(read->Member("a").GetString(), "last");  // a repeated key keeps the last value
  EXPECT_EQ(read->Member("b").Element(1).GetString(), "y");
}

TEST(ReadHostValue, RefusesUnknownTagsAndDeepNesting) {
  HostValue bad{};
  bad.tag = 11;
  HostValue outer{};
  outer.tag = HOST_VALUE_COLLECTION;
  outer.length = 1;
  outer.data.elements = &bad;
  auto read = ReadHostValue(outer, "items");
  ASSERT_TRUE(read.Failed());
  EXPECT_EQ(read.ErrorMessage(),
            "Couldn't assign value to 'items' of type object because the input is of an "
            "incompatible type ''.");

  std::vector<HostValue> chain(kMaxHostValueDepth + 2);
  for (size_t i = 0; i + 1 < chain.size(); ++i) {
    chain[i].tag = HOST_VALUE_COLLECTION;
    chain[i].length = 1;
    chain[i].data.elements = &chain[i + 1];
  }
  auto deep = ReadHostValue(chain[0], "x");
  ASSERT_TRUE(deep.Failed());
  EXPECT_EQ(deep.ErrorMessage(), "Nesting exceeds 512 levels in 'x'.");
}

TEST(WriteHostValue, WritesOwnedRecordsThatReadBack) {
  BindingProperty value;
  value.MutableMember("text") = "hello";
  value.MutableMember("number") = -3;
  value.MutableMember("big") = uint64_t{7};
  value.MutableMember("real") = 0.5;
  value.MutableMember("flag") = true;
  value.MutableMember("bytes") = Bytes{9, 8};
  value.MutableMember("list").Append() = "e";
  value.MutableMember("none");

  // Every tag, written and read back.
  HostValue out{};
  ASSERT_TRUE(WriteHostValue(value, out).Succeeded());
  ASSERT_EQ(out.tag, uint32_t{HOST_VALUE_STRUCTURE});
  ASSERT_EQ(out.length, 8u);
  // Members come out in key order, with owned keys.
  std::vector<std::string> keys;
  for (uint32_t i = 0; i < out.length; ++i) {
    keys.push_back(out.data.entries[i].key);
    EXPECT_EQ(out.data.entries[i].ownedKey, 1);
  }
  EXPECT_EQ(keys, (std::vector<std::string>{"big", "bytes", "flag", "list", "none", "number",
                                            "real", "text"}));
  const HostValue& text = out.data.entries[7].value;
  EXPECT_EQ(text.tag, uint32_t{HOST_VALUE_OWNED_STRING});
  EXPECT_EQ(text.length, 5u);
  EXPECT_EQ(std::strcmp(text.data.text, "hello"), 0);
  EXPECT_EQ(out.data.entries[1].value.tag, uint32_t{HOST_VALUE_OWNED_BLOB});
  EXPECT_EQ(out.data.entries[4].value.tag, uint32_t{HOST_VALUE_EMPTY});

  auto back = ReadHostValue(out, "v");
  ASSERT_TRUE(back.Succeeded());
  EXPECT_EQ(*back, value);
  FreeHostValue(out);  // ASan reports anything left behind
  EXPECT_EQ(out.tag, 0u);
  EXPECT_EQ(out.data.entries, nullptr);
}

TEST(WriteHostValue, RefusesDeepTreesAndLeavesNothingBehind) {
  BindingProperty value;
  BindingProperty* at = &value;
  for (int i = 0; i <= kMaxHostValueDepth; ++i)
    at = &at->Append();
  *at = "leaf";
  HostValue out{};
  auto written = WriteHostValue(value, out);
  EXPECT_TRUE(written.Failed());
  EXPECT_EQ(out.tag, 0u);
}

}  // namespace
}  // namespace qor
