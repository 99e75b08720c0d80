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
  EXPECT_STREQ(out.data.entries[7].key, "text");
  EXPECT_EQ(out.data.entries[7].ownedKey, 1);
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

}  // namespace
}  // namespace qor
