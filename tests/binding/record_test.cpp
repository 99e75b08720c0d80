#include "binding/record.h"

#include <gtest/gtest.h>

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "binding/json.h"

namespace qor {
namespace {

enum class State : std::int32_t { Error = -1, Idle = 0, Busy = 1 };

struct Price {
  std::string currency;
  std::int64_t cost = 0;
};

struct Item {
  std::int64_t id = 0;
  std::string name = "unnamed";
  std::optional<std::int32_t> rank;
  std::optional<Price> sale;
  std::vector<Price> prices;
  std::map<std::string, std::int32_t> counts;
  State state = State::Idle;
  BindingProperty extra;
  bool owned = false;
  std::uint32_t flags = 0;
};

struct Unregistered {
  int a = 0;
};

struct Wrapper {
  std::vector<Unregistered> inner;
};

class RecordTest : public ::testing::Test {
 protected:
  RecordTest() {
    DeclareEnum<State>(registry_, "State")
        .Value("ERROR", State::Error)
        .Value("IDLE", State::Idle)
        .Value("BUSY", State::Busy);
    DeclareRecord<Price>(registry_, "Price")
        .Field("currency", &Price::currency, kRequired)
        .Field("cost", &Price::cost);
    DeclareRecord<Item>(registry_, "Item", "A store item.")
        .Field("id", &Item::id, kRequired)
        .Field("name", &Item::name)
        .Field("rank", &Item::rank)
        .Field("sale", &Item::sale, kOmitWhenEmpty)
        .Field("prices", &Item::prices)
        .Field("counts", &Item::counts)
        .Field("state", &Item::state)
        .Field("extra", &Item::extra, kOmitWhenEmpty)
        .Field("owned", &Item::owned)
        .Field("flags", &Item::flags, kOmitWhenEmpty);
    DeclareRecord<Wrapper>(registry_, "Wrapper").Field("inner", &Wrapper::inner);
  }

