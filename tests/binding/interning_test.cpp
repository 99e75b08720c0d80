// Texts whose FNV-1a hashes collide stay apart in a tree's string table.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "binding/detail/context.h"
#include "binding/json.h"
#include "binding/msgpack.h"
#include "binding/property.h"
#include "binding/yaml.h"

namespace qor {
namespace {

TEST(StringTable, TextsWithTheSameHashKeepTheirOwnEntries) {
  // Pairs of equal FNV-1a 32 hashes: of equal length (compared byte for byte) and not.
  const char* const texts[] = {"declinate", "macallums",  "altarages",
                               "zinkes",    "costarring", "liquid"};
  BindingProperty tree;
  for (int round = 0; round < 2; ++round) {
    for (const char* text : texts)
      tree.Append() = text;
  }
  for (const char* text : texts)
    EXPECT_EQ(tree.Context()->References(text), 2u) << text;
  EXPECT_EQ(tree.Context()->InternedCount(), std::size(texts));
  EXPECT_EQ(tree.Element(7).GetString(), "macallums");
}

// The readers remember recent texts while they build a tree; when they are done, each text of
// the tree has one reference per use, and a text that only a dropped member held is gone.
TEST(StringTable, ReadersLeaveOneReferencePerUse) {
  const std::string kLong(40, 'L');  // longer than the texts the readers remember
  const std::string json = R"([{"kind":"gone","kind":"CHAMPION","id":"x"},)"
                           R"({"kind":"CHAMPION","long":")" +
                           kLong +
                           R"("},)"
                           R"({"kind":"x","long":")" +
                           kLong + R"("}])";
  std::vector<std::uint8_t> msgpack{0x93, 0x83};
  auto text = [&msgpack](std::string_view value) {
    msgpack.push_back(static_cast<std::uint8_t>(value.size() < 32 ? 0xA0 | value.size() : 0xD9));
    if (value.size() >= 32) msgpack.push_back(static_cast<std::uint8_t>(value.size()));
    msgpack.insert(msgpack.end(), value.begin(), value.end());
  };
  for (const char* piece : {"kind", "gone", "kind", "CHAMPION", "id", "x"})
    text(piece);
  msgpack.push_back(0x82);
  for (const std::string& piece :
       {std::string("kind"), std::string("CHAMPION"), std::string("long"), kLong})
    text(piece);
  msgpack.push_back(0x82);
  for (const std::string& piece :
       {std::string("kind"), std::string("x"), std::string("long"), kLong})
    text(piece);

  // Kept as read: a copy of a tree interns its texts anew.
  const auto fromJson = ParseJson(json);
  const auto fromMsgPack = DecodeMsgPack(msgpack);
  const auto fromYaml = ParseYaml(json);
  for (const BindingProperty* tree :
       {&fromJson.Property(), &fromMsgPack.value.Property(), &fromYaml.Property()}) {
    ASSERT_EQ(WriteJson(*tree), R"([{"id":"x","kind":"CHAMPION"},{"kind":"CHAMPION","long":")" +
                                    kLong + R"("},{"kind":"x","long":")" + kLong + R"("}])");
    const BindingContext& context = *tree->Context();
    EXPECT_EQ(context.References("gone"), 0u);
    EXPECT_EQ(context.References("kind"), 3u);
    EXPECT_EQ(context.References("CHAMPION"), 2u);
    EXPECT_EQ(context.References("x"), 2u);
    EXPECT_EQ(context.References(kLong), 2u);
    EXPECT_EQ(context.InternedCount(), 6u);  // kind, id, x, CHAMPION, long and kLong
  }
}

// Texts of String values wait in batches to be interned, while their values move from the
// builder's stacks into their containers, and containers with keys out of order are sorted
// and lose repeated members. Whatever the batches straddle, each text lands in its own value:
// the JSON reader, which lets texts wait, builds what the YAML reader, which does not, builds.
TEST(StringTable, TextsThatWaitLandInTheirOwnValues) {
  std::string json = "[";
  for (int record = 0; record < 60; ++record) {
    const std::string n = std::to_string(record);
    const std::string tail = std::string(static_cast<std::size_t>(record % 45), '~') + n;
    if (record != 0) json += ",";
    if (record % 3 != 0) {
      // Keys in order, texts short and long, some repeated, nested.
      json += R"({"a":[")" + n + R"(","the first element of record )" + n + R"(",{"x":"RP","y":")" +
              tail + R"("}],"b":")" + tail + R"(","c":{"d":"long enough to wait for its batch )" +
              n + R"("},"e":[")" + tail + R"(",")" + n + R"("]})";
    } else {
      // Keys out of order and a repeated key, whose first value (with its texts) goes.
      json += R"({"z":"last )" + tail + R"(","a":[")" + n + R"(",{"y":")" + tail +
              R"(","x":"RP"}],"m":{"b":")" + tail + R"(","a":"RP"},"a":"kept instead )" + tail +
              R"("})";
    }
  }
  // A Collection that holds more waiting texts than a batch, opened after another one waits.
  json += R"(,{"a":"waits before the list opens","b":[)";
  for (int element = 0; element < 40; ++element)
    json += (element != 0 ? ",\"" : "\"") + std::string(33, 'e') + std::to_string(element) + "\"";
  json += "]}]";
  const auto fromJson = ParseJson(json);
  const auto fromYaml = ParseYaml(json);
  ASSERT_TRUE(fromJson.Succeeded() && fromYaml.Succeeded());
  EXPECT_EQ(WriteJson(fromJson.Property()), WriteJson(fromYaml.Property()));
  EXPECT_EQ(fromJson.Property().Context()->InternedCount(),
            fromYaml.Property().Context()->InternedCount());
  EXPECT_EQ(fromJson.Property().Context()->References("RP"), 60u);  // 40 in order, 20 in "m"
}

}  // namespace
}  // namespace qor
