#include "binding/convert.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "binding/record.h"

namespace qor {
namespace {

enum class Tier : std::int32_t { None = 0, Bronze = 1, Silver = 2, Gold = 5 };
enum class Unknown : std::int32_t { A };

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
    } else if constexpr (std::is_same_v<T, Bytes>) {
      return BindingProperty(target).ToText();
    } else if constexpr (std::is_enum_v<T>) {
      return std::to_string(static_cast<std::int32_t>(target));
    } else if constexpr (std::is_floating_point_v<T>) {
      return BindingProperty(static_cast<double>(target)).ToText();
    } else {
      return std::to_string(target);
    }
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
    if (type == "Tier") return ReadAs<Tier>(input);
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
const std::string kRequired = "! A value for 'f' is required.";

TEST_F(ConvertTest, ReadsScalarsOrSaysWhyNot) {
  struct Row {
    const char* type;
    BindingProperty input;
    std::string expected;
  };
  const TypeId tier = StaticType::Id<Tier>();
  const std::string nines(400, '9');
  const Row rows[] = {
      {"bool", BindingProperty("true"), "true"},
      {"bool", BindingProperty("0"), "false"},
      {"bool", BindingProperty("True"),
       "! Value True for 'f' of type bool is in an incorrect format. Options are \"true\", "
       "\"false\", \"1\", \"0\"."},
      {"bool", BindingProperty(1u), WrongKind("bool", "unsigned")},
      {"int8", BindingProperty("-129"), Range("-129", "int8")},
      {"int8", BindingProperty(128), Range("128", "int8")},
      {"int8", BindingProperty(-128.9), Range("-128.900000", "int8")},
      {"int32", BindingProperty(), kRequired},
      {"int32", BindingProperty("0x10"), "16"},
      {"int32", BindingProperty("12abc"), Malformed("12abc", "int32")},
      {"int32", BindingProperty(""), Malformed("", "int32")},
      {"int32", BindingProperty(2.9), "2"},
      {"int32", BindingProperty(1e20), Range("100000000000000000000.000000", "int32")},
      {"int32", BindingProperty(std::nan("")), Range("nan", "int32")},
      {"int32", BindingProperty(false), WrongKind("int32", "bool")},
      {"int64", BindingProperty("9223372036854775808"), Range("9223372036854775808", "int64")},
      {"int64", BindingProperty("-9223372036854775809"), Range("-9223372036854775809", "int64")},
      {"int64", BindingProperty(std::uint64_t{1} << 63), Range("9223372036854775808", "int64")},
      {"int64", BindingProperty(9223372036854775808.0),
       Range("9223372036854775808.000000", "int64")},
      {"int64", BindingProperty(-9223372036854775808.0), "-9223372036854775808"},
      {"uint32", BindingProperty(-1), Range("-1", "uint32")},
      {"uint32", BindingProperty("-1"), Range("-1", "uint32")},  // wraps, then fails the range
      {"uint32", BindingProperty(std::uint64_t{4294967296}), Range("4294967296", "uint32")},
      {"uint32", BindingProperty(-0.5), Range("-0.500000", "uint32")},
      {"uint32", BindingProperty(EnumValue{-1, 0}), Range("-1", "uint32")},
      {"uint64", BindingProperty("-1"), "18446744073709551615"},
      {"uint64", BindingProperty("18446744073709551616"), Range("18446744073709551616", "uint64")},
      {"uint64", BindingProperty(18446744073709551616.0),
       Range("18446744073709551616.000000", "uint64")},
      {"uint64", BindingProperty(1e19), "10000000000000000000"},
      {"float", BindingProperty(1e39),
       Range("999999999999999939709166371603178586112.000000", "float")},
      {"float", BindingProperty("2.5"), "2.500000"},
      {"double", BindingProperty(std::nan("")), "nan"},
      {"double", BindingProperty(std::numeric_limits<double>::infinity()), Range("inf", "double")},
      {"double", BindingProperty("1e400"), Range("1e400", "double")},
      {"double", BindingProperty(nines), Range(nines, "double")},
      {"double", BindingProperty("1e-400"), "0.000000"},
      {"double", BindingProperty("1.5x"), Malformed("1.5x", "double")},
      {"double", BindingProperty("+-1"), Malformed("+-1", "double")},
      {"double", BindingProperty(true), WrongKind("double", "bool")},
      {"string", BindingProperty(), kRequired},
      {"string", BindingProperty(5),
       "! Couldn't assign value to 'f' because the input is not a string."},
      {"string", BindingProperty(EnumValue{5, tier}), "Gold"},
      {"string", BindingProperty(EnumValue{7, tier}),
       "! 7 is not a valid enumeration value for 'f'."},
      {"string", BindingProperty(EnumValue{1, 12345}),
       "! 1 is not a valid enumeration value for 'f'."},
      {"Tier", BindingProperty("Silver"), "2"},
      {"Tier", BindingProperty(5), "5"},
      {"Tier", BindingProperty("5"), "5"},
      {"Tier", BindingProperty("gold"), "! gold is not a valid Tier enumeration value for 'f'."},
      {"Tier", BindingProperty(3), "! 3 is not a valid Tier enumeration value for 'f'."},
      {"Tier", BindingProperty(std::int64_t{1} << 32 | 1),
       "! 4294967297 is not a valid Tier enumeration value for 'f'."},
      {"Tier", BindingProperty(1.0),
       "! Couldn't assign value to 'f' of enum type because the input is of an invalid type "
       "float."},
      {"Unknown", BindingProperty(0),
       "! Couldn't assign value to 'f' because its enumeration type is not registered."},
      {"blob", BindingProperty(Bytes{'h', 'i'}), "aGk="},
      {"blob", BindingProperty("aGk="), "aGk="},
      {"blob", BindingProperty("a"), Malformed("a", "blob")},
      {"blob", BindingProperty(1), WrongKind("blob", "signed")},
  };
  for (const Row& row : rows) {
    EXPECT_EQ(ReadAs(row.type, row.input), row.expected) << row.type << " " << row.input.ToText();
  }
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

}  // namespace
}  // namespace qor