  TypeRegistry registry_;
};

BindingProperty Json(std::string_view text) {
  return ParseJson(text).Value();
}

TEST_F(RecordTest, WritesEveryFieldInKeyOrderAndOmitsEmptyOnes) {
  Item item;
  item.id = 7;
  item.prices = {{"RP", 975}, {"IP", 6300}};
  item.counts = {{"b", 2}, {"a", 1}};
  item.state = State::Busy;
  // "sale" (nothing), "extra" (Empty) and "flags" (0) are omitted; "rank" is written as Empty.
  MaybeType<Failure, BindingProperty> written = ToBinding(item, registry_);
  EXPECT_EQ(WriteJson(*written, &registry_),
            R"({"counts":{"a":1,"b":2},"id":7,"name":"unnamed","owned":false,)"
            R"("prices":[{"cost":975,"currency":"RP"},{"cost":6300,"currency":"IP"}],)"
            R"("rank":null,"state":"BUSY"})");
  // The omit-when-empty fields are present once their values are not empty.
  item.flags = 1;
  item.sale = Price{"RP", 0};
  written = ToBinding(item, registry_);
  EXPECT_EQ(written->Member("flags"), BindingProperty(1u));
  EXPECT_EQ(WriteJson(written->Member("sale")), R"({"cost":0,"currency":"RP"})");
}

// A Structure holding exactly the record's fields is matched by position; any extra or missing
// member moves the others, and every field must still read its own member.
TEST_F(RecordTest, EveryFieldReadsItsOwnMemberWhateverSurroundsIt) {
  const std::string full =
      R"("id":"0x7","name":"seven","rank":3,"sale":{"currency":"RP","cost":5},)"
      R"("prices":[{"currency":"IP","cost":9}],"state":"BUSY","owned":true,"flags":12)";
  for (const std::string& text :
       {"{" + full + R"(,"counts":{"a":1},"extra":"x"})", R"({"aaa":0,)" + full + "}",
        "{" + full + R"(,"mmm":0,"zzz":0})"}) {
    SCOPED_TRACE(text);
    Item item;
    ASSERT_TRUE(FromBinding(Json(text), item, registry_, "item").Succeeded());
    EXPECT_EQ(item.id, 7);
    EXPECT_EQ(item.name, "seven");
    EXPECT_EQ(item.rank, 3);
    ASSERT_TRUE(item.sale.has_value());
    EXPECT_EQ(item.sale->currency, "RP");
    ASSERT_EQ(item.prices.size(), 1u);
    EXPECT_EQ(item.prices[0].cost, 9);
    EXPECT_EQ(item.counts.size(), text.find("counts") != std::string::npos ? 1u : 0u);
    EXPECT_EQ(item.state, State::Busy);
    EXPECT_EQ(item.extra.GetString(), text.find("extra") != std::string::npos ? "x" : "");
    EXPECT_TRUE(item.owned);
    EXPECT_EQ(item.flags, 12u);
  }
}

TEST_F(RecordTest, RefusalsNameTheInnermostField) {
  const std::string noField =
      "Couldn't assign value to '%1' of type %2 because the input structure doesn't have "
      "required field '%3'.";
  const std::pair<const char*, std::string> cases[] = {
      {R"({"name":"n"})", Format(noField, "item", "Item", "id")},
      {R"({"id":null})", Format(noField, "item", "Item", "id")},
      {R"("text")",
       "Couldn't assign value to 'item' of type Item because the input not a structure."},
      {"", "A value for 'item' is required."},
      {R"({"id":1,"prices":[{"currency":"RP"},{"cost":2}]})",
       Format(noField, "prices", "Price", "currency")},
      {R"({"id":1,"sale":{"currency":"RP","cost":"lots"}})",
       "Value lots for 'cost' of type int64 is in an incorrect format"},
      {R"({"id":1,"prices":3})",
       "Couldn't assign value to 'prices' of type vector because the input not a collection."},
      {R"({"id":1,"counts":[1]})",
       "Couldn't assign value to 'counts' of type map because the input not a structure."},
      {R"({"id":1,"counts":{"k":"v"}})",
       "Value v for 'counts' of type int32 is in an incorrect format"},
      {R"({"id":1,"state":"SLEEPING"})",
       "SLEEPING is not a valid State enumeration value for 'state'."},
  };
  for (const auto& [text, message] : cases) {
    Item item;
    EXPECT_EQ(FromBinding(Json(text), item, registry_, "item").ErrorMessage(), message) << text;
  }
}

TEST_F(RecordTest, VectorAndMapReadingSkipsEmptyEntries) {
  Item item;
  item.prices = {{"old", 1}, {"old", 2}, {"old", 3}};
  item.counts = {{"stale", 1}};
  ASSERT_TRUE(FromBinding(Json(R"({"id":1,"prices":[null,{"currency":"RP","cost":5}],)"
                               R"("counts":{"a":1,"b":null}})"),
                          item, registry_, "item")
                  .Succeeded());
  ASSERT_EQ(item.prices.size(), 2u);
  EXPECT_EQ(item.prices[0].currency, "");  // Empty element: default-constructed
  EXPECT_EQ(item.prices[1].cost, 5);
  EXPECT_EQ(item.counts, (std::map<std::string, std::int32_t>{{"a", 1}}));

  // A vector read from Empty fails: an absent vector member is simply skipped by the record.
  std::vector<std::int32_t> numbers{1};
  ConversionStatus status;
  Read(status, BindingProperty(), "numbers", numbers, registry_);
  EXPECT_EQ(status.ErrorMessage(),
            "Couldn't assign value to 'numbers' of type vector because the input not a "
            "collection.");
  EXPECT_TRUE(numbers.empty());
}

TEST_F(RecordTest, UnregisteredRecordsFail) {
  Wrapper wrapper;
  wrapper.inner.resize(1);
  EXPECT_EQ(ToBinding(wrapper, registry_).ErrorMessage(),
            "Couldn't convert native value because it's an unregistered structure.");
  EXPECT_EQ(FromBinding<Unregistered>(Json(R"({"a":1})"), registry_, "arg").ErrorMessage(),
            "Couldn't assign value to 'arg' because the input is an unregistered structure or not "
            "a structure at all.");
}

}  // namespace
}  // namespace qor
