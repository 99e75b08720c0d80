// Conversion between binding values and native values: scalars, containers and records.
#include "binding/convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <map>
#include <optional>
#include <string>
#include <tuple>
#include <vector>

#include "binding/record.h"
#include "tests/binding/shown.h"

namespace qor {
namespace {

enum class State : std::int32_t { Error = -1, Idle = 0, Busy = 1, Done = 5 };
enum class Unknown : std::int32_t { A };

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

class ConvertTest : public ::testing::Test {
 protected:
  ConvertTest() {
    DeclareEnum<State>(registry_, "State")
        .Value("ERROR", State::Error)
        .Value("IDLE", State::Idle)
        .Value("BUSY", State::Busy)
        .Value("DONE", State::Done);
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

  // Reads `input` into a T named 'f': the value read, written back (see Shown), or "! " and
  // the failure message.
  template <typename T>
  std::string ReadAs(const BindingProperty& input) {
    T target{};
    ConversionStatus status;
    Read(status, input, "f", target, registry_);
    if (status.Failed()) return "! " + std::string(status.ErrorMessage());
    return Shown(Write(target, registry_));
  }

  std::string ReadAs(std::string_view type, const BindingProperty& input) {
    if (type == "bool") return ReadAs<bool>(input);
    if (type == "int8") return ReadAs<std::int8_t>(input);
    if (type == "int32") return ReadAs<std::int32_t>(input);
    if (type == "int64") return ReadAs<std::int64_t>(input);
    if (type == "uint32") return ReadAs<std::uint32_t>(input);
    if (type == "uint64") return ReadAs<std::uint64_t>(input);
    if (type == "float") return ReadAs<float>(input);
    if (type == "double") return ReadAs<double>(input);
    if (type == "string") return ReadAs<std::string>(input);
    if (type == "blob") return ReadAs<Bytes>(input);
    if (type == "State") return ReadAs<State>(input);
    return ReadAs<Unknown>(input);
  }

  TypeRegistry registry_;
};

std::string Range(std::string_view value, std::string_view type) {
  return Format("! Value %1 for 'f' of type %2 is out of range", value, type);
}
std::string Malformed(std::string_view value, std::string_view type) {
  return Format("! Value %1 for 'f' of type %2 is in an incorrect format", value, type);
}
std::string WrongKind(std::string_view type, std::string_view kind) {
  return Format(
      "! Couldn't assign value to 'f' of type %1 because the input is of an invalid type %2.", type,
      kind);
}
const std::string kRequiredF = "! A value for 'f' is required.";

TEST_F(ConvertTest, ReadsScalarsOrSaysWhyNot) {
  const TypeId state = StaticType::Id<State>();
  const std::string nines(400, '9');
  // Native type, input, and what is read (see ReadAs).
  const std::tuple<const char*, BindingProperty, std::string> rows[] = {
      {"bool", BindingProperty("true"), "bool true"},
      {"bool", BindingProperty("0"), "bool false"},
      {"bool", BindingProperty("True"),
       "! Value True for 'f' of type bool is in an incorrect format. Options are \"true\", "
       "\"false\", \"1\", \"0\"."},
      {"bool", BindingProperty(1u), WrongKind("bool", "unsigned")},
      {"int8", BindingProperty("-129"), Range("-129", "int8")},
      {"int8", BindingProperty(128), Range("128", "int8")},
      {"int8", BindingProperty(-128.9), Range("-128.900000", "int8")},
      {"int32", BindingProperty(), kRequiredF},
      {"int32", BindingProperty("0x10"), "signed 16"},
      {"int32", BindingProperty("12abc"), Malformed("12abc", "int32")},
      {"int32", BindingProperty(""), Malformed("", "int32")},
      {"int32", BindingProperty(2.9), "signed 2"},
      {"int32", BindingProperty(1e20), Range("100000000000000000000.000000", "int32")},
      {"int32", BindingProperty(std::nan("")), Range("nan", "int32")},
      {"int32", BindingProperty(false), WrongKind("int32", "bool")},
      {"int32", BindingProperty(EnumValue{5, state}), "signed 5"},
      {"int64", BindingProperty("9223372036854775808"), Range("9223372036854775808", "int64")},
      {"int64", BindingProperty("-9223372036854775809"), Range("-9223372036854775809", "int64")},
      {"int64", BindingProperty(std::uint64_t{1} << 63), Range("9223372036854775808", "int64")},
      {"int64", BindingProperty(9223372036854775808.0),
       Range("9223372036854775808.000000", "int64")},
      {"int64", BindingProperty(-9223372036854775808.0), "signed -9223372036854775808"},
      {"uint32", BindingProperty(-1), Range("-1", "uint32")},
      {"uint32", BindingProperty("-1"), Range("-1", "uint32")},  // wraps, then fails the range
      {"uint32", BindingProperty(std::uint64_t{4294967296}), Range("4294967296", "uint32")},
      {"uint32", BindingProperty(-0.5), Range("-0.500000", "uint32")},
      {"uint32", BindingProperty(EnumValue{-1, 0}), Range("-1", "uint32")},
      {"uint32", BindingProperty(), kRequiredF},
      {"uint64", BindingProperty(EnumValue{5, state}), "unsigned 5"},
      {"uint64", BindingProperty("-1"), "unsigned 18446744073709551615"},
      {"uint64", BindingProperty("18446744073709551616"), Range("18446744073709551616", "uint64")},
      {"uint64", BindingProperty(18446744073709551616.0),
       Range("18446744073709551616.000000", "uint64")},
      {"uint64", BindingProperty(1e19), "unsigned 10000000000000000000"},
      {"float", BindingProperty(1e39),
       Range("999999999999999939709166371603178586112.000000", "float")},
      {"float", BindingProperty("2.5"), "float 2.500000"},
      {"double", BindingProperty(std::nan("")), "float nan"},
      {"double", BindingProperty(), kRequiredF},
      {"double", BindingProperty(-3), "float -3.000000"},
      {"double", BindingProperty(3u), "float 3.000000"},
      {"double", BindingProperty(EnumValue{5, state}), "float 5.000000"},
      {"double", BindingProperty(std::numeric_limits<double>::infinity()), Range("inf", "double")},
      {"double", BindingProperty("1e400"), Range("1e400", "double")},
      {"double", BindingProperty(nines), Range(nines, "double")},
      {"double", BindingProperty("1e-400"), "float 0.000000"},
      {"double", BindingProperty("1.5x"), Malformed("1.5x", "double")},
      {"double", BindingProperty("+-1"), Malformed("+-1", "double")},
      {"double", BindingProperty(true), WrongKind("double", "bool")},
      {"string", BindingProperty(), kRequiredF},
      {"string", BindingProperty(5),
       "! Couldn't assign value to 'f' because the input is not a string."},
      {"string", BindingProperty(EnumValue{5, state}), "string DONE"},
      {"string", BindingProperty(EnumValue{7, state}),
       "! 7 is not a valid enumeration value for 'f'."},
      {"string", BindingProperty(EnumValue{1, 12345}),
       "! 1 is not a valid enumeration value for 'f'."},
      {"State", BindingProperty("BUSY"), "enum 1"},
      {"State", BindingProperty(5), "enum 5"},
      {"State", BindingProperty(EnumValue{5, state}), "enum 5"},
      {"State", BindingProperty("-1"), "enum -1"},
      {"State", BindingProperty("busy"), "! busy is not a valid State enumeration value for 'f'."},
      {"State", BindingProperty(3), "! 3 is not a valid State enumeration value for 'f'."},
      {"State", BindingProperty(std::int64_t{1} << 32 | 1),
       "! 4294967297 is not a valid State enumeration value for 'f'."},
      {"State", BindingProperty(1.0),
       "! Couldn't assign value to 'f' of enum type because the input is of an invalid type "
       "float."},
      {"Unknown", BindingProperty(0),
       "! Couldn't assign value to 'f' because its enumeration type is not registered."},
      {"blob", BindingProperty(Bytes{'h', 'i'}), "blob aGk="},
      {"blob", BindingProperty("aGk="), "blob aGk="},
      {"blob", BindingProperty("+/9!"), Malformed("+/9!", "blob")},
      {"blob", BindingProperty(), kRequiredF},
      {"blob", BindingProperty(1), WrongKind("blob", "signed")},
  };
  for (const auto& [type, input, expected] : rows)
    EXPECT_EQ(ReadAs(type, input), expected) << type << " " << input.ToText();
}

TEST_F(ConvertTest, ObjectsTakeAnyValueAndTheFirstFailureWins) {
  BindingProperty any;
  any.MutableMember("list").Append() = "x";
  BindingProperty target = 5;
  ConversionStatus status;
  Read(status, any, "f", target, registry_);
  ASSERT_TRUE(status.Succeeded());
  EXPECT_EQ(target, any);
  Read(status, BindingProperty(), "f", target, registry_);  // an object takes Empty too
  EXPECT_TRUE(target.IsEmpty());

  std::int32_t first = 0;
  std::int32_t second = 0;
  Read(status, BindingProperty("x"), "first", first, registry_);
  Read(status, BindingProperty(5), "second", second, registry_);
  EXPECT_EQ(status.ErrorMessage(), "Value x for 'first' of type int32 is in an incorrect format");
  EXPECT_EQ(second, 0);
}

BindingProperty Json(std::string_view text) {
  return ParseJson(text).Value();
}

TEST_F(ConvertTest, WritesEveryFieldInKeyOrderAndOmitsEmptyOnes) {
  Item item;
  item.id = 7;
  item.prices = {{"RP", 975}, {"IP", 6300}};
  item.counts = {{"b", 2}, {"a", 1}};
  item.state = State::Busy;
  // "sale" (nothing), "extra" (Empty) and "flags" (0) are omitted; "rank" is written as Empty.
  // The test below shows them written once they hold a value.
  EXPECT_EQ(WriteJson(*ToBinding(item, registry_), &registry_),
            R"({"counts":{"a":1,"b":2},"id":7,"name":"unnamed","owned":false,)"
            R"("prices":[{"cost":975,"currency":"RP"},{"cost":6300,"currency":"IP"}],)"
            R"("rank":null,"state":"BUSY"})");
}

// A Structure holding exactly the record's fields is matched by position; any extra or missing
// member moves the others, and every field must still read its own member.
TEST_F(ConvertTest, EveryFieldReadsItsOwnMemberWhateverSurroundsIt) {
  const std::string full =
      R"("id":"0x7","name":"seven","rank":3,"sale":{"currency":"RP","cost":5},)"
      R"("prices":[{"currency":"IP","cost":9}],"state":"BUSY","owned":true,"flags":12)";
  // What each reads, written back.
  const std::string written =
      R"("flags":12,"id":7,"name":"seven","owned":true,"prices":[{"cost":9,"currency":"IP"}],)"
      R"("rank":3,"sale":{"cost":5,"currency":"RP"},"state":"BUSY"})";
  const std::pair<std::string, std::string> rows[] = {
      {"{" + full + R"(,"counts":{"a":1},"extra":"x"})",
       R"({"counts":{"a":1},"extra":"x",)" + written},
      {R"({"aaa":0,)" + full + "}", R"({"counts":{},)" + written},
      {"{" + full + R"(,"mmm":0,"zzz":0})", R"({"counts":{},)" + written},
  };
  for (const auto& [text, expected] : rows) {
    Item item;
    ASSERT_TRUE(FromBinding(Json(text), item, registry_, "item").Succeeded()) << text;
    EXPECT_EQ(WriteJson(*ToBinding(item, registry_), &registry_), expected);
  }
}

TEST_F(ConvertTest, RefusalsNameTheInnermostField) {
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

TEST_F(ConvertTest, VectorAndMapReadingSkipsEmptyEntries) {
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

TEST_F(ConvertTest, UnregisteredRecordsFail) {
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
