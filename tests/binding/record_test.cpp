#include "binding/record.h"

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

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

  // Reads `input` into a default Item; the failure message, or "" on success.
  std::string ReadItem(const BindingProperty& input, Item& item) {
    MaybeType<Failure, void> result = FromBinding(input, item, registry_, "item");
    return result.ErrorMessage();
  }

  TypeRegistry registry_;
};

BindingProperty PriceTree(const char* currency, std::int64_t cost) {
  BindingProperty price;
  price.MutableMember("currency") = currency;
  price.MutableMember("cost") = cost;
  return price;
}

TEST_F(RecordTest, WritesEveryFieldInKeyOrderAndOmitsEmptyOnes) {
  Item item;
  item.id = 7;
  item.prices = {{"RP", 975}, {"IP", 6300}};
  item.counts = {{"b", 2}, {"a", 1}};
  item.state = State::Busy;
  MaybeType<Failure, BindingProperty> written = ToBinding(item, registry_);
  ASSERT_TRUE(written.Succeeded()) << written.ErrorMessage();
  const BindingProperty& tree = *written;

  std::vector<std::string> keys;
  for (const BindingMember& member : tree.Members())
    keys.emplace_back(member.Key());
  // "sale" (nothing), "extra" (Empty) and "flags" (0) are omitted; "rank" is written as Empty.
  EXPECT_EQ(keys,
            (std::vector<std::string>{"counts", "id", "name", "owned", "prices", "rank", "state"}));
  EXPECT_TRUE(tree.Member("rank").IsEmpty());
  EXPECT_EQ(tree.Member("id"), BindingProperty(7));
  EXPECT_EQ(tree.Member("owned"), BindingProperty(false));
  EXPECT_EQ(tree.Member("state"), BindingProperty(EnumValue{1, StaticType::Id<State>()}));
  EXPECT_EQ(tree.Member("prices").Element(1), PriceTree("IP", 6300));
  EXPECT_EQ(tree.Member("counts").Member("a"), BindingProperty(1));

  // The omit-when-empty field is present once its value is not empty.
  item.flags = 1;
  item.sale = Price{"RP", 0};
  written = ToBinding(item, registry_);
  EXPECT_EQ(written->Member("flags"), BindingProperty(1u));
  EXPECT_EQ(written->Member("sale"), PriceTree("RP", 0));
}

TEST_F(RecordTest, RoundTripKeepsValues) {
  Item item;
  item.id = -3;
  item.name = "Skin";
  item.rank = 4;
  item.sale = Price{"IP", 10};
  item.prices = {{"RP", 1}};
  item.counts = {{"x", 9}};
  item.state = State::Error;
  item.extra.MutableMember("any").Append() = 2.5;
  item.owned = true;
  item.flags = 12;
  MaybeType<Failure, BindingProperty> written = ToBinding(item, registry_);
  ASSERT_TRUE(written.Succeeded());
  MaybeType<Failure, Item> back = FromBinding<Item>(*written, registry_, "item");
  ASSERT_TRUE(back.Succeeded()) << back.ErrorMessage();
  EXPECT_EQ(back->id, -3);
  EXPECT_EQ(back->name, "Skin");
  EXPECT_EQ(back->rank, 4);
  ASSERT_TRUE(back->sale.has_value());
  EXPECT_EQ(back->sale->cost, 10);
  ASSERT_EQ(back->prices.size(), 1u);
  EXPECT_EQ(back->prices[0].currency, "RP");
  EXPECT_EQ(back->counts, item.counts);
  EXPECT_EQ(back->state, State::Error);
  EXPECT_EQ(back->extra, item.extra);
  EXPECT_TRUE(back->owned);
  EXPECT_EQ(back->flags, 12u);
}

