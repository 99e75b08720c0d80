#include "binding/convert.h"

#include <cmath>
#include <span>
#include <string>

#include "binding/detail/text.h"
#include "foundation/format.h"

namespace qor {

namespace {

constexpr std::string_view kValueRequired = "A value for '%1' is required.";
constexpr std::string_view kBoolFormat =
    "Value %1 for '%2' of type bool is in an incorrect format. Options are \"true\", \"false\", "
    "\"1\", \"0\".";
constexpr std::string_view kBoolInvalidType =
    "Couldn't assign value to '%1' of type bool because the input is of an invalid type %2.";
constexpr std::string_view kIncorrectFormat =
    "Value %1 for '%2' of type %3 is in an incorrect format";
constexpr std::string_view kOutOfRange = "Value %1 for '%2' of type %3 is out of range";
constexpr std::string_view kInvalidType =
    "Couldn't assign value to '%1' of type %2 because the input is of an invalid type %3.";
constexpr std::string_view kNotAString =
    "Couldn't assign value to '%1' because the input is not a string.";
constexpr std::string_view kNoEnumName = "%1 is not a valid enumeration value for '%2'.";
constexpr std::string_view kNotEnumValue = "%1 is not a valid %2 enumeration value for '%3'.";
constexpr std::string_view kEnumInvalidType =
    "Couldn't assign value to '%1' of enum type because the input is of an invalid type %2.";
constexpr std::string_view kUnregisteredEnum =
    "Couldn't assign value to '%1' because its enumeration type is not registered.";
constexpr std::string_view kUnregisteredInput =
    "Couldn't assign value to '%1' because the input is an unregistered structure or not a "
    "structure at all.";
constexpr std::string_view kNotAStructure =
    "Couldn't assign value to '%1' of type %2 because the input not a structure.";
constexpr std::string_view kMissingField =
    "Couldn't assign value to '%1' of type %2 because the input structure doesn't have required "
    "field '%3'.";
constexpr std::string_view kNotACollection =
    "Couldn't assign value to '%1' of type vector because the input not a collection.";
constexpr std::string_view kMapNotAStructure =
    "Couldn't assign value to '%1' of type map because the input not a structure.";
constexpr std::string_view kUnregisteredOutput =
    "Couldn't convert native value because it's an unregistered structure.";

template <class... A>
void Fail(ConversionStatus& status, std::string_view tmpl, const A&... args) {
  status.SetFailure(Format(tmpl, args...));
}

// The value as it appears in messages: the text of a String, otherwise its text form.
std::string Shown(const BindingProperty& input) {
  return input.ToText();
}

// The whole text is one number (nothing left over, at least one digit).
bool WholeNumber(std::string_view text, std::size_t consumed, bool anyDigit) {
  return anyDigit && consumed == text.size();
}

// 2^63 and 2^64 as doubles: a Float below these truncates into the 64-bit range.
constexpr double kTwoTo63 = 9223372036854775808.0;
constexpr double kTwoTo64 = 18446744073709551616.0;

// The 32-bit number of an enum read from a String that is not a name, if it is one.
std::optional<std::int32_t> NumericText(std::string_view text) {
  detail::ParsedInteger parsed = detail::ParseInteger(text);
  if (!WholeNumber(text, parsed.consumed, parsed.anyDigit)) return std::nullopt;
  std::optional<std::int64_t> value = detail::SignedOf(parsed);
  if (!value || *value < std::numeric_limits<std::int32_t>::min() ||
      *value > std::numeric_limits<std::int32_t>::max()) {
    return std::nullopt;
  }
  return static_cast<std::int32_t>(*value);
}

std::optional<std::vector<std::uint8_t>> DecodeBase64(std::string_view text) {
  auto value = [](char c) -> int {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= 'a' && c <= 'z') return c - 'a' + 26;
    if (c >= '0' && c <= '9') return c - '0' + 52;
    if (c == '+') return 62;
    if (c == '/') return 63;
    return -1;
  };
  if (text.size() % 4 != 0) return std::nullopt;
  std::vector<std::uint8_t> bytes;
  bytes.reserve(text.size() / 4 * 3);
  for (std::size_t i = 0; i < text.size(); i += 4) {
    bool last = i + 4 == text.size();
    int a = value(text[i]);
    int b = value(text[i + 1]);
    int c = text[i + 2] == '=' && last ? -2 : value(text[i + 2]);
    int d = text[i + 3] == '=' && last ? -2 : value(text[i + 3]);
    if (a < 0 || b < 0 || c == -1 || d == -1 || (c == -2 && d != -2)) return std::nullopt;
    std::uint32_t group = (static_cast<std::uint32_t>(a) << 18) |
                          (static_cast<std::uint32_t>(b) << 12) |
                          (static_cast<std::uint32_t>(c < 0 ? 0 : c) << 6) |
                          static_cast<std::uint32_t>(d < 0 ? 0 : d);
    bytes.push_back(static_cast<std::uint8_t>(group >> 16));
    if (c >= 0) bytes.push_back(static_cast<std::uint8_t>(group >> 8));
    if (d >= 0) bytes.push_back(static_cast<std::uint8_t>(group));
  }
  return bytes;
}

}  // namespace

