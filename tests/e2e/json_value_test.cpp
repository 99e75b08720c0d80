#include "host/json_value.h"

#include <gtest/gtest.h>

#include <cmath>

namespace qor::host {
namespace {

TEST(OwnedHostValue, FromJsonChoosesTagsAndRoundTrips) {
  struct Case {
    const char* json;
    uint32_t tag;
    const char* written;
  };
  const Case cases[] = {
      {"null", HOST_VALUE_EMPTY, "null"},
      {"true", HOST_VALUE_BOOL, "true"},
      {"-5", HOST_VALUE_SIGNED, "-5"},
      {"9223372036854775807", HOST_VALUE_SIGNED, "9223372036854775807"},
      {"18446744073709551615", HOST_VALUE_UNSIGNED, "18446744073709551615"},
      {"1.5", HOST_VALUE_FLOAT, "1.5"},
      {"\"caf\\u00e9\"", HOST_VALUE_OWNED_STRING, "\"caf\xC3\xA9\""},
      {R"("a\"b\\c")", HOST_VALUE_OWNED_STRING, R"("a\"b\\c")"},
      {"[1, [2], {}]", HOST_VALUE_COLLECTION, "[1,[2],{}]"},
      {R"({"b": 1, "a": 2, "b": 3})", HOST_VALUE_STRUCTURE, R"({"a":2,"b":3})"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.json);
    MaybeType<Failure, OwnedHostValue> value = OwnedHostValue::FromJson(c.json);
    ASSERT_TRUE(value) << value.ErrorMessage();
    EXPECT_EQ(value->Get().tag, c.tag);
    MaybeType<Failure, std::string> json = HostValueToJson(value->Get());
    ASSERT_TRUE(json);
    EXPECT_EQ(*json, c.written);
  }
}

TEST(OwnedHostValue, RefusesInvalidAndTooDeepJson) {
  MaybeType<Failure, OwnedHostValue> invalid = OwnedHostValue::FromJson("{\"a\":");
  EXPECT_EQ(invalid.Status(), 400);
  EXPECT_EQ(invalid.ErrorMessage().rfind("Invalid JSON: ", 0), 0u);
  EXPECT_EQ(OwnedHostValue::FromJson(std::string(513, '[') + std::string(513, ']')).ErrorMessage(),
            "Invalid JSON: Nesting exceeds 512 levels in '<body>'.");

  // Far deeper than any stack could recurse: still a plain failure.
  EXPECT_FALSE(OwnedHostValue::FromJson(std::string(1000000, '[')));
}

TEST(OwnedHostValue, BuildersKeepPointersValidAfterMoves) {
  std::vector<OwnedHostValue> items;
  items.push_back(OwnedHostValue::Text("a"));
  items.push_back(OwnedHostValue::Text("b"));
  std::vector<std::pair<std::string, OwnedHostValue>> members;
  members.emplace_back("name", OwnedHostValue::Text("qor"));
  members.emplace_back("list", OwnedHostValue::Collection(std::move(items)));
  OwnedHostValue structure = OwnedHostValue::Structure(std::move(members));
  OwnedHostValue moved = std::move(structure);
  EXPECT_EQ(HostValueToJson(moved.Get()).Value(), R"({"list":["a","b"],"name":"qor"})");
}

TEST(HostValueToJson, WritesEveryTagSafely) {
  const char text[] = "ab\0cd";
  const uint8_t bytes[] = {'f', 'o', 'o'};
  const char invalid[] = "a\xFF\xC3";
  HostValue values[] = {
      {HOST_VALUE_STRING, 5, {.text = text}},  // read up to the NUL within its length
      {HOST_VALUE_BLOB, 3, {.bytes = bytes}},
      {HOST_VALUE_FLOAT, 0, {.floatValue = std::nan("")}},
      {HOST_VALUE_STRING, 3, {.text = invalid}},   // invalid UTF-8 is replaced, never written raw
      {HOST_VALUE_STRING, 10, {.text = nullptr}},  // a null text with a length reads as empty
  };
  const HostValue list{HOST_VALUE_COLLECTION, 5, {.elements = values}};
  MaybeType<Failure, std::string> json = HostValueToJson(list);
  ASSERT_TRUE(json) << json.ErrorMessage();
  EXPECT_EQ(*json, "[\"ab\",\"Zm9v\",null,\"a\xEF\xBF\xBD\xEF\xBF\xBD\",\"\"]");
}

TEST(HostValueToJson, FailsOnUnknownTagsAndDeepTrees) {
  HostValue unknown{};
  unknown.tag = 11;
  EXPECT_EQ(HostValueToJson(unknown).ErrorMessage(), "Unsupported value tag 11.");

  std::vector<HostValue> chain(514);
  for (size_t i = 0; i + 1 < chain.size(); ++i) {
    chain[i].tag = HOST_VALUE_COLLECTION;
    chain[i].length = 1;
    chain[i].data.elements = &chain[i + 1];
  }
  EXPECT_EQ(HostValueToJson(chain[0]).ErrorMessage(), "Nesting exceeds 512 levels in '<value>'.");
}

}  // namespace
}  // namespace qor::host
