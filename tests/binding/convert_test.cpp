#include "binding/convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>

#include "binding/record.h"

namespace qor {
namespace {

enum class Tier : std::int32_t { None = 0, Bronze = 1, Silver = 2, Gold = 5 };

class ConvertTest : public ::testing::Test {
 protected:
  ConvertTest() {
    DeclareEnum<Tier>(registry_, "Tier")
        .Value("None", Tier::None)
        .Value("Bronze", Tier::Bronze)
        .Value("Silver", Tier::Silver)
        .Value("Gold", Tier::Gold);
  }

  // Reads `input` into a T; returns the value's text form, or the failure message prefixed
  // with "! ".
  template <typename T>
  std::string ReadAs(const BindingProperty& input) {
    T target{};
    ConversionStatus status;
    Read(status, input, "f", target, registry_);
    if (status.Failed()) return "! " + std::string(status.ErrorMessage());
    if constexpr (std::is_same_v<T, bool>) {
      return target ? "true" : "false";
    } else if constexpr (std::is_same_v<T, std::string>) {
      return target;
    } else if constexpr (std::is_enum_v<T>) {
      return std::to_string(static_cast<std::int32_t>(target));
    } else if constexpr (std::is_floating_point_v<T>) {
      return BindingProperty(static_cast<double>(target)).ToText();
    } else {
      return std::to_string(target);
    }
  }