bool IsEmptyByKind(const BindingProperty& value) noexcept {
  switch (value.Kind()) {
    case BindingKind::Bool:
      return !value.GetBool();
    case BindingKind::Signed:
    case BindingKind::Unsigned:
      return value.ToSigned() == 0;
    case BindingKind::Float:
      return value.GetFloat() == 0.0;
    case BindingKind::Enum:
      return value.GetEnum().value == 0;
    default:
      return value.Size() == 0;
  }
}

namespace detail {

void ReadBool(ConversionStatus& status, const BindingProperty& input, std::string_view name,
              bool& target) {
  switch (input.Kind()) {
    case BindingKind::Empty:
      return Fail(status, kValueRequired, name);
    case BindingKind::Bool:
      target = input.GetBool();
      return;
    case BindingKind::String: {
      std::string_view text = input.GetString();
      if (text == "true" || text == "1") {
        target = true;
      } else if (text == "false" || text == "0") {
        target = false;
      } else {
        Fail(status, kBoolFormat, text, name);
      }
      return;
    }
    default:
      return Fail(status, kBoolInvalidType, name, KindName(input.Kind()));
  }
}

std::optional<std::int64_t> ReadSigned(ConversionStatus& status, const BindingProperty& input,
                                       std::string_view name, std::int64_t minimum,
                                       std::int64_t maximum, NativeType type) {
  auto outOfRange = [&]() -> std::optional<std::int64_t> {
    Fail(status, kOutOfRange, Shown(input), name, NativeTypeName(type));
    return std::nullopt;
  };
  switch (input.Kind()) {
    case BindingKind::Empty:
      Fail(status, kValueRequired, name);
      return std::nullopt;
    case BindingKind::Signed: {
      std::int64_t value = input.GetSigned();
      if (value < minimum || value > maximum) return outOfRange();
      return value;
    }
    case BindingKind::Unsigned: {
      std::uint64_t value = input.GetUnsigned();
      if (value > static_cast<std::uint64_t>(maximum)) return outOfRange();
      return static_cast<std::int64_t>(value);
    }
    case BindingKind::Float: {
      double value = input.GetFloat();
      // The upper test is strict at 2^63: the double nearest int64's maximum is 2^63 itself.
      if (!(value >= static_cast<double>(minimum) && value <= static_cast<double>(maximum) &&
            value < kTwoTo63)) {
        return outOfRange();
      }
      return static_cast<std::int64_t>(std::trunc(value));
    }
    case BindingKind::String: {
      std::string_view text = input.GetString();
      ParsedInteger parsed = ParseInteger(text);
      if (!WholeNumber(text, parsed.consumed, parsed.anyDigit)) {
        Fail(status, kIncorrectFormat, text, name, NativeTypeName(type));
        return std::nullopt;
      }
      std::optional<std::int64_t> value = SignedOf(parsed);
      if (!value || *value < minimum || *value > maximum) return outOfRange();
      return value;
    }
    case BindingKind::Enum: {
      std::int64_t value = input.GetEnum().value;
      if (value < minimum || value > maximum) return outOfRange();
      return value;
    }
    default:
      Fail(status, kInvalidType, name, NativeTypeName(type), KindName(input.Kind()));
      return std::nullopt;
  }
}

std::optional<std::uint64_t> ReadUnsigned(ConversionStatus& status, const BindingProperty& input,
                                          std::string_view name, std::uint64_t maximum,
                                          NativeType type) {
  auto outOfRange = [&]() -> std::optional<std::uint64_t> {
    Fail(status, kOutOfRange, Shown(input), name, NativeTypeName(type));
    return std::nullopt;
  };
  switch (input.Kind()) {
    case BindingKind::Empty:
      Fail(status, kValueRequired, name);
      return std::nullopt;
    case BindingKind::Signed: {
      std::int64_t value = input.GetSigned();
      if (value < 0 || static_cast<std::uint64_t>(value) > maximum) return outOfRange();
      return static_cast<std::uint64_t>(value);
    }
    case BindingKind::Unsigned: {
      std::uint64_t value = input.GetUnsigned();
      if (value > maximum) return outOfRange();
      return value;
    }
    case BindingKind::Float: {
      double value = input.GetFloat();
      if (!(value >= 0.0 && value <= static_cast<double>(maximum) && value < kTwoTo64)) {
        return outOfRange();
      }
      return static_cast<std::uint64_t>(std::trunc(value));
    }
    case BindingKind::String: {
      std::string_view text = input.GetString();
      ParsedInteger parsed = ParseInteger(text);
      if (!WholeNumber(text, parsed.consumed, parsed.anyDigit)) {
        Fail(status, kIncorrectFormat, text, name, NativeTypeName(type));
        return std::nullopt;
      }
      // A leading minus wraps modulo 2^64 ("-1" is the largest value); the range test follows.
      std::optional<std::uint64_t> value = UnsignedOf(parsed);
      if (!value || *value > maximum) return outOfRange();
      return value;
    }
    case BindingKind::Enum: {
      std::int64_t value = input.GetEnum().value;
      if (value < 0 || static_cast<std::uint64_t>(value) > maximum) return outOfRange();
      return static_cast<std::uint64_t>(value);
    }
    default:
      Fail(status, kInvalidType, name, NativeTypeName(type), KindName(input.Kind()));
      return std::nullopt;
  }
}

std::optional<double> ReadFloat(ConversionStatus& status, const BindingProperty& input,
                                std::string_view name, double maximum, std::string_view typeName) {
  auto checked = [&](double value) -> std::optional<double> {
    if (value < -maximum || value > maximum) {  // NaN passes
      Fail(status, kOutOfRange, Shown(input), name, typeName);
      return std::nullopt;
    }
    return value;
  };
  switch (input.Kind()) {
    case BindingKind::Empty:
      Fail(status, kValueRequired, name);
      return std::nullopt;
    case BindingKind::Signed:
      return checked(static_cast<double>(input.GetSigned()));
    case BindingKind::Unsigned:
      return checked(static_cast<double>(input.GetUnsigned()));
    case BindingKind::Enum:
      return checked(static_cast<double>(input.GetEnum().value));
    case BindingKind::Float:
      return checked(input.GetFloat());
    case BindingKind::String: {
      std::string_view text = input.GetString();
      ParsedFloat parsed = ParseFloat(text);
      if (!WholeNumber(text, parsed.consumed, parsed.anyDigit)) {
        Fail(status, kIncorrectFormat, text, name, typeName);
        return std::nullopt;
      }
      if (parsed.overflow) {
        Fail(status, kOutOfRange, text, name, typeName);
        return std::nullopt;
      }
      return checked(parsed.value);
    }
    default:
      Fail(status, kInvalidType, name, typeName, KindName(input.Kind()));
      return std::nullopt;
  }
}

void ReadString(ConversionStatus& status, const BindingProperty& input, std::string_view name,
                std::string& target, const TypeRegistry& registry) {
  switch (input.Kind()) {
    case BindingKind::Empty:
      return Fail(status, kValueRequired, name);
    case BindingKind::String:
      target.assign(input.GetString());
      return;
    case BindingKind::Enum: {
      EnumValue value = input.GetEnum();
      std::optional<std::string_view> enumName = registry.EnumName(value.typeId, value.value);
      if (!enumName) return Fail(status, kNoEnumName, value.value, name);
      target.assign(*enumName);
      return;
    }
    default:
      return Fail(status, kNotAString, name);
  }
}

void ReadBlob(ConversionStatus& status, const BindingProperty& input, std::string_view name,
              Bytes& target) {
  switch (input.Kind()) {
    case BindingKind::Empty:
      return Fail(status, kValueRequired, name);
    case BindingKind::Blob: {
      auto bytes = input.GetBlob();
      target.assign(bytes.begin(), bytes.end());
      return;
    }
    case BindingKind::String: {
      // Text codecs carry blobs as Base64.
      auto bytes = DecodeBase64(input.GetString());
      if (!bytes) return Fail(status, kIncorrectFormat, input.GetString(), name, "blob");
      target = std::move(*bytes);
      return;
    }
    default:
      return Fail(status, kInvalidType, name, "blob", KindName(input.Kind()));
  }
}

std::optional<std::int32_t> ReadEnum(ConversionStatus& status, const BindingProperty& input,
                                     std::string_view name, TypeId enumType,
                                     const TypeRegistry& registry) {
  const TypeRecord* record = registry.FindType(enumType);
  if (record == nullptr || !record->IsEnum()) {
    Fail(status, kUnregisteredEnum, name);
    return std::nullopt;
  }
  auto notValid = [&](const std::string& shown) -> std::optional<std::int32_t> {
    Fail(status, kNotEnumValue, shown, record->Name(), name);
    return std::nullopt;
  };
  // A number is accepted when it is one of the declared values.
  auto declared = [&](auto number) -> std::optional<std::int32_t> {
    if (number < std::numeric_limits<std::int32_t>::min() ||
        number > std::numeric_limits<std::int32_t>::max() ||
        record->FindValue(static_cast<std::int32_t>(number)) == nullptr) {
      return notValid(input.ToText());
    }
    return static_cast<std::int32_t>(number);
  };
  switch (input.Kind()) {
    case BindingKind::Empty:
      Fail(status, kValueRequired, name);
      return std::nullopt;
    case BindingKind::String: {
      std::string_view text = input.GetString();
      if (const EnumValueRecord* entry = record->FindValue(text)) return entry->value;
      std::optional<std::int32_t> number = NumericText(text);
      if (number && record->FindValue(*number) != nullptr) return number;
      return notValid(std::string(text));
    }
    case BindingKind::Signed:
      return declared(input.GetSigned());
    case BindingKind::Unsigned: {
      std::uint64_t value = input.GetUnsigned();
      if (value > static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max())) {
        return notValid(input.ToText());
      }
      return declared(static_cast<std::int64_t>(value));
    }
    case BindingKind::Enum:
      return declared(static_cast<std::int64_t>(input.GetEnum().value));
    default:
      Fail(status, kEnumInvalidType, name, KindName(input.Kind()));
      return std::nullopt;
  }
}