TEST_F(RecordTest, ExtraMembersAreIgnoredAndAbsentFieldsKeepDefaults) {
  BindingProperty input;
  input.MutableMember("id") = "0x20";
  input.MutableMember("unknown") = "ignored";
  input.MutableMember("name");  // Empty: left unchanged
  input.MutableMember("state") = "BUSY";
  Item item;
  EXPECT_EQ(ReadItem(input, item), "");
  EXPECT_EQ(item.id, 32);
  EXPECT_EQ(item.name, "unnamed");
  EXPECT_FALSE(item.rank.has_value());
  EXPECT_FALSE(item.sale.has_value());
  EXPECT_EQ(item.state, State::Busy);
}

// A Structure holding exactly the record's fields is matched by position; any extra or missing
// member moves the others, and every field must still read its own member.
TEST_F(RecordTest, EveryFieldReadsItsOwnMemberWhateverSurroundsIt) {
  const auto full = [] {
    BindingProperty input;
    input.MutableMember("id") = 7;
    input.MutableMember("name") = "seven";
    input.MutableMember("rank") = 3;
    input.MutableMember("sale") = PriceTree("RP", 5);
    input.MutableMember("prices").Append() = PriceTree("IP", 9);
    input.MutableMember("counts").MutableMember("a") = 1;
    input.MutableMember("state") = "BUSY";
    input.MutableMember("extra") = "x";
    input.MutableMember("owned") = true;
    input.MutableMember("flags") = 12u;
    return input;
  };
  const std::function<void(BindingProperty&)> changes[] = {
      [](BindingProperty&) {},
      [](BindingProperty& input) { input.MutableMember("aaa") = "sorts first"; },
      [](BindingProperty& input) { input.MutableMember("mmm") = "sorts in between"; },
      [](BindingProperty& input) { input.MutableMember("zzz") = "sorts last"; },
      [](BindingProperty& input) { input.RemoveMember("counts"); },
      [](BindingProperty& input) { input.RemoveMember("extra"); },
  };
  for (std::size_t c = 0; c < std::size(changes); ++c) {
    SCOPED_TRACE(c);
    BindingProperty input = full();
    changes[c](input);
    Item item;
    ASSERT_EQ(ReadItem(input, item), "");
    EXPECT_EQ(item.id, 7);
    EXPECT_EQ(item.name, "seven");
    EXPECT_EQ(item.rank, 3);
    ASSERT_TRUE(item.sale.has_value());
    EXPECT_EQ(item.sale->currency, "RP");
    ASSERT_EQ(item.prices.size(), 1u);
    EXPECT_EQ(item.prices[0].cost, 9);
    EXPECT_EQ(item.counts.size(), input.HasMember("counts") ? 1u : 0u);
    EXPECT_EQ(item.state, State::Busy);
    EXPECT_EQ(item.extra.GetString(), input.HasMember("extra") ? "x" : "");
    EXPECT_TRUE(item.owned);
    EXPECT_EQ(item.flags, 12u);
  }
}

