#include "binding/msgpack.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "tests/binding/shown.h"

namespace qor {
namespace {

using ByteList = std::vector<std::uint8_t>;

MsgPackDecoded Decode(const ByteList& bytes) {
  return DecodeMsgPack(bytes.data(), bytes.size());
}

ByteList Repeat(const ByteList& part, std::size_t times, const ByteList& tail = {}) {
  ByteList out;
  for (std::size_t i = 0; i < times; ++i)
    out.insert(out.end(), part.begin(), part.end());
  out.insert(out.end(), tail.begin(), tail.end());
  return out;
}

// Each row: the bytes, what they decode to (see Shown) and how many bytes the value took. The
// conformance vectors check every format's value; the rows here, the kinds chosen.
TEST(MsgPackDecode, DecodesEachFormatOrSaysWhereItFails) {
  const std::string kTruncated = "! Invalid MessagePack data. 8-bit integer value at position ";
  const std::string kTooDeep =
      "! Invalid MessagePack data at position 1536. Nesting exceeds 512 levels.";
  struct Row {
    ByteList bytes;
    std::string shown;
    std::size_t consumed = 0;
  };
  const Row rows[] = {
      {{0x05}, "signed 5", 1},
      {{0xCC, 0x05}, "unsigned 5", 2},
      {{0xCF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF}, "unsigned 18446744073709551615", 9},
      {{0xD3, 0x80, 0, 0, 0, 0, 0, 0, 0}, "signed -9223372036854775808", 9},
      {{0xCA, 0x3F, 0xC0, 0x00, 0x00}, "float 1.500000", 5},
      {{0xA3, 'a', 0x00, 'c'}, std::string("string a\0c", 10), 4},
      {{0xC6, 0x00, 0x00, 0x00, 0x00}, "blob", 5},
      // Containers; trailing bytes are left for the caller.
      {{0x92, 0x01, 0x02, 0x03}, "collection [1,2]", 3},
      {{0x90, 0x90}, "collection []", 1},
      {{0xDD, 0x00, 0x00, 0x00, 0x01, 0x91, 0x90}, "collection [[[]]]", 7},
      {{0x82, 0xA1, 'b', 0x01, 0xA1, 'a', 0x92, 0x80, 0xA0}, R"(structure {"a":[{},""],"b":1})", 9},
      {{0x82, 0xA1, 'k', 0x01, 0xA1, 'k', 0x91, 0x02}, R"(structure {"k":[2]})", 8},
      {{0xDF, 0x00, 0x00, 0x00, 0x01, 0xDA, 0x00, 0x01, 'z', 0x93, 0x81, 0xA0, 0x90, 0x90, 0x80},
       R"(structure {"z":[{"":[]},[],{}]})",
       15},
      // Failures take no bytes.
      {{}, "! Invalid MessagePack data. 8-bit integer value at position 0 is truncated."},
      {{0xCC}, "! Invalid MessagePack data. 8-bit integer value at position 1 is truncated."},
      {{0xCE, 0x00},
       "! Invalid MessagePack data. 32-bit integer value at position 1 is truncated."},
      {{0xCB, 0, 0, 0, 0, 0, 0, 0},
       "! Invalid MessagePack data. 64-bit integer value at position 1 is truncated."},
      {{0xA3, 'a'}, "! Invalid MessagePack data. String of size 3 at position 1 is truncated."},
      {{0xDB, 0xFF, 0xFF, 0xFF, 0xFF, 'a'},
       "! Invalid MessagePack data. String of size 4294967295 at position 5 is truncated."},
      {{0xC4, 0x05, 0x01},
       "! Invalid MessagePack data. Raw bytes of size 5 at position 2 are truncated."},
      {{0xC6, 0xFF, 0xFF, 0xFF, 0xFF},
       "! Invalid MessagePack data. Raw bytes of size 4294967295 at position 5 are truncated."},
      {{0x81, 0x01, 0x02}, "! Invalid MessagePack data at position 1. Map keys must be strings."},
      {{0x91, 0x82, 0xA1, 'a', 0x01, 0x90},
       "! Invalid MessagePack data at position 5. Map keys must be strings."},
      {{0x81, 0xA1, 'a'},
       "! Invalid MessagePack data. 8-bit integer value at position 3 is truncated."},
      {{0xC1}, "! Invalid MessagePack data at position 0."},
      {{0xC7, 0x01, 0x01, 0x00}, "! Invalid MessagePack data at position 0."},
      {{0x92, 0x01, 0xD6, 0xFF, 0, 0, 0, 0}, "! Invalid MessagePack data at position 2."},
      {Repeat({0x91}, 513, {0xC0}),
       "! Invalid MessagePack data at position 512. Nesting exceeds 512 levels."},
      {Repeat({0x81, 0xA1, 'k'}, 513, {0x01}), kTooDeep},
      {Repeat({0xDC, 0xFF, 0xFF}, 100000), kTooDeep},
      // Headers may declare up to 2^32 items; only what the input holds is ever reserved. An
      // unbounded reservation here would abort the test (bad_alloc, or the sanitizer's limit).
      {{0xDD, 0xFF, 0xFF, 0xFF, 0xFF}, kTruncated + "5 is truncated."},
      // Each of 500 nested headers could pass a "fits in the remaining bytes" check on its own.
      {Repeat({0xDD, 0x7F, 0xFF, 0xFF, 0xFF}, 500, ByteList(200000, 0xC0)),
       kTruncated + "202500 is truncated."},
      {Repeat({0xDF, 0x7F, 0xFF, 0xFF, 0xFF, 0xA0}, 500, ByteList(200000, 0xA0)),
       kTruncated + "203000 is truncated."},
  };
  for (const Row& row : rows) {
    const MsgPackDecoded decoded = Decode(row.bytes);
    EXPECT_EQ(Shown(decoded.value), row.shown) << "row " << &row - rows;
    EXPECT_EQ(decoded.consumed, row.consumed);
  }
  EXPECT_TRUE(Decode(Repeat({0x91}, 512, {0xC0})).value.Succeeded());
  EXPECT_TRUE(Decode(Repeat({0x81, 0xA1, 'k'}, 512, {0x01})).value.Succeeded());
}

}  // namespace
}  // namespace qor