void ReadStruct(ConversionStatus& status, const BindingProperty& input, std::string_view name,
                void* object, const TypeRecord* record, const TypeRegistry& registry) {
  if (record == nullptr || record->IsEnum()) return Fail(status, kUnregisteredInput, name);
  if (input.IsEmpty()) return Fail(status, kValueRequired, name);
  if (input.Kind() != BindingKind::Structure) {
    return Fail(status, kNotAStructure, name, record->Name());
  }
  // A Structure holding exactly the record's fields has each field's member at the field's
  // name rank; anything else is looked up.
  const std::span<const BindingMember> members = input.Members();
  for (const auto& field : record->Fields()) {
    if (status.Failed()) return;
    const BindingProperty* member;
    if (field->nameRank < members.size() && members[field->nameRank].Key() == field->name) {
      member = &members[field->nameRank].Value();
    } else {
      member = input.FindMember(field->name);
    }
    if (member != nullptr && !member->IsEmpty()) {
      if (field->accessor) field->accessor->Read(status, *member, field->name, object, registry);
    } else if (field->Required()) {
      return Fail(status, kMissingField, name, record->Name(), field->name);
    }
  }
}

bool ExpectCollection(ConversionStatus& status, const BindingProperty& input,
                      std::string_view name) {
  if (input.Kind() == BindingKind::Collection) return true;
  Fail(status, kNotACollection, name);
  return false;
}

bool ExpectStructureForMap(ConversionStatus& status, const BindingProperty& input,
                           std::string_view name) {
  if (input.Kind() == BindingKind::Structure) return true;
  Fail(status, kMapNotAStructure, name);
  return false;
}

void WriteStruct(ConversionStatus& status, const void* object, TypeId structType,
                 BindingProperty& output, const TypeRegistry& registry) {
  const TypeRecord* record = registry.FindType(structType);
  if (record == nullptr || record->IsEnum()) return Fail(status, kUnregisteredOutput);
  output.SetStructure(record->Fields().size());
  for (const auto& field : record->Fields()) {
    if (!field->accessor) continue;
    BindingProperty& member = output.MutableMember(field->name);
    field->accessor->Write(status, object, member, registry);
    if (status.Failed()) return;
    if (field->OmitWhenEmpty() && IsEmptyByKind(member)) output.RemoveMember(field->name);
  }
}

}  // namespace detail
}  // namespace qor