  TypeRegistry registry_;
};

struct Row {
  const char* label;
  BindingProperty input;
  std::string expected;
};

void RunRows(const char* type, std::initializer_list<Row> rows,
             const std::function<std::string(const BindingProperty&)>& read) {
  for (const Row& row : rows) {
    EXPECT_EQ(read(row.input), row.expected) << type << ": " << row.label;
  }
}

TEST_F(ConvertTest, Bool) {
  RunRows("bool",
          {
              {"empty", BindingProperty(), "! A value for 'f' is required."},
              {"bool", BindingProperty(true), "true"},
              {"string true", BindingProperty("true"), "true"},
              {"string 1", BindingProperty("1"), "true"},
              {"string false", BindingProperty("false"), "false"},
              {"string 0", BindingProperty("0"), "false"},
              {"string True", BindingProperty("True"),
               "! Value True for 'f' of type bool is in an incorrect format. Options are "
               "\"true\", \"false\", \"1\", \"0\"."},
              {"unsigned 1", BindingProperty(1u),
               "! Couldn't assign value to 'f' of type bool because the input is of an invalid "
               "type unsigned."},
              {"float", BindingProperty(1.0),
               "! Couldn't assign value to 'f' of type bool because the input is of an invalid "
               "type float."},
              {"static empty", BindingProperty::EmptyValue(), "! A value for 'f' is required."},
          },
          [this](const BindingProperty& in) { return ReadAs<bool>(in); });
}

TEST_F(ConvertTest, SignedIntegers) {
  const std::string int8Range = " for 'f' of type int8 is out of range";
  RunRows(
      "int8",
      {
          {"string 300", BindingProperty("300"), "! Value 300" + int8Range},
          {"string -128", BindingProperty("-128"), "-128"},
          {"string -129", BindingProperty("-129"), "! Value -129" + int8Range},
          {"signed 127", BindingProperty(127), "127"},
          {"signed 128", BindingProperty(128), "! Value 128" + int8Range},
          {"unsigned 200", BindingProperty(200u), "! Value 200" + int8Range},
          {"enum in range", BindingProperty(EnumValue{-3, 0}), "-3"},
          {"enum out of range", BindingProperty(EnumValue{1000, 0}), "! Value 1000" + int8Range},
          {"float -128.9 is below the minimum", BindingProperty(-128.9),
           "! Value -128.900000" + int8Range},
      },
      [this](const BindingProperty& in) { return ReadAs<std::int8_t>(in); });

  RunRows("int32",
          {
              {"empty", BindingProperty(), "! A value for 'f' is required."},
              {"hex text", BindingProperty("0x10"), "16"},
              {"octal text", BindingProperty("010"), "8"},
              {"spaces and sign", BindingProperty("  -42"), "-42"},
              {"digits then letters", BindingProperty("12abc"),
               "! Value 12abc for 'f' of type int32 is in an incorrect format"},
              {"trailing space", BindingProperty("12 "),
               "! Value 12  for 'f' of type int32 is in an incorrect format"},
              {"no digits", BindingProperty(""),
               "! Value  for 'f' of type int32 is in an incorrect format"},
              {"float truncates", BindingProperty(2.9), "2"},
              {"negative float truncates", BindingProperty(-2.9), "-2"},
              {"float 1e20", BindingProperty(1e20),
               "! Value 100000000000000000000.000000 for 'f' of type int32 is out of range"},
              {"NaN", BindingProperty(std::nan("")),
               "! Value nan for 'f' of type int32 is out of range"},
              {"bool", BindingProperty(false),
               "! Couldn't assign value to 'f' of type int32 because the input is of an invalid "
               "type bool."},
              {"blob", BindingProperty(Bytes{1}),
               "! Couldn't assign value to 'f' of type int32 because the input is of an invalid "
               "type blob."},
          },
          [this](const BindingProperty& in) { return ReadAs<std::int32_t>(in); });

  const std::string int64Range = " for 'f' of type int64 is out of range";
  RunRows("int64",
          {
              {"max text", BindingProperty("9223372036854775807"), "9223372036854775807"},
              {"max + 1 text", BindingProperty("9223372036854775808"),
               "! Value 9223372036854775808" + int64Range},
              {"min text", BindingProperty("-9223372036854775808"), "-9223372036854775808"},
              {"min - 1 text", BindingProperty("-9223372036854775809"),
               "! Value -9223372036854775809" + int64Range},
              {"overflowing text", BindingProperty("0xFFFFFFFFFFFFFFFFFF"),
               "! Value 0xFFFFFFFFFFFFFFFFFF" + int64Range},
              {"unsigned 2^63", BindingProperty(std::uint64_t{1} << 63),
               "! Value 9223372036854775808" + int64Range},
              {"float 2^63", BindingProperty(9223372036854775808.0),
               "! Value 9223372036854775808.000000" + int64Range},
              {"float -2^63", BindingProperty(-9223372036854775808.0), "-9223372036854775808"},
          },
          [this](const BindingProperty& in) { return ReadAs<std::int64_t>(in); });
}

TEST_F(ConvertTest, UnsignedIntegers) {
  RunRows(
      "uint32",
      {
          {"signed -1", BindingProperty(-1), "! Value -1 for 'f' of type uint32 is out of range"},
          {"string -1 wraps then fails the range", BindingProperty("-1"),
           "! Value -1 for 'f' of type uint32 is out of range"},
          {"max", BindingProperty(4294967295u), "4294967295"},
          {"max + 1", BindingProperty(std::uint64_t{4294967296}),
           "! Value 4294967296 for 'f' of type uint32 is out of range"},
          {"float -0.5", BindingProperty(-0.5),
           "! Value -0.500000 for 'f' of type uint32 is out of range"},
          {"enum negative", BindingProperty(EnumValue{-1, 0}),
           "! Value -1 for 'f' of type uint32 is out of range"},
          {"string with letters", BindingProperty("7x"),
           "! Value 7x for 'f' of type uint32 is in an incorrect format"},
          {"structure",
           []() {
             BindingProperty s;
             s.SetStructure();
             return s;
           }(),
           "! Couldn't assign value to 'f' of type uint32 because the input is of an invalid "
           "type structure."},
      },
      [this](const BindingProperty& in) { return ReadAs<std::uint32_t>(in); });

  RunRows("uint64",
          {
              {"string -1 wraps", BindingProperty("-1"), "18446744073709551615"},
              {"max text", BindingProperty("18446744073709551615"), "18446744073709551615"},
              {"max + 1 text", BindingProperty("18446744073709551616"),
               "! Value 18446744073709551616 for 'f' of type uint64 is out of range"},
              {"float 2^64", BindingProperty(18446744073709551616.0),
               "! Value 18446744073709551616.000000 for 'f' of type uint64 is out of range"},
              {"float 1e19", BindingProperty(1e19), "10000000000000000000"},
          },
          [this](const BindingProperty& in) { return ReadAs<std::uint64_t>(in); });

  RunRows("uint8",
          {
              {"255", BindingProperty(255), "255"},
              {"256", BindingProperty(256), "! Value 256 for 'f' of type uint8 is out of range"},
          },
          [this](const BindingProperty& in) { return ReadAs<std::uint8_t>(in); });
}

TEST_F(ConvertTest, Floats) {
  RunRows("float",
          {
              {"1e39 exceeds float", BindingProperty(1e39),
               "! Value 999999999999999939709166371603178586112.000000 for 'f' of type float "
               "is out of range"},
              {"text 2.5", BindingProperty("2.5"), "2.500000"},
              {"signed", BindingProperty(-3), "-3.000000"},
              {"enum", BindingProperty(EnumValue{4, 0}), "4.000000"},
          },
          [this](const BindingProperty& in) { return ReadAs<float>(in); });

  RunRows("double",
          {
              {"empty", BindingProperty(), "! A value for 'f' is required."},
              {"1e39", BindingProperty(1e39), "999999999999999939709166371603178586112.000000"},
              {"NaN passes", BindingProperty(std::nan("")), "nan"},
              {"infinity", BindingProperty(std::numeric_limits<double>::infinity()),
               "! Value inf for 'f' of type double is out of range"},
              {"text with spaces", BindingProperty(" -1.25e1"), "-12.500000"},
              {"text 1e400", BindingProperty("1e400"),
               "! Value 1e400 for 'f' of type double is out of range"},
              {"text of 400 digits", BindingProperty(std::string(400, '9')),
               "! Value " + std::string(400, '9') + " for 'f' of type double is out of range"},
              {"text 1e-400 reads as zero", BindingProperty("1e-400"), "0.000000"},
              {"text with letters", BindingProperty("1.5x"),
               "! Value 1.5x for 'f' of type double is in an incorrect format"},
              {"text double sign", BindingProperty("+-1"),
               "! Value +-1 for 'f' of type double is in an incorrect format"},
              {"bool", BindingProperty(true),
               "! Couldn't assign value to 'f' of type double because the input is of an invalid "
               "type bool."},
          },
          [this](const BindingProperty& in) { return ReadAs<double>(in); });
}

TEST_F(ConvertTest, Strings) {
  RunRows("string",
          {
              {"empty", BindingProperty(), "! A value for 'f' is required."},
              {"string", BindingProperty("text"), "text"},
              {"signed 5", BindingProperty(5),
               "! Couldn't assign value to 'f' because the input is not a string."},
              {"bool", BindingProperty(true),
               "! Couldn't assign value to 'f' because the input is not a string."},
              {"enum with a name", BindingProperty(EnumValue{5, StaticType::Id<Tier>()}), "Gold"},
              {"enum without a name", BindingProperty(EnumValue{7, StaticType::Id<Tier>()}),
               "! 7 is not a valid enumeration value for 'f'."},
              {"enum of an unknown type", BindingProperty(EnumValue{1, 12345}),
               "! 1 is not a valid enumeration value for 'f'."},
          },
          [this](const BindingProperty& in) { return ReadAs<std::string>(in); });
}

TEST_F(ConvertTest, RegisteredEnums) {
  RunRows("Tier",
          {
              {"name", BindingProperty("Silver"), "2"},
              {"number", BindingProperty(5), "5"},
              {"unsigned number", BindingProperty(1u), "1"},
              {"numeric text", BindingProperty("5"), "5"},
              {"hex text", BindingProperty("0x2"), "2"},
              {"enum of another type", BindingProperty(EnumValue{2, 999}), "2"},
              {"name is case-sensitive", BindingProperty("gold"),
               "! gold is not a valid Tier enumeration value for 'f'."},
              {"undeclared number", BindingProperty(3),
               "! 3 is not a valid Tier enumeration value for 'f'."},
              {"undeclared numeric text", BindingProperty("3"),
               "! 3 is not a valid Tier enumeration value for 'f'."},
              {"number beyond 32 bits", BindingProperty(std::int64_t{1} << 32 | 1),
               "! 4294967297 is not a valid Tier enumeration value for 'f'."},
              {"huge unsigned", BindingProperty(std::uint64_t{18446744073709551615u}),
               "! 18446744073709551615 is not a valid Tier enumeration value for 'f'."},
              {"empty", BindingProperty(), "! A value for 'f' is required."},
              {"float", BindingProperty(1.0),
               "! Couldn't assign value to 'f' of enum type because the input is of an invalid "
               "type float."},
          },
          [this](const BindingProperty& in) { return ReadAs<Tier>(in); });
}

enum class Unknown : std::int32_t { A };

TEST_F(ConvertTest, UnregisteredEnumIsRefused) {
  EXPECT_EQ(ReadAs<Unknown>(BindingProperty(0)),
            "! Couldn't assign value to 'f' because its enumeration type is not registered.");
}

TEST_F(ConvertTest, BlobsAndObjects) {
  RunRows("blob",
          {
              {"blob", BindingProperty(Bytes{'h', 'i'}), "aGk="},
              {"base64 text", BindingProperty("aGk="), "aGk="},
              {"bad base64", BindingProperty("a"),
               "! Value a for 'f' of type blob is in an incorrect format"},
              {"signed", BindingProperty(1),
               "! Couldn't assign value to 'f' of type blob because the input is of an invalid "
               "type signed."},
          },
          [this](const BindingProperty& in) {
            Bytes target;
            ConversionStatus status;
            Read(status, in, "f", target, registry_);
            if (status.Failed()) return "! " + std::string(status.ErrorMessage());
            return BindingProperty(target).ToText();
          });

  BindingProperty any;
  any.MutableMember("list").Append() = "x";
  BindingProperty target = 5;
  ConversionStatus status;
  Read(status, any, "f", target, registry_);
  ASSERT_TRUE(status.Succeeded());
  EXPECT_EQ(target, any);
  Read(status, BindingProperty(), "f", target, registry_);  // an object takes Empty too
  EXPECT_TRUE(target.IsEmpty());
}

TEST_F(ConvertTest, FirstFailureWins) {
  ConversionStatus status;
  std::int32_t first = 0;
  std::int32_t second = 0;
  Read(status, BindingProperty("x"), "first", first, registry_);
  Read(status, BindingProperty(5), "second", second, registry_);
  EXPECT_EQ(status.ErrorMessage(), "Value x for 'first' of type int32 is in an incorrect format");
  EXPECT_EQ(second, 0);
}

TEST_F(ConvertTest, WritingScalars) {
  struct WriteRow {
    const char* label;
    MaybeType<Failure, BindingProperty> written;
    BindingProperty expected;
  };
  const WriteRow rows[] = {
      {"bool", Write(true, registry_), BindingProperty(true)},
      {"int8 sign-extends", Write(std::int8_t{-5}, registry_), BindingProperty(-5)},
      {"uint16", Write(std::uint16_t{65535}, registry_), BindingProperty(65535u)},
      {"float", Write(1.5f, registry_), BindingProperty(1.5)},
      {"string", Write(std::string("s"), registry_), BindingProperty("s")},
      {"bytes", Write(Bytes{1, 2}, registry_), BindingProperty(Bytes{1, 2})},
      {"enum", Write(Tier::Gold, registry_), BindingProperty(EnumValue{5, StaticType::Id<Tier>()})},
      {"empty optional", Write(std::optional<int>(), registry_), BindingProperty()},
      {"optional", Write(std::optional<int>(4), registry_), BindingProperty(4)},
  };
  for (const WriteRow& row : rows) {
    ASSERT_TRUE(row.written.Succeeded()) << row.label;
    EXPECT_EQ(*row.written, row.expected) << row.label;
  }

  std::vector<bool> flags = {true, false};
  auto written = Write(flags, registry_);
  ASSERT_TRUE(written.Succeeded());
  EXPECT_EQ(written->Element(1), BindingProperty(false));
  std::vector<bool> back;
  ConversionStatus status;
  Read(status, *written, "flags", back, registry_);
  EXPECT_EQ(back, flags);
}

TEST(IsEmptyByKindTest, Table) {
  BindingProperty emptyText("");
  BindingProperty emptyList;
  emptyList.SetCollection();
  const std::pair<BindingProperty, bool> rows[] = {
      {BindingProperty(), true},
      {BindingProperty(false), true},
      {BindingProperty(true), false},
      {BindingProperty(0), true},
      {BindingProperty(0u), true},
      {BindingProperty(3u), false},
      {BindingProperty(0.0), true},
      {BindingProperty(0.5), false},
      {emptyText, true},
      {BindingProperty("x"), false},
      {BindingProperty(Bytes{}), true},
      {emptyList, true},
      {BindingProperty(EnumValue{0, 1}), true},
      {BindingProperty(EnumValue{2, 1}), false},
  };
  for (const auto& [value, empty] : rows) {
    EXPECT_EQ(IsEmptyByKind(value), empty) << KindName(value.Kind()) << " " << value.ToText();
  }
}

}  // namespace
}  // namespace qor
