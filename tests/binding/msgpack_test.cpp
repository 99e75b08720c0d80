#include "binding/msgpack.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "binding/json.h"

namespace qor {
namespace {

using ByteList = std::vector<std::uint8_t>;

MsgPackDecoded Decode(const ByteList& bytes) {
  return DecodeMsgPack(bytes.data(), bytes.size());
}

std::string Describe(const ByteList& bytes) {
  std::string text;
  for (std::uint8_t b : bytes)
    text += Format("%1$02X ", b);
  return text;
}

ByteList Repeat(const ByteList& part, std::size_t times, const ByteList& tail = {}) {
  ByteList out;
  for (std::size_t i = 0; i < times; ++i)
    out.insert(out.end(), part.begin(), part.end());
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

TEST(MsgPackDecode, MapsEachScalarFormat) {
  struct Row {
    ByteList bytes;
    BindingProperty expected;
  };
  const Row rows[] = {
      {{0x05}, BindingProperty(std::int64_t{5})},
      {{0xFF}, BindingProperty(std::int64_t{-1})},
      {{0xCC, 0x05}, BindingProperty(std::uint64_t{5})},
      {{0xCF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF},
       BindingProperty(std::numeric_limits<std::uint64_t>::max())},
      {{0xD0, 0x80}, BindingProperty(std::int64_t{-128})},
      {{0xD3, 0x80, 0, 0, 0, 0, 0, 0, 0},
       BindingProperty(std::numeric_limits<std::int64_t>::min())},
      {{0xCA, 0x3F, 0xC0, 0x00, 0x00}, BindingProperty(1.5)},
      {{0xC0}, BindingProperty()},
      {{0xA3, 'a', 0x00, 'c'}, BindingProperty(std::string_view("a\0c", 3))},
      {{0xDB, 0x00, 0x00, 0x00, 0x01, 'y'}, BindingProperty("y")},
      {{0xC4, 0x02, 0x00, 0xFF}, BindingProperty(Bytes{0x00, 0xFF})},
      {{0xC6, 0x00, 0x00, 0x00, 0x00}, BindingProperty(Bytes{})},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Describe(row.bytes));
    MsgPackDecoded decoded = Decode(row.bytes);
    ASSERT_TRUE(decoded.value.Succeeded()) << decoded.value.ErrorMessage();
    EXPECT_EQ(decoded.value->Kind(), row.expected.Kind());
    EXPECT_TRUE(*decoded.value == row.expected) << WriteJson(*decoded.value);
    EXPECT_EQ(decoded.consumed, row.bytes.size());
  }
}

TEST(MsgPackDecode, BuildsContainersAndLeavesTrailingBytes) {
  struct Row {
    ByteList bytes;
    const char* json;
    std::size_t consumed;
  };
  const Row rows[] = {
      {{0x92, 0x01, 0x02, 0x03}, "[1,2]", 3},
      {{0x90, 0x90}, "[]", 1},
      {{0xDD, 0x00, 0x00, 0x00, 0x01, 0x91, 0x90}, "[[[]]]", 7},
      {{0x82, 0xA1, 'b', 0x01, 0xA1, 'a', 0x92, 0x80, 0xA0}, R"({"a":[{},""],"b":1})", 9},
      {{0x82, 0xA1, 'k', 0x01, 0xA1, 'k', 0x91, 0x02}, R"({"k":[2]})", 8},
      {{0xDF, 0x00, 0x00, 0x00, 0x01, 0xDA, 0x00, 0x01, 'z', 0x93, 0x81, 0xA0, 0x90, 0x90, 0x80},
       R"({"z":[{"":[]},[],{}]})",
       15},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Describe(row.bytes));
    MsgPackDecoded decoded = Decode(row.bytes);
    ASSERT_TRUE(decoded.value.Succeeded()) << decoded.value.ErrorMessage();
    EXPECT_EQ(WriteJson(*decoded.value), row.json);
    EXPECT_EQ(decoded.consumed, row.consumed);
  }
}

TEST(MsgPackDecode, ReportsEachFailureWithItsPosition) {
  struct Row {
    ByteList bytes;
    const char* message;
  };
  const Row rows[] = {
      {{}, "Invalid MessagePack data. 8-bit integer value at position 0 is truncated."},
      {{0xCC}, "Invalid MessagePack data. 8-bit integer value at position 1 is truncated."},
      {{0xCE, 0x00}, "Invalid MessagePack data. 32-bit integer value at position 1 is truncated."},
      {{0xCB, 0, 0, 0, 0, 0, 0, 0},
       "Invalid MessagePack data. 64-bit integer value at position 1 is truncated."},
      {{0xA3, 'a'}, "Invalid MessagePack data. String of size 3 at position 1 is truncated."},
      {{0xDB, 0xFF, 0xFF, 0xFF, 0xFF, 'a'},
       "Invalid MessagePack data. String of size 4294967295 at position 5 is truncated."},
      {{0xC4, 0x05, 0x01},
       "Invalid MessagePack data. Raw bytes of size 5 at position 2 are truncated."},
      {{0xC6, 0xFF, 0xFF, 0xFF, 0xFF},
       "Invalid MessagePack data. Raw bytes of size 4294967295 at position 5 are truncated."},
      {{0x81, 0x01, 0x02}, "Invalid MessagePack data at position 1. Map keys must be strings."},
      {{0x91, 0x82, 0xA1, 'a', 0x01, 0x90},
       "Invalid MessagePack data at position 5. Map keys must be strings."},
      {{0x81, 0xA1, 'a'},
       "Invalid MessagePack data. 8-bit integer value at position 3 is truncated."},
      {{0xC1}, "Invalid MessagePack data at position 0."},
      {{0xC7, 0x01, 0x01, 0x00}, "Invalid MessagePack data at position 0."},
      {{0x92, 0x01, 0xD6, 0xFF, 0, 0, 0, 0}, "Invalid MessagePack data at position 2."},
  };
  for (const Row& row : rows) {
    SCOPED_TRACE(Describe(row.bytes));
    MsgPackDecoded decoded = Decode(row.bytes);
    ASSERT_TRUE(decoded.value.Failed());
    EXPECT_EQ(decoded.value.ErrorMessage(), row.message);
    EXPECT_EQ(decoded.consumed, 0u);
  }
}

TEST(MsgPackDecode, RefusesNestingBeyond512Levels) {
  EXPECT_TRUE(Decode(Repeat({0x91}, 512, {0xC0})).value.Succeeded());
  EXPECT_TRUE(Decode(Repeat({0x81, 0xA1, 'k'}, 512, {0x01})).value.Succeeded());

  struct Row {
    ByteList bytes;
    const char* message;
  };
  const Row rows[] = {
      {Repeat({0x91}, 513, {0xC0}),
       "Invalid MessagePack data at position 512. Nesting exceeds 512 levels."},
      {Repeat({0x81, 0xA1, 'k'}, 513, {0x01}),
       "Invalid MessagePack data at position 1536. Nesting exceeds 512 levels."},
      {Repeat({0xDC, 0xFF, 0xFF}, 100000),
       "Invalid MessagePack data at position 1536. Nesting exceeds 512 levels."},
  };
  for (const Row& row : rows) {
    MsgPackDecoded decoded = Decode(row.bytes);
    ASSERT_TRUE(decoded.value.Failed());
    EXPECT_EQ(decoded.value.ErrorMessage(), row.message);
  }
}

TEST(MsgPackDecode, DeclaredCountsDoNotReserveMemory) {
  // Headers may declare up to 2^32 items; only what the input holds is ever reserved. An
  // unbounded reservation here would abort the test (bad_alloc, or the sanitizer's limit).
  struct Row {
    ByteList bytes;
    const char* message;
  };
  const Row rows[] = {
      {{0xDD, 0xFF, 0xFF, 0xFF, 0xFF},
       "Invalid MessagePack data. 8-bit integer value at position 5 is truncated."},
      // Each of 500 nested headers could pass a "fits in the remaining bytes" check on its own.
      {Repeat({0xDD, 0x7F, 0xFF, 0xFF, 0xFF}, 500, ByteList(200000, 0xC0)),
       "Invalid MessagePack data. 8-bit integer value at position 202500 is truncated."},
      {Repeat({0xDF, 0x7F, 0xFF, 0xFF, 0xFF, 0xA0}, 500, ByteList(200000, 0xA0)),
       "Invalid MessagePack data. 8-bit integer value at position 203000 is truncated."},
  };
  for (const Row& row : rows) {
    MsgPackDecoded decoded = Decode(row.bytes);
    ASSERT_TRUE(decoded.value.Failed());
    EXPECT_EQ(decoded.value.ErrorMessage(), row.message);
  }
}

}  // namespace
}  // namespace qor