TEST_F(RecordTest, RefusalsNameTheInnermostField) {
  struct Case {
    const char* label;
    std::function<void(BindingProperty&)> shape;
    std::string message;
  };
  const Case cases[] = {
      {"missing required field", [](BindingProperty& in) { in.MutableMember("name") = "n"; },
       "Couldn't assign value to 'item' of type Item because the input structure doesn't have "
       "required field 'id'."},
      {"required field present but Empty", [](BindingProperty& in) { in.MutableMember("id"); },
       "Couldn't assign value to 'item' of type Item because the input structure doesn't have "
       "required field 'id'."},
      {"not a structure", [](BindingProperty& in) { in = "text"; },
       "Couldn't assign value to 'item' of type Item because the input not a structure."},
      {"empty input", [](BindingProperty& in) { in.Clear(); }, "A value for 'item' is required."},
      {"nested field",
       [](BindingProperty& in) {
         in.MutableMember("id") = 1;
         in.MutableMember("prices").Append() = PriceTree("RP", 1);
         in.MutableMember("prices").Append().MutableMember("cost") = 2;
       },
       "Couldn't assign value to 'prices' of type Price because the input structure doesn't have "
       "required field 'currency'."},
      {"nested scalar",
       [](BindingProperty& in) {
         in.MutableMember("id") = 1;
         in.MutableMember("sale") = PriceTree("RP", 1);
         in.MutableMember("sale").MutableMember("cost") = "lots";
       },
       "Value lots for 'cost' of type int64 is in an incorrect format"},
      {"vector from a scalar",
       [](BindingProperty& in) {
         in.MutableMember("id") = 1;
         in.MutableMember("prices") = 3;
       },
       "Couldn't assign value to 'prices' of type vector because the input not a collection."},
      {"map from a collection",
       [](BindingProperty& in) {
         in.MutableMember("id") = 1;
         in.MutableMember("counts").Append() = 1;
       },
       "Couldn't assign value to 'counts' of type map because the input not a structure."},
      {"map value",
       [](BindingProperty& in) {
         in.MutableMember("id") = 1;
         in.MutableMember("counts").MutableMember("k") = "v";
       },
       "Value v for 'counts' of type int32 is in an incorrect format"},
      {"enum",
       [](BindingProperty& in) {
         in.MutableMember("id") = 1;
         in.MutableMember("state") = "SLEEPING";
       },
       "SLEEPING is not a valid State enumeration value for 'state'."},
  };
  for (const Case& c : cases) {
    BindingProperty input;
    c.shape(input);
    Item item;
    EXPECT_EQ(ReadItem(input, item), c.message) << c.label;
  }
}

TEST_F(RecordTest, VectorAndMapReadingSkipsEmptyEntries) {
  BindingProperty input;
  input.MutableMember("id") = 1;
  input.MutableMember("prices").MutableElement(1) = PriceTree("RP", 5);
  input.MutableMember("counts").MutableMember("a") = 1;
  input.MutableMember("counts").MutableMember("b");
  Item item;
  item.prices = {{"old", 1}, {"old", 2}, {"old", 3}};
  item.counts = {{"stale", 1}};
  ASSERT_EQ(ReadItem(input, item), "");
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
  MaybeType<Failure, BindingProperty> written = ToBinding(wrapper, registry_);
  EXPECT_EQ(written.ErrorMessage(),
            "Couldn't convert native value because it's an unregistered structure.");
  EXPECT_EQ(ToBinding(Unregistered{}, registry_).ErrorMessage(),
            "Couldn't convert native value because it's an unregistered structure.");

  BindingProperty input;
  input.MutableMember("a") = 1;
  MaybeType<Failure, Unregistered> read = FromBinding<Unregistered>(input, registry_, "arg");
  EXPECT_EQ(read.ErrorMessage(),
            "Couldn't assign value to 'arg' because the input is an unregistered structure or not "
            "a structure at all.");
}

TEST_F(RecordTest, DeclarationRecordsTypesOffsetsAndFlags) {
  const TypeRecord* item = registry_.FindType("Item");
  ASSERT_NE(item, nullptr);
  EXPECT_EQ(item->Description(), "A store item.");
  ASSERT_EQ(item->Fields().size(), 10u);
  const FieldRecord* sale = item->FindField("sale");
  EXPECT_TRUE(sale->optional);
  EXPECT_TRUE(sale->OmitWhenEmpty());
  EXPECT_EQ(sale->type.type, NativeType::Struct);
  EXPECT_EQ(sale->type.record, registry_.FindType("Price"));  // declared before Item
  EXPECT_EQ(item->FindField("id")->flags, kRequired);
  EXPECT_EQ(item->FindField("id")->type.type, NativeType::Int64);
  EXPECT_EQ(item->FindField("flags")->type.type, NativeType::UInt32);
  EXPECT_EQ(item->FindField("extra")->type.type, NativeType::Object);
  EXPECT_EQ(item->FindField("state")->typeId, &StaticType::Record<State>());
  EXPECT_EQ(item->FindField("id")->offset, 0u);
}

}  // namespace
}  // namespace qor
